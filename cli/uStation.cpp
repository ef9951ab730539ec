#include "cli/uStation.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <istream>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/uCliOptions.h"
#include "cli/uCliPlatform.h"
#include "device/uEventTexts.h"
#include "device/uSettings.h"
#include "firmware/uNames.h"
#include "ui/uStartup.h"
#include "sim/uSimLogger.h"

std::atomic<int> StationInterrupts{0};

namespace {

constexpr const char* kProgram = "pellory-cli";
constexpr const char* kSimOptionNames[] = {"--sim-class", "--sim-version", "--sim-platform",
                                           "--sim-print", "--sim-pace",    "--sim-latency-ms"};

int Usage(TCliIo& io, const std::string& error) {
  io.Err << kProgram << " station: " << error << "\nTry '" << kProgram << " station --help'.\n";
  return kExitUsage;
}

// A folder the station can create files in: tried by creating one.
bool Writable(const std::filesystem::path& dir, std::string& why) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::filesystem::path probe = dir / ".pellory-station-probe";
  {
    std::ofstream f(probe);
    if (!f) {
      why = "cannot create files in \"" + dir.string() + "\"";
      return false;
    }
  }
  std::filesystem::remove(probe, ec);
  return true;
}

struct TRun {
  std::string Port;
  std::string Key;
  int Id = 0;
  bool Active = false;
  bool CancelSent = false;
  bool Killed = false;
  uint64_t StartMs = 0;
  uint64_t CancelMs = 0;
  std::chrono::system_clock::time_point Started;
  TRunState State;
  std::string Other;  // the first line that was no JSON: the run's program's own error, told first
  TStationRow Row;
  std::unique_ptr<std::ofstream> Log;
  std::string LogPath;
};

class TStation {
 public:
  TStation(const TStationOptions& o, TCliIo& io, const TStationHost& host) : O(o), Io(io), H(host) {}

  int Run(const std::vector<std::string>& startPorts, const std::vector<std::string>& present) {
    for (const std::string& name : present) FPresent.insert(Key(name));
    for (const std::string& port : startPorts) Start(port);
    uint64_t nextList = H.NowMs() + static_cast<uint64_t>(H.WatchIntervalMs);
    bool cancelling = false;
    for (;;) {
      const int interrupts = StationInterrupts.load();
      if (interrupts >= 1 && !cancelling) {
        cancelling = true;
        for (TRun& run : FRuns) CancelRun(run);
      }
      const uint64_t now = H.NowMs();
      for (TRun& run : FRuns) {
        if (run.Active && !run.Killed &&
            (interrupts >= 2 || (run.CancelSent && now - run.CancelMs >= static_cast<uint64_t>(O.GraceMs)))) {
          // It did not end when asked (a driver call that never returns), or the operator insists.
          H.Processes->Kill(run.Id);
          run.Killed = true;
        }
      }
      const bool active = std::any_of(FRuns.begin(), FRuns.end(), [](const TRun& r) { return r.Active; });
      if (!active && (!O.Watch || cancelling)) break;
      if (O.Watch && !cancelling && now >= nextList) {
        Watch();
        nextList = now + static_cast<uint64_t>(H.WatchIntervalMs);
      }
      int timeout = 200;
      if (O.Watch && !cancelling)
        timeout = static_cast<int>(std::min<uint64_t>(200, nextList - std::min(nextList, now)));
      std::vector<TProcessEvent> events;
      H.Processes->Poll(timeout, events);
      for (const TProcessEvent& ev : events) Handle(ev);
      if (FTty) Draw();
    }
    if (FTty) Draw();
    return Finish();
  }

 private:
  std::string Key(const std::string& port) const { return H.PortKey ? H.PortKey(port) : port; }

