#include "cli/uStation.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <optional>
#include <set>

#include "cli/uCliNumber.h"
#include "cli/uCliPlatform.h"
#include "cli/uStationView.h"
#include "firmware/uBl3File.h"
#include "run/uRunControl.h"
#include "run/uStartup.h"
#include "station/uPortInfo.h"
#include "station/uStation.h"
#include "station/uStationSys.h"
#include "station/uText.h"

std::atomic<int> StationInterrupts{0};
std::atomic<bool> StationClosing{false};

namespace {

constexpr const char* kSimOptionNames[] = {"--sim-class", "--sim-version", "--sim-platform",
                                           "--sim-print", "--sim-pace",    "--sim-latency-ms"};
// A closing console window leaves about 5 s: the runs are killed after 2.5 s of it, and the station stops
// waiting for them after 4 s, so that the summary is out in time.
constexpr uint64_t kCloseKillMs = 2500;
constexpr uint64_t kCloseGiveUpMs = 4000;
// Rows of the summary that still wait when the runs have ended are tried this long (a spreadsheet closed, a
// share back), before the station ends with them kept in their journal.
constexpr uint64_t kRecordWaitMs = 15000;

// Port and file names in `error` are shown, never obeyed by the terminal (as by the other commands).
int StationUsage(TCliIo& io, const std::string& error) {
  io.Err << kProgram << " station: " << TerminalSafe(error) << "\nTry '" << kProgram << " station --help'.\n";
  return kExitUsage;
}

std::string KeyOf(const TStationHost& host, const std::string& port) {
  return host.PortKey ? host.PortKey(port) : host.Identify ? host.Identify(port).Key : port;
}

std::vector<std::string> ListPorts(const TCliHost& host, const std::string& devRoot) {
  return host.StationPorts ? host.StationPorts(devRoot) : ListSerialPortsIn(devRoot);
}

// Steps the station until every run has ended (with --watch: until Ctrl-C and then every run has ended).
void Loop(TStation& station, TStationTerminalView& view, const TStationOptions& o, const TCliHost& host) {
  const TStationHost& sh = *host.Station;
  const uint64_t interval = static_cast<uint64_t>(std::max(1, host.WatchIntervalMs));
  uint64_t nextList = sh.NowMs() + interval;
  bool cancelled = false;
  bool killed = false;
  std::optional<uint64_t> closedAt;
  for (;;) {
    const int interrupts = StationInterrupts.load();
    const uint64_t now = sh.NowMs();
    if (interrupts >= 1 && !cancelled) {
      cancelled = true;
      station.SetWatching(false);
      station.Cancel();
    }
    if (StationClosing.load() && !closedAt) closedAt = now;
    if (!killed && (interrupts >= 2 || (closedAt && now - *closedAt >= kCloseKillMs))) {
      killed = true;
      station.Kill();
    }
    if (closedAt && now - *closedAt >= kCloseGiveUpMs) break;
    if (!station.Busy() && (!o.Watch || cancelled)) break;
    if (o.Watch && !cancelled && now >= nextList) {
      station.PortsListed(ListPorts(host, o.DevRoot));
      nextList = now + interval;
    }
    int timeout = 200;
    if (o.Watch && !cancelled)
      timeout = static_cast<int>(std::min<uint64_t>(200, nextList - std::min(nextList, now)));
    station.Step(timeout);
    view.Draw(station);
  }
}

// True when no row of the summary waits any more.
bool WaitForRecord(TStation& station, TStationTerminalView& view, const TCliHost& host) {
  if (station.Record().Waiting == 0) return true;
  if (StationClosing.load()) {
    // Windows ends a closing console's process in seconds: one more try.
    station.RetryRecord(true);
    return station.Record().Waiting == 0;
  }
  view.RecordTrying(station.Record(), kRecordWaitMs / 1000);
  const TStationHost& sh = *host.Station;
  const int interrupts = StationInterrupts.load();
  const uint64_t until = sh.NowMs() + kRecordWaitMs;
  while (station.Record().Waiting > 0 && StationInterrupts.load() == interrupts && !StationClosing.load()) {
    const uint64_t now = sh.NowMs();
    if (now >= until) break;
    // No run goes any more: the step waits (a Ctrl-C ends the wait) and tries the rows when it is time.
    station.Step(static_cast<int>(std::min<uint64_t>(1000, until - now)));
  }
  station.RetryRecord(true);
  return station.Record().Waiting == 0;
}

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
  sub.add_option("--summary", o.Summary,
                 "the summary as CSV in FILE: a row appended after every run, earlier rows kept as they are")
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
      "Ctrl-C, SIGTERM and SIGHUP cancel every run and print the summary; a second one ends everything\n"
      "at once.\n"
      "--summary appends to FILE (a new file gets the header). Several stations may write one FILE. A FILE\n"
      "with another header is left as it is: the rows go to FILE-2 (summary-2.csv ...). Rows that cannot\n"
      "be written (FILE open in a spreadsheet, its folder gone) wait in FILE.pending and are tried again;\n"
      "at the end for 15 s, then the next station that writes to FILE writes them first.\n"
      "\nExit codes:\n"
      "  0  every run completed\n"
      "  2  usage error; nothing was sent\n"
      "  3  the question was answered No; nothing was sent\n"
      "  6  at least one run failed or was cancelled\n"
      "  8  the runs have ended, but rows of the summary still wait (before 6)");
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

