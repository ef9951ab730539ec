#include "station/uStation.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "device/uEventTexts.h"
#include "firmware/uNames.h"
#include "run/uProgressEstimate.h"
#include "run/uRunControl.h"
#include "sim/uSimLogger.h"
#include "station/uStationSys.h"
#include "station/uText.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFatal = 1;
constexpr int kExitCancelled = 20;
// Finished runs beyond this many keep their row but give up their report lines (their log holds them), so
// a long watch session does not grow without bound.
constexpr size_t kRunsWithReport = 100;
constexpr size_t kMaxReportLines = 2000;
constexpr size_t kMaxHints = 20;

}  // namespace

const char* RunStatusWord(TRunStatus status) {
  switch (status) {
    case TRunStatus::Waiting:
      return "waiting";
    case TRunStatus::Running:
      return "running";
    case TRunStatus::Completed:
      return "completed";
    case TRunStatus::Failed:
      return "failed";
    case TRunStatus::Cancelled:
      return "cancelled";
    case TRunStatus::Unplugged:
      return "unplugged";
  }
  return "";
}

// What the station holds of a run beyond what a front end shows.
struct TRunPrivate {
  int Id = 0;
  bool Active = false;
  bool CancelSent = false;
  bool Killed = false;
  bool Gone = false;  // its port left the port list while it ran
  uint64_t CancelMs = 0;
  uint64_t KillMs = 0;
  std::chrono::system_clock::time_point StartedWall;
  // The time stamp of the run's last line that carried one: when its program last spoke, whenever the
  // station got round to reading it.
  std::optional<std::chrono::system_clock::time_point> LastTs;
  int Starts = 0;
  int Warnings = 0;
  std::string Final;
  std::string Other;  // the first line that was no JSON: the run's program's own error
  TProgressEstimate Estimate;
  std::unique_ptr<TRunLog> Log;
};

struct TStation::TImpl {
  TImpl(const TStationConfig& config, const TStationHost& host, IStationView& view)
      : C(config),
        H(host),
        V(view),
        Record(
            {config.Summary, config.PendingDir, 50, config.RecordRetryMs}, host.NowMs,
            [this](const TRecordState& state) {
              if (!Quiet) V.RecordChanged(state);
            },
            [this](const std::string& text) { Problem(text); }) {}

  TStationConfig C;
  TStationHost H;
  IStationView& V;
  std::deque<TStationRun> Runs;
  std::deque<TRunPrivate> Priv;  // beside Runs, index for index
  std::vector<TStationRow> Rows;
  bool Watching = false;
  std::map<std::string, std::string> Present;  // key -> name of the ports listed last
  std::set<std::string> PresentNames;
  std::map<std::string, std::string> Pending;  // key -> name: appeared while watching, run not yet started
  // The logger of a completed run (GuardKey) -> when that run ended.
  std::map<std::string, uint64_t> CompletedAt;
  size_t Trimmed = 0;  // runs whose report lines were given up
  bool Quiet = false;  // the station is being dropped: its view may be gone
  // Last: it may tell a problem while it is made.
  TRecord Record;

  std::chrono::system_clock::time_point WallNow() const {
    return H.WallNow ? H.WallNow() : std::chrono::system_clock::now();
  }

  std::string KeyOf(const std::string& port) const {
    try {
      if (H.PortKey) return H.PortKey(port);
      if (H.Identify) return H.Identify(port).Key;
    } catch (const std::exception&) {
      // A port the system cannot describe is known by its name.
    }
    return port;
  }

  TPortIdentity IdentityOf(const std::string& port) const {
    TPortIdentity id;
    try {
      if (H.Identify) id = H.Identify(port);
    } catch (const std::exception&) {
    }
    if (id.Key.empty()) id.Key = KeyOf(port);
    return id;
  }

  bool ActiveOn(const std::string& port, const std::string& key) const {
    for (size_t i = 0; i < Runs.size(); ++i) {
      if (Priv[i].Active && (Runs[i].Port == port || Runs[i].Identity.Key == key)) return true;
    }
    return false;
  }

  std::vector<std::string> ChildArgs(const std::string& port) const {
    std::vector<std::string> argv{C.Program,        "update", "--port",        port,
                                  "--yes",          "--json", "--max-repeats", std::to_string(C.MaxRepeats),
                                  "--station-child"};
    if (!C.File.empty()) {
      argv.push_back("--file");
      argv.push_back(C.File);
    }
    if (TPortRouter::IsSimPortName(port)) {
      for (const auto& [name, value] : C.SimOptions) {
        argv.push_back(name);
        argv.push_back(value);
      }
    }
    return argv;
  }