  void Watch() {
    std::set<std::string> seen;
    for (const std::string& name : H.ListPorts(O.DevRoot)) {
      const std::string key = Key(name);
      if (!seen.insert(key).second) continue;  // another name of a port already listed
      if (FPresent.insert(key).second) {
        FPending.insert(key);
        FPendingName[key] = name;
      }
    }
    for (auto it = FPresent.begin(); it != FPresent.end();) {
      if (seen.count(*it) == 0) {
        FPending.erase(*it);
        it = FPresent.erase(it);
      } else {
        ++it;
      }
    }
    // A port that came back while its previous run still goes gets its run when that one has ended.
    for (auto it = FPending.begin(); it != FPending.end();) {
      const std::string& key = *it;
      const bool busy =
          std::any_of(FRuns.begin(), FRuns.end(), [&](const TRun& r) { return r.Active && r.Key == key; });
      if (busy) {
        ++it;
        continue;
      }
      const std::string name = FPendingName[key];
      it = FPending.erase(it);
      Start(name);
    }
  }

  std::vector<std::string> ChildArgs(const std::string& port) const {
    std::vector<std::string> argv{H.Program,        "update", "--port",        port,
                                  "--yes",          "--json", "--max-repeats", std::to_string(O.MaxRepeats),
                                  "--station-child"};
    if (!O.File.empty()) {
      argv.push_back("--file");
      argv.push_back(O.File);
    }
    if (TPortRouter::IsSimPortName(port)) {
      for (const auto& [name, value] : O.SimOptions) {
        argv.push_back(name);
        argv.push_back(value);
      }
    }
    return argv;
  }

  void Start(const std::string& port) {
    FRuns.emplace_back();
    TRun& run = FRuns.back();
    run.Port = port;
    run.Key = Key(port);
    run.Started = std::chrono::system_clock::now();
    run.StartMs = H.NowMs();
    run.Row.Port = port;
    run.Row.Started = IsoUtc(run.Started, false);
    if (!O.LogDir.empty()) {
      const std::time_t secs = std::chrono::system_clock::to_time_t(run.Started);
      std::tm local{};
      if (const std::tm* p = std::localtime(&secs)) local = *p;
      std::filesystem::path path = std::filesystem::path(O.LogDir) / LogFileName(port, local);
      // A port plugged twice within a second keeps both logs.
      for (int n = 2; std::filesystem::exists(path); ++n) {
        path = std::filesystem::path(O.LogDir) / (LogFileName(port, local) + "." + std::to_string(n));
      }
      run.LogPath = path.string();
      run.Log = std::make_unique<std::ofstream>(path, std::ios::binary);
    }
    std::string error;
    run.Id = H.Processes->Spawn(ChildArgs(port), error);
    if (run.Id == 0) {
      run.Other = "cannot start the run: " + error;
      End(run, kExitFatal);
      return;
    }
    run.Active = true;
  }

  void CancelRun(TRun& run) {
    if (!run.Active || run.CancelSent) return;
    H.Processes->Cancel(run.Id);
    run.CancelSent = true;
    run.CancelMs = H.NowMs();
  }

  TRun* Find(int id) {
    for (TRun& run : FRuns) {
      if (run.Active && run.Id == id) return &run;
    }
    return nullptr;
  }

  void Handle(const TProcessEvent& ev) {
    TRun* run = Find(ev.Id);
    if (run == nullptr) return;
    if (ev.Kind == TProcessEvent::TKind::Exit) {
      End(*run, ev.ExitCode);
      return;
    }
    std::vector<std::string> reports;
    bool isEvent = false;
    if (!ApplyRunLine(ev.Text, run->State, reports, isEvent)) {
      if (ev.Text.empty()) return;
      if (run->Other.empty()) run->Other = ev.Text;
      // On a terminal a line between the redrawn ones would shift them; the run's line shows it at the end.
      if (!FTty) Io.Err << run->Port << ": " << ev.Text << '\n' << std::flush;
      return;
    }
    if (isEvent && O.Json) {
      nlohmann::ordered_json j = nlohmann::ordered_json::parse(ev.Text, nullptr, false);
      j["port"] = run->Port;
      Io.Out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n' << std::flush;
    }
    for (const std::string& line : reports) {
      if (run->Log) *run->Log << line << '\n' << std::flush;
      if (!O.Json && !FTty) Io.Out << run->Port << ": " << line << '\n' << std::flush;
    }
  }