int RunStation(const TStationOptions& o, TCliIo& io, const TCliHost& host) {
  std::string error;
  if (!ValidateStationOptions(o, error)) return StationUsage(io, error);
  const TStationHost& sh = *host.Station;

  // Each physical port once, whatever names it was given by.
  std::set<std::string> keys;
  for (const std::string& port : o.Ports) {
    if (port.empty()) return StationUsage(io, "--port needs a port name");
    if (!keys.insert(KeyOf(sh, port)).second)
      return StationUsage(io, "the port \"" + port + "\" is given twice");
  }
  TStartOptions startOptions;
  startOptions.ImageFiles = !o.File.empty();
  const TStartupSettings settings = DeriveStartupSettings(host.InternalMode, startOptions);
  if (settings.ImageFilesRefused)
    return StationUsage(io, "--file is refused: image files need internal mode");
  if (!o.File.empty()) {
    // Checked whole once: a file every run would fail on starts none.
    std::string reason;
    if (!CheckImageFile(o.File, reason)) return StationUsage(io, reason);
  }
  if (!o.LogDir.empty() && !FolderTakesFiles(o.LogDir, error)) return StationUsage(io, "--log-dir: " + error);
  if (!o.Summary.empty()) {
    if (IsFolder(o.Summary)) return StationUsage(io, "--summary: \"" + o.Summary + "\" is a folder");
    const std::string dir = FolderOf(o.Summary);
    if (!IsFolder(dir) || !FolderTakesFiles(dir, error)) {
      return StationUsage(io, "--summary: cannot write \"" + o.Summary + "\"");
    }
  }

  std::vector<std::string> present;
  std::vector<std::string> start = o.Ports;
  if (o.All || o.Watch) {
    std::set<std::string> seen;
    for (const std::string& name : ListPorts(host, o.DevRoot)) {
      if (!seen.insert(KeyOf(sh, name)).second) continue;
      present.push_back(name);
      if (o.All) start.push_back(name);
    }
    if (o.All && !o.Watch && start.empty()) return StationUsage(io, "--all: no serial port found");
  }

  // The question once for the whole station, as Update asks it.
  ApplyStartupSettings(settings);
  const char* question = o.File.empty() ? TRunControl::UpdateQuestion() : nullptr;
  if (question != nullptr && !o.Yes) {
    if (!io.StdinTty) {
      return StationUsage(io, "the update asks \"" + QuestionLine(question) +
                                  "\" and there is no terminal to answer; add --yes");
    }
    const bool yes = AskYesNo(io, question);
    if (!yes || StationInterrupts.load() > 0) {
      io.Err << kProgram << ": not started\n";
      return kExitDeclined;
    }
  }

  TStationConfig config;
  config.Program = host.StationProgram;
  config.MaxRepeats = o.MaxRepeats;
  config.File = o.File;
  config.SimOptions = o.SimOptions;
  config.LogDir = o.LogDir;
  config.Summary = o.Summary;
  config.PendingDir = host.PendingDir;
  config.GraceMs = o.GraceMs;
  TStationTerminalView view(io, o.Json);
  int rc;
  {
    TStation station(config, sh, view);
    if (o.Watch) {
      station.PortsListed(present);
      station.SetWatching(true);
    }
    for (const std::string& port : start) station.Start(port);
    Loop(station, view, o, host);
    rc = view.Finish(station);
    if (!WaitForRecord(station, view, host)) {
      view.RecordLeft(station.Record());
      rc = kExitRowsWaiting;
    }
  }
  StationFinished();
  return rc;
}