  void Problem(const std::string& text) {
    if (!Quiet) V.Problem(text);
  }

  void LogProblem(TStationRun& run, const std::string& text) {
    if (run.LogProblem.empty()) {
      run.LogProblem = text;
      Problem(text);
    }
  }

  void OpenLog(TStationRun& run, TRunPrivate& p) {
    p.Log = std::make_unique<TRunLog>();
    if (!p.Log->Open(C.LogDir, run.Port, p.StartedWall)) LogProblem(run, p.Log->Problem());
    run.LogPath = p.Log->Path();
  }

  void LogLine(TStationRun& run, TRunPrivate& p, const std::string& line) {
    if (p.Log && !p.Log->Line(line)) LogProblem(run, p.Log->Problem());
  }

  // Which logger a completed run was, as far as the system tells: its USB serial number in its socket,
  // either alone where the other is unknown (loggers may share a serial, or report none), else the port.
  static std::string GuardKey(const std::string& port, const TPortIdentity& id) {
    if (id.UsbSerial.empty() && id.Location.empty()) return "port " + port;
    return "serial " + id.UsbSerial + "\n" + "socket " + id.Location + "\n" + id.Interface;
  }

  // Why `port` gets no run now: the logger whose update completed moments ago, back after its own reset.
  bool Guarded(const std::string& port, const TPortIdentity& id, std::string& why) const {
    const auto done = CompletedAt.find(GuardKey(port, id));
    if (done == CompletedAt.end()) return false;
    const uint64_t since = H.NowMs() - done->second;
    if (since >= static_cast<uint64_t>(C.ReplugGuardMs)) return false;
    const char* same = !id.UsbSerial.empty() && !id.Location.empty()
                           ? "with the same USB serial number in the same socket"
                       : !id.UsbSerial.empty() ? "with the same USB serial number"
                       : !id.Location.empty()  ? "in the same socket"
                                               : "on the same port";
    char text[200];
    std::snprintf(text, sizeof text,
                  "no new run: back %.1f s after its completed update %s (the logger's own reset)",
                  static_cast<double>(since) / 1000.0, same);
    why = text;
    return true;
  }

  bool Start(const std::string& port) {
    TPortIdentity identity = IdentityOf(port);
    if (ActiveOn(port, identity.Key)) {
      V.PortSkipped(port, "a run on this port is still going");
      return false;
    }
    if (std::string why; Guarded(port, identity, why)) {
      V.PortSkipped(port, why);
      return false;
    }
    Runs.emplace_back();
    Priv.emplace_back();
    TStationRun& run = Runs.back();
    TRunPrivate& p = Priv.back();
    run.Number = static_cast<int>(Runs.size());
    run.Port = port;
    run.Identity = std::move(identity);
    run.Status = TRunStatus::Running;
    run.StartMs = H.NowMs();
    p.StartedWall = WallNow();
    p.Estimate.Start(run.StartMs);
    if (!C.LogDir.empty()) OpenLog(run, p);
    std::string error;
    p.Id = H.Processes->Spawn(ChildArgs(port), error);
    p.Active = true;
    V.RunStarted(run);
    if (p.Id == 0) {
      p.Other = "cannot start the run: " + error;
      LogLine(run, p, ReportLine(p.Other));
      End(Runs.size() - 1, kExitFatal);
    }
    return true;
  }

  size_t IndexOf(int id) const {
    for (size_t i = Runs.size(); i-- > 0;) {
      if (Priv[i].Active && Priv[i].Id == id) return i;
    }
    return Runs.size();
  }

  void CancelRun(size_t i) {
    TRunPrivate& p = Priv[i];
    if (!p.Active || p.CancelSent) return;
    H.Processes->Cancel(p.Id);
    p.CancelSent = true;
    p.CancelMs = H.NowMs();
  }

  void KillRun(size_t i) {
    TRunPrivate& p = Priv[i];
    if (!p.Active || p.Killed) return;
    H.Processes->Kill(p.Id);
    p.Killed = true;
    p.KillMs = H.NowMs();
  }