  void End(TRun& run, int exitCode) {
    run.Active = false;
    const auto finished = std::chrono::system_clock::now();
    TStationRow& row = run.Row;
    row.Finished = IsoUtc(finished, false);
    row.Seconds = static_cast<double>(H.NowMs() - run.StartMs) / 1000.0;
    const TRunState& s = run.State;
    row.LoggerClass = s.LoggerClass;
    row.LoggerVersion = s.LoggerVersion;
    row.Platform = s.Platform;
    row.Print = s.Print;
    row.Image = s.Image;
    row.Warnings = s.Warnings;
    row.Repeats = std::max(0, s.Starts - 1);
    row.Text = s.Final;
    if (exitCode == IProcesses::kCrashed || run.Killed) {
      row.ExitCode = run.CancelSent ? 20 : kExitFatal;
      if (row.Text.empty() || run.Killed) {
        row.Text = run.Killed ? "Ended by the station: the run did not stop when cancelled"
                              : "The run's process ended abnormally" +
                                    (run.Other.empty() ? std::string() : ": " + run.Other);
      }
    } else {
      row.ExitCode = exitCode;
      if (row.Text.empty()) row.Text = run.Other;
    }
    row.Result = row.ExitCode == kExitOk              ? "completed"
                 : (row.ExitCode == 20 || run.Killed) ? "cancelled"
                                                      : "failed";
    if (run.Log) {
      run.Log->close();
      SyncFileToDisk(run.LogPath);
      run.Log.reset();
    }
    if (!O.Json && !FTty) Io.Out << run.Port << ": " << row.Text << '\n' << std::flush;
    FRows.push_back(row);
    WriteSummary();
    if (StationInterrupts.load() >= 1 && O.Watch) return;
    // A port that came back during this run gets its own run now.
    if (FPending.count(run.Key) != 0 && StationInterrupts.load() == 0) {
      const std::string name = FPendingName[run.Key];
      FPending.erase(run.Key);
      Start(name);
    }
  }

  void WriteSummary() {
    if (O.Summary.empty()) return;
    // Written beside the summary and renamed over it, so the file is always whole.
    const std::string temp = O.Summary + ".tmp";
    {
      std::ofstream f(temp, std::ios::binary | std::ios::trunc);
      f << SummaryCsv(FRows);
      f.flush();
      if (!f) {
        Io.Err << kProgram << " station: cannot write \"" << temp << "\"\n";
        return;
      }
    }
    SyncFileToDisk(temp);
    if (!ReplaceFileAtomically(temp, O.Summary)) {
      Io.Err << kProgram << " station: cannot replace \"" << O.Summary << "\"\n";
    }
  }

  // One line per run, redrawn in place; the columns aligned over all runs.
  void Draw() {
    const uint64_t now = H.NowMs();
    std::vector<std::array<std::string, 3>> heads;
    std::array<size_t, 3> widths{};
    for (const TRun& run : FRuns) {
      const TRunState& s = run.State;
      heads.push_back({run.Port, s.LoggerClass.empty() ? "-" : s.LoggerClass + " " + s.LoggerVersion,
                       s.Image.empty() ? "-" : s.Image});
      for (size_t c = 0; c < widths.size(); ++c) widths[c] = std::max(widths[c], heads.back()[c].size());
    }
    // A line wider than the terminal would wrap, and the redraw would no longer find its start.
    const size_t maxWidth = Io.ErrColumns > 1 ? static_cast<size_t>(Io.ErrColumns) - 1 : 0;
    std::string text;
    size_t i = 0;
    for (const TRun& run : FRuns) {
      const TRunState& s = run.State;
      const int pct = run.Active ? s.Progress : (run.Row.Result == "completed" ? 100 : s.Progress);
      const size_t filled = static_cast<size_t>(pct) * 20 / 100;
      const uint64_t ms =
          (run.Active ? now : run.StartMs + static_cast<uint64_t>(run.Row.Seconds * 1000)) - run.StartMs;
      char elapsed[16];
      std::snprintf(elapsed, sizeof elapsed, "%2u:%02u", static_cast<unsigned>(ms / 60000),
                    static_cast<unsigned>(ms / 1000 % 60));
      char percent[8];
      std::snprintf(percent, sizeof percent, "%3d%%", pct);
      std::string line;
      for (size_t c = 0; c < widths.size(); ++c) {
        line += heads[i][c] + std::string(widths[c] - heads[i][c].size() + 2, ' ');
      }
      line +=
          "[" + std::string(filled, '#') + std::string(20 - filled, '-') + "] " + percent + "  " + elapsed;
      if (!run.Active) line += "  " + run.Row.Text;
      if (maxWidth > 0 && line.size() > maxWidth) line.resize(maxWidth);
      text += line + "\x1b[K\n";
      ++i;
    }
    // Only what changed goes out: at most once a second while the runs are quiet.
    if (text == FDrawnText) return;
    if (FDrawnLines > 0) Io.Out << "\x1b[" << FDrawnLines << "F";
    Io.Out << text << std::flush;
    FDrawnText = text;
    FDrawnLines = FRuns.size();
  }

  int Finish() {
    std::vector<std::vector<std::string>> table{SummaryHeader()};
    bool allCompleted = true;
    for (const TStationRow& row : FRows) {
      table.push_back(SummaryCells(row));
      allCompleted = allCompleted && row.Result == "completed";
    }
    std::ostream& out = O.Json ? Io.Err : Io.Out;
    out << '\n' << FormatTable(table) << std::flush;
    return allCompleted ? kExitOk : kExitStationFailed;
  }

  const TStationOptions& O;
  TCliIo& Io;
  const TStationHost& H;
  bool FTty = !O.Json && Io.StdoutTty;
  size_t FDrawnLines = 0;
  std::string FDrawnText;
  std::deque<TRun> FRuns;  // a deque: a run started while another is handled leaves its reference valid
  std::vector<TStationRow> FRows;
  std::set<std::string> FPresent;
  std::set<std::string> FPending;
  std::map<std::string, std::string> FPendingName;
};

}  // namespace

void AddStationOptions(CLI::App& sub, TStationOptions& o) {
  // Every --port counts, whatever the program's default for options given twice.
  sub.add_option("--port", o.Ports,
                 "a logger's serial port (repeatable); sim1 to sim99 are simulated loggers")
      ->type_name("PORT")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  sub.add_flag("--all", o.All, "every port that 'pellory-cli ports' lists when the station starts");
  sub.add_flag("--watch", o.Watch,
               "keep running: every port that appears gets one run (with --all, the present ones too)");
  sub.add_option("--dev-root", o.DevRoot,
                 "the device folder the port list is read from (Linux, default /dev)")
      ->type_name("DIR");
  sub.add_flag("--yes", o.Yes, "answer Yes to the question before the updates (needed without a terminal)");
  // Decimal or 0x hex as the update takes them; CLI11's own conversion would read a leading 0 as octal.
  sub.add_option_function<std::string>(
         "--max-repeats",
         [&o](const std::string& v) {
           uint64_t n = 0;
           if (!ParseCliNumber(v, 1000000, n))
             throw CLI::ValidationError("invalid value \"" + v + "\" for --max-repeats");
           o.MaxRepeats = static_cast<int>(n);
         },
         "at most N repeats in a row per logger (default 3)")
      ->type_name("N");
  sub.add_option("--file", o.File, "update from an image file (internal mode only)")->type_name("FILE");
  sub.add_flag("--json", o.Json, "every run's events as JSON objects with the port added");
  sub.add_option("--log-dir", o.LogDir, "one log file per run in DIR")->type_name("DIR");
  sub.add_option("--summary", o.Summary, "the summary as CSV in FILE, rewritten after every run")
      ->type_name("FILE");
  for (const char* name : kSimOptionNames) {
    const std::string n = name;
    // Checked with the other options before any run starts.
    sub.add_option_function<std::string>(
           n, [&o, n](const std::string& v) { o.SimOptions.emplace_back(n, v); },
           "passed on to the simulated loggers")
        ->type_name("N");
  }
  sub.add_option("--cancel-grace-ms", o.GraceMs)->group("")->check(CLI::Range(0, 3600000));
  sub.footer(
      "Each logger is updated by its own 'pellory-cli update --yes --json' process, all at once.\n"
      "Ctrl-C cancels every run and prints the summary; a second Ctrl-C ends everything at once.\n"
      "\nExit codes:\n"
      "  0  every run completed\n"
      "  2  usage error; nothing was sent\n"
      "  3  the question was answered No; nothing was sent\n"
      "  6  at least one run failed or was cancelled");
}