  void Line(size_t i, const std::string& line) {
    TStationRun& run = Runs[i];
    TRunPrivate& p = Priv[i];
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      if (line.empty()) return;
      // The run's program's own words: why a port would not open, a crash's last cry.
      if (p.Other.empty()) p.Other = line;
      if (run.Hints.size() < kMaxHints) run.Hints.push_back(line);
      LogLine(run, p, line);
      V.RunOutput(run, line);
      return;
    }
    auto text = [&j](const char* key) {
      const auto it = j.find(key);
      return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    std::chrono::system_clock::time_point ts;
    if (ParseIsoUtc(text("ts"), ts)) p.LastTs = ts;
    if (j.contains("report")) {
      const std::string report = text("report");
      if (report.find(" -> Start at serial port \"") != std::string::npos) ++p.Starts;
      if (run.Report.size() >= kMaxReportLines)
        run.Report.erase(run.Report.begin(), run.Report.begin() + 100);
      run.Report.push_back(report);
      LogLine(run, p, report);
      V.RunReport(run, report);
      V.RunChanged(run);
      return;
    }
    if (j.contains("final")) {
      p.Final = text("final");
      return;
    }
    const auto code = j.find("code");
    const auto value = j.find("value");
    if (code == j.end() || value == j.end() || !code->is_number_integer() || !value->is_number_integer())
      return;
    const int64_t v = value->get<int64_t>();
    const uint16_t low = static_cast<uint16_t>(v & 0xFFFF);
    char buf[32];
    switch (code->get<int64_t>()) {
      case evProgress:
        run.Progress = static_cast<int>(std::clamp<int64_t>(v, 0, 100));
        p.Estimate.Progress(run.Progress);
        break;
      case evLoggerClass:
        run.LoggerClass = ClassName(low, 0xFFFF);
        break;
      case evLoggerVersion:
        std::snprintf(buf, sizeof buf, "%d.%d", (low >> 8) & 0xFF, low & 0xFF);
        run.LoggerVersion = buf;
        break;
      case evPlatform:
        run.Platform = PlatformName(low);
        break;
      case evPrint:
        run.Print = PrintName(low);
        break;
      case evUpdateStart: {
        // "Update <class> V<version>, <print>, BL<bl>": the image is the part before the first comma.
        std::string t = text("text");
        if (t.rfind("Update ", 0) == 0) t = t.substr(7);
        run.Image = t.substr(0, t.find(','));
        run.Progress = 0;
        p.Estimate.WriteStarted(H.NowMs());
        break;
      }
      case evVerifyError:
        ++p.Warnings;
        break;
      case evTxStatus:
        if ((v & 0xF00) == 0x300 || (v & 0xF00) == 0x400) ++p.Warnings;
        break;
      case evRxStatus:
        if ((v & 0xF00) == 0x300) ++p.Warnings;
        break;
      default:
        break;
    }
    j["port"] = run.Port;
    V.RunEvent(run, j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    V.RunChanged(run);
  }

  // `exitCode`: the program's, or IProcesses::kCrashed.
  void End(size_t i, int exitCode, bool unreaped = false) {
    TStationRun& run = Runs[i];
    TRunPrivate& p = Priv[i];
    p.Active = false;
    const uint64_t now = H.NowMs();
    // A run that spoke to its end is timed by its own last words; one the station ended, by the station.
    const bool ownEnd =
        exitCode != IProcesses::kCrashed && !p.Killed && p.LastTs && *p.LastTs >= p.StartedWall;
    const auto finished = ownEnd ? *p.LastTs : WallNow();
    TStationRow& row = run.Row;
    row.Port = run.Port;
    row.Started = IsoUtc(p.StartedWall, false);
    row.Finished = IsoUtc(finished, false);
    row.Seconds = ownEnd ? std::chrono::duration<double>(finished - p.StartedWall).count()
                         : static_cast<double>(now - run.StartMs) / 1000.0;
    row.LoggerClass = run.LoggerClass;
    row.LoggerVersion = run.LoggerVersion;
    row.Platform = run.Platform;
    row.Print = run.Print;
    row.Image = run.Image;
    row.Warnings = p.Warnings;
    row.Repeats = std::max(0, p.Starts - 1);
    row.Text = p.Final;
    std::string closing;  // the log's last line when the run could not write its own end
    if (exitCode == IProcesses::kCrashed || p.Killed) {
      row.ExitCode = p.CancelSent ? kExitCancelled : kExitFatal;
      if (unreaped) {
        row.Text =
            "Ended by the station: the run did not stop when cancelled, and its process did not end "
            "after the kill (not reaped)";
      } else if (p.Killed) {
        row.Text = "Ended by the station: the run did not stop when cancelled";
      } else if (row.Text.empty()) {
        row.Text = "The run's process ended abnormally" + (p.Other.empty() ? std::string() : ": " + p.Other);
      }
      closing = row.Text;
    } else {
      row.ExitCode = exitCode;
      if (row.Text.empty()) row.Text = p.Other;
    }
    row.Result = row.ExitCode == kExitOk                        ? "completed"
                 : (row.ExitCode == kExitCancelled || p.Killed) ? "cancelled"
                                                                : "failed";
    row.UsbSerial = run.Identity.UsbSerial;
    row.Location = run.Identity.Location;
    row.Host = H.HostName;
    row.PelloryVersion = H.Version;
    if (!closing.empty()) LogLine(run, p, ReportLine(closing));
    // The run's log names the file its row went to when it is not the one named.
    const std::string diverted = Record.State().DivertedText();
    if (!diverted.empty()) LogLine(run, p, ReportLine(diverted));
    if (p.Log && !p.Log->Close()) LogProblem(run, p.Log->Problem());
    p.Log.reset();
    row.LogProblem = run.LogProblem;
    run.Killed = p.Killed;
    run.Unreaped = unreaped;
    run.Text = row.Text;
    run.ElapsedMs = static_cast<uint64_t>(row.Seconds * 1000.0 + 0.5);
    run.LeftMs.reset();
    if (row.Result == "completed") {
      run.Status = TRunStatus::Completed;
      run.Progress = 100;
      CompletedAt[GuardKey(run.Port, run.Identity)] = now;
    } else if (p.Gone) {
      run.Status = TRunStatus::Unplugged;
    } else {
      run.Status = row.Result == "cancelled" ? TRunStatus::Cancelled : TRunStatus::Failed;
    }
    Rows.push_back(row);
    Record.Add(row);
    TrimReports();
    if (!Quiet) V.RunEnded(run);
  }

  void TrimReports() {
    size_t finished = 0;
    for (size_t i = Runs.size(); i-- > Trimmed;) {
      if (Priv[i].Active) continue;
      if (++finished > kRunsWithReport) {
        std::vector<std::string>().swap(Runs[i].Report);
        if (i == Trimmed) ++Trimmed;
      }
    }
  }

  void StartPending() {
    for (auto it = Pending.begin(); it != Pending.end();) {
      const std::string key = it->first;
      const std::string name = it->second;
      if (ActiveOn(name, key)) {
        // One run per port name and per device at a time: this one waits for the run before it.
        ++it;
        continue;
      }
      it = Pending.erase(it);
      Start(name);
    }
  }

  void PortsListed(const std::vector<std::string>& ports) {
    std::map<std::string, std::string> now;
    std::set<std::string> names;
    for (const std::string& name : ports) {
      names.insert(name);
      now.emplace(KeyOf(name), name);  // the first name of a device stands for it
    }
    for (size_t i = 0; i < Runs.size(); ++i) {
      if (!Priv[i].Active) continue;
      const TStationRun& run = Runs[i];
      const bool wasListed = PresentNames.count(run.Port) != 0 || Present.count(run.Identity.Key) != 0;
      const bool listed = names.count(run.Port) != 0 && now.count(run.Identity.Key) != 0;
      if (wasListed && !listed) Priv[i].Gone = true;
    }
    if (Watching) {
      for (const auto& [key, name] : now) {
        if (Present.count(key) == 0) Pending[key] = name;
      }
    }
    for (auto it = Pending.begin(); it != Pending.end();) {
      it = now.count(it->first) == 0 ? Pending.erase(it) : std::next(it);
    }
    Present = std::move(now);
    PresentNames = std::move(names);
    StartPending();
  }

  void Step(int timeoutMs) {
    uint64_t now = H.NowMs();
    uint64_t wait = static_cast<uint64_t>(std::max(0, timeoutMs));
    for (size_t i = 0; i < Runs.size(); ++i) {
      TRunPrivate& p = Priv[i];
      if (!p.Active) continue;
      if (p.CancelSent && !p.Killed) {
        const uint64_t due = p.CancelMs + static_cast<uint64_t>(C.GraceMs);
        // It did not end when asked (a driver call that never returns).
        if (now >= due) {
          KillRun(i);
        } else {
          wait = std::min(wait, due - now);
        }
      }
      if (p.Killed) {
        const uint64_t due = p.KillMs + static_cast<uint64_t>(C.ReapWaitMs);
        // Not even the kill ended it (a process stuck in the kernel): report it and stop waiting for it.
        if (now >= due) {
          End(i, IProcesses::kCrashed, true);
        } else {
          wait = std::min(wait, due - now);
        }
      }
    }
    std::vector<TProcessEvent> events;
    H.Processes->Poll(static_cast<int>(wait), events);
    for (const TProcessEvent& ev : events) {
      const size_t i = IndexOf(ev.Id);
      if (i == Runs.size()) continue;
      if (ev.Kind == TProcessEvent::TKind::Exit) {
        End(i, ev.ExitCode);
      } else {
        Line(i, ev.Text);
      }
    }
    now = H.NowMs();
    for (size_t i = 0; i < Runs.size(); ++i) {
      if (!Priv[i].Active) continue;
      Runs[i].ElapsedMs = Priv[i].Estimate.ElapsedMs(now);
      Runs[i].LeftMs = Priv[i].Estimate.LeftMs(now);
    }
    if (Watching) StartPending();
    Record.Retry();
  }
};

TStation::TStation(const TStationConfig& config, const TStationHost& host, IStationView& view)
    : F(std::make_unique<TImpl>(config, host, view)) {}

TStation::~TStation() {
  // Runs still going when the station is dropped are killed; their rows and logs are still written.
  F->Quiet = true;
  for (size_t i = 0; i < F->Runs.size(); ++i) F->KillRun(i);
  const uint64_t until = F->H.NowMs() + static_cast<uint64_t>(F->C.ReapWaitMs);
  while (Busy() && F->H.NowMs() < until) {
    std::vector<TProcessEvent> events;
    F->H.Processes->Poll(50, events);
    for (const TProcessEvent& ev : events) {
      const size_t i = F->IndexOf(ev.Id);
      if (i < F->Runs.size() && ev.Kind == TProcessEvent::TKind::Exit) F->End(i, ev.ExitCode);
    }
  }
  for (size_t i = 0; i < F->Runs.size(); ++i) {
    if (F->Priv[i].Active) F->End(i, IProcesses::kCrashed, true);
  }
}

bool TStation::Start(const std::string& port) {
  return F->Start(port);
}

bool TStation::JustCompleted(const std::string& port, const TPortIdentity& identity) const {
  std::string why;
  return F->Guarded(port, identity, why);
}

void TStation::PortsListed(const std::vector<std::string>& ports) {
  F->PortsListed(ports);
}

void TStation::SetWatching(bool on) {
  F->Watching = on;
  if (!on) F->Pending.clear();
}

void TStation::Step(int timeoutMs) {
  F->Step(timeoutMs);
}

void TStation::Cancel() {
  F->Pending.clear();
  for (size_t i = 0; i < F->Runs.size(); ++i) F->CancelRun(i);
}

void TStation::Kill() {
  F->Pending.clear();
  for (size_t i = 0; i < F->Runs.size(); ++i) F->KillRun(i);
}

void TStation::EndWithin(int killAfterMs, int giveUpAfterMs) {
  SetWatching(false);
  Cancel();
  const uint64_t start = F->H.NowMs();
  bool killed = false;
  while (Busy()) {
    const uint64_t elapsed = F->H.NowMs() - start;
    if (!killed && elapsed >= static_cast<uint64_t>(killAfterMs)) {
      killed = true;
      Kill();
    }
    if (elapsed >= static_cast<uint64_t>(giveUpAfterMs)) break;
    F->Step(50);
  }
  for (size_t i = 0; i < F->Runs.size(); ++i) {
    if (F->Priv[i].Active) F->End(i, IProcesses::kCrashed, true);
  }
  F->Record.Retry(true);
}

void TStation::RetryRecord(bool now) {
  F->Record.Retry(now);
}

const TRecordState& TStation::Record() const {
  return F->Record.State();
}

bool TStation::Busy() const {
  return std::any_of(F->Priv.begin(), F->Priv.end(), [](const TRunPrivate& p) { return p.Active; });
}

const std::deque<TStationRun>& TStation::Runs() const {
  return F->Runs;
}

const std::vector<TStationRow>& TStation::Rows() const {
  return F->Rows;
}

TStation::TCounts TStation::Counts() const {
  TCounts counts;
  for (size_t i = 0; i < F->Runs.size(); ++i) {
    if (F->Priv[i].Active) {
      ++counts.Running;
      continue;
    }
    switch (F->Runs[i].Status) {
      case TRunStatus::Completed:
        ++counts.Completed;
        break;
      case TRunStatus::Cancelled:
        ++counts.Cancelled;
        break;
      default:
        ++counts.Failed;
        break;
    }
  }
  return counts;
}