bool ValidateStationOptions(const TStationOptions& o, std::string& error) {
  if (o.Watch && !o.Ports.empty()) {
    error = "--watch takes its ports from the port list; leave out --port";
    return false;
  }
  if (o.All && !o.Ports.empty()) {
    error = "--all takes its ports from the port list; leave out --port";
    return false;
  }
  if (o.Ports.empty() && !o.All && !o.Watch) {
    error = "no port: give --port PORT (repeatable), --all or --watch";
    return false;
  }
  for (const auto& [name, value] : o.SimOptions) {
    uint64_t n = 0;
    const uint64_t max = name == "--sim-pace" ? 10000000 : name == "--sim-latency-ms" ? 255 : 0xFFFF;
    if (!ParseCliNumber(value, max, n)) {
      error = "invalid value \"" + value + "\" for " + name;
      return false;
    }
  }
  return true;
}

int StationCommand(const std::vector<std::string>& args, TCliIo& io, const TStationHost& host) {
  std::vector<std::string> all{"station"};
  all.insert(all.end(), args.begin(), args.end());
  TCliOptions o;
  std::string error;
  if (!ParseCliOptions(all, o, error)) return Usage(io, error);
  if (o.Command == TCliCommand::Help) {
    io.Out << o.HelpText;
    return kExitOk;
  }
  return RunStation(o.Station, io, host);
}

int RunStation(const TStationOptions& o, TCliIo& io, const TStationHost& host) {
  std::string error;
  if (!ValidateStationOptions(o, error)) return Usage(io, error);

  // Each physical port once, whatever names it was given by.
  std::set<std::string> keys;
  for (const std::string& port : o.Ports) {
    if (port.empty()) return Usage(io, "--port needs a port name");
    const std::string key = host.PortKey ? host.PortKey(port) : port;
    if (!keys.insert(key).second) return Usage(io, "the port \"" + port + "\" is given twice");
  }
  TStartOptions startOptions;
  startOptions.ImageFiles = !o.File.empty();
  const TStartupSettings settings = DeriveStartupSettings(host.InternalMode, startOptions);
  if (settings.ImageFilesRefused) return Usage(io, "--file is refused: image files need internal mode");
  if (!o.File.empty()) {
    std::ifstream f(o.File, std::ios::binary);
    if (!f) return Usage(io, "cannot open the image file \"" + o.File + "\"");
  }
  if (!o.LogDir.empty() && !Writable(o.LogDir, error)) return Usage(io, "--log-dir: " + error);
  if (!o.Summary.empty()) {
    const std::filesystem::path summary(o.Summary);
    if (std::filesystem::is_directory(summary))
      return Usage(io, "--summary: \"" + o.Summary + "\" is a folder");
    const std::filesystem::path dir = summary.has_parent_path() ? summary.parent_path() : ".";
    if (!std::filesystem::is_directory(dir) || !Writable(dir, error)) {
      return Usage(io, "--summary: cannot write \"" + o.Summary + "\"");
    }
  }

  std::vector<std::string> present;
  std::vector<std::string> start = o.Ports;
  if (o.All || o.Watch) {
    std::set<std::string> seen;
    for (const std::string& name : host.ListPorts(o.DevRoot)) {
      const std::string key = host.PortKey ? host.PortKey(name) : name;
      if (!seen.insert(key).second) continue;
      present.push_back(name);
      if (o.All) start.push_back(name);
    }
    if (o.All && !o.Watch && start.empty()) return Usage(io, "--all: no serial port found");
  }

  // The question once for the whole station, as Update asks it.
  ApplyStartupSettings(settings);
  const char* question = o.File.empty() ? TRunControl::UpdateQuestion() : nullptr;
  if (question != nullptr && !o.Yes) {
    if (!io.StdinTty) {
      return Usage(io, "the update asks \"" + QuestionLine(question) +
                           "\" and there is no terminal to answer; add --yes");
    }
    const bool yes = AskYesNo(io, question);
    if (!yes || StationInterrupts.load() > 0) {
      io.Err << kProgram << ": not started\n";
      return kExitDeclined;
    }
  }

  TStation station(o, io, host);
  return station.Run(start, present);
}

std::vector<std::string> SummaryHeader() {
  return {"port",         "started",        "finished", "seconds", "result", "exit_code", "text",
          "logger_class", "logger_version", "platform", "print",   "image",  "warnings",  "repeats"};
}

std::vector<std::string> SummaryCells(const TStationRow& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", r.Seconds);
  return {r.Port,
          r.Started,
          r.Finished,
          seconds,
          r.Result,
          std::to_string(r.ExitCode),
          r.Text,
          r.LoggerClass,
          r.LoggerVersion,
          r.Platform,
          r.Print,
          r.Image,
          std::to_string(r.Warnings),
          std::to_string(r.Repeats)};
}

std::string SummaryCsv(const std::vector<TStationRow>& rows) {
  auto line = [](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) out += ',';
      const std::string& c = cells[i];
      if (c.find_first_of(",\"\r\n") == std::string::npos) {
        out += c;
        continue;
      }
      out += '"';
      for (char ch : c) {
        if (ch == '"') out += '"';
        out += ch;
      }
      out += '"';
    }
    return out + "\r\n";
  };
  std::string csv = line(SummaryHeader());
  for (const TStationRow& r : rows) csv += line(SummaryCells(r));
  return csv;
}

std::string LogFileName(const std::string& port, const std::tm& t) {
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &t);
  std::string safe;
  size_t from = port.rfind("/dev/", 0) == 0 ? 5 : 0;
  for (size_t i = from; i < port.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(port[i]);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '+';
    safe += ok ? static_cast<char>(c) : '_';
  }
  if (safe.empty() || safe.find_first_not_of('.') == std::string::npos) safe = "port" + safe;
  return std::string(stamp) + "_" + safe + ".log";
}

bool ApplyRunLine(const std::string& line, TRunState& s, std::vector<std::string>& reportLines,
                  bool& isEvent) {
  isEvent = false;
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  auto text = [&j](const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  if (j.contains("report")) {
    const std::string report = text("report");
    reportLines.push_back(report);
    if (report.find(" -> Start at serial port \"") != std::string::npos) ++s.Starts;
    return true;
  }
  if (j.contains("final")) {
    s.Final = text("final");
    return true;
  }
  const auto code = j.find("code");
  const auto value = j.find("value");
  if (code == j.end() || value == j.end() || !code->is_number_integer() || !value->is_number_integer())
    return true;
  isEvent = true;
  const int64_t v = value->get<int64_t>();
  const uint16_t low = static_cast<uint16_t>(v & 0xFFFF);
  char buf[32];
  switch (code->get<int64_t>()) {
    case evProgress:
      s.Progress = static_cast<int>(std::clamp<int64_t>(v, 0, 100));
      break;
    case evLoggerClass:
      s.LoggerClass = ClassName(low, 0xFFFF);
      break;
    case evLoggerVersion:
      std::snprintf(buf, sizeof buf, "%d.%d", (low >> 8) & 0xFF, low & 0xFF);
      s.LoggerVersion = buf;
      break;
    case evPlatform:
      s.Platform = PlatformName(low);
      break;
    case evPrint:
      s.Print = PrintName(low);
      break;
    case evUpdateStart: {
      // "Update <class> V<version>, <print>, BL<bl>": the image is the part before the first comma.
      std::string t = text("text");
      if (t.rfind("Update ", 0) == 0) t = t.substr(7);
      s.Image = t.substr(0, t.find(','));
      break;
    }
    case evVerifyError:
      ++s.Warnings;
      break;
    case evTxStatus:
      if ((v & 0xF00) == 0x300 || (v & 0xF00) == 0x400) ++s.Warnings;
      break;
    case evRxStatus:
      if ((v & 0xF00) == 0x300) ++s.Warnings;
      break;
    default:
      break;
  }
  return true;
}
