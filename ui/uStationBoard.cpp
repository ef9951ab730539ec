#include "ui/uStationBoard.h"

#include <algorithm>
#include <cstdio>

#include "run/uWinTools1V4.h"
#include "station/uText.h"

namespace {

bool Ended(const TStationRun* run) {
  return run != nullptr && run->Status != TRunStatus::Running && run->Status != TRunStatus::Waiting;
}

}  // namespace

TStationStart StationStartFromParams(const std::vector<std::string>& params) {
  TStationStart start;
  start.Station = GetParamValue("st:", "", params) == "+";
  start.Simulated = GetParamValue("sim:", "", params) == "+";
  start.LogDir = GetParamValue("log:", "", params);
  return start;
}

std::vector<std::string> SimulatedStationPorts() {
  std::vector<std::string> ports;
  for (int i = 1; i <= 8; ++i) ports.push_back("sim" + std::to_string(i));
  return ports;
}

std::vector<std::pair<std::string, std::string>> PacedSimOptions() {
  return {{"--sim-pace", "9600"}};
}

std::string ProgramBeside(const std::string& selfPath, const std::string& name) {
  const size_t slash = selfPath.find_last_of("\\/");
  return slash == std::string::npos ? name : selfPath.substr(0, slash + 1) + name;
}

std::string DurationText(uint64_t ms) {
  const uint64_t s = ms / 1000;
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%u:%02u:%02u", static_cast<unsigned>(s / 3600),
                  static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(s / 60), static_cast<unsigned>(s % 60));
  }
  return text;
}

std::string SlowAdapterNote(int latencyMs) {
  if (latencyMs <= 1) return {};
  return "slow adapter (" + std::to_string(latencyMs) + " ms)";
}

// ---- TStationBoard

namespace {

// A row per port of a socket: a logger plugged in there again takes it, under whatever port name, and the
// ports of a multi-port adapter each have their own.
std::string KeyOf(const std::string& port, const TPortIdentity& identity) {
  if (!identity.Location.empty()) return "socket " + identity.Location + "\n" + identity.Interface;
  return "port " + (identity.Key.empty() ? port : identity.Key);
}

}  // namespace

TBoardRow& TStationBoard::RowFor(const std::string& port, const TPortIdentity& identity) {
  const std::string key = KeyOf(port, identity);
  for (TBoardRow& row : FRows) {
    if (row.Key == key) return row;
  }
  TBoardRow row;
  row.Key = key;
  row.Port = port;
  row.Identity = identity;
  FRows.push_back(row);
  return FRows.back();
}

void TStationBoard::Listed(const std::vector<TListedPort>& ports) {
  std::vector<bool> seen(FRows.size(), false);
  for (const TListedPort& listed : ports) {
    TBoardRow& row = RowFor(listed.Port, listed.Identity);
    const size_t index = static_cast<size_t>(&row - FRows.data());
    seen.resize(FRows.size(), false);
    if (seen[index]) continue;  // another name of a port already listed
    seen[index] = true;
    // Back after it was gone and its run is over: another logger, not yet updated; unless it is the one
    // just updated, back after its own reset.
    if (!row.Present && Ended(row.Run) && !listed.JustCompleted) row.Run = nullptr;
    row.Present = true;
    if (row.Run == nullptr || Ended(row.Run)) {
      row.Port = listed.Port;
      row.Identity = listed.Identity;
    }
  }
  for (size_t i = 0; i < FRows.size(); ++i) {
    if (seen[i]) continue;
    FRows[i].Present = false;
    // Gone once: its adapter has been plugged in again since, or is another one.
    FRows[i].ReplugDue = false;
  }
  // A socket gone with nothing to show leaves the list.
  FRows.erase(std::remove_if(FRows.begin(), FRows.end(),
                             [](const TBoardRow& row) { return !row.Present && row.Run == nullptr; }),
              FRows.end());
  Sort();
}

void TStationBoard::RunStarted(const TStationRun& run) {
  TBoardRow& row = RowFor(run.Port, run.Identity);
  // The same logger again: its newest run stands for it.
  const auto same = std::find(FLoggers.begin(), FLoggers.end(), row.Run);
  if (row.Run != nullptr && same != FLoggers.end()) {
    *same = &run;
  } else {
    FLoggers.push_back(&run);
  }
  row.Run = &run;
  row.Port = run.Port;
  row.Identity = run.Identity;
  Sort();
}

int TStationBoard::RowOf(const TStationRun& run) const {
  for (size_t i = 0; i < FRows.size(); ++i) {
    if (FRows[i].Run == &run) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::string> TStationBoard::ToStart() const {
  std::vector<std::string> ports;
  for (const TBoardRow& row : FRows) {
    if (row.Present && !row.SpeedingUp && (row.Run == nullptr || Ended(row.Run))) ports.push_back(row.Port);
  }
  return ports;
}

std::vector<std::string> TStationBoard::ToRepeat() const {
  std::vector<std::string> ports;
  for (const TBoardRow& row : FRows) {
    if (row.Present && !row.SpeedingUp && Ended(row.Run) && row.Run->Status != TRunStatus::Completed)
      ports.push_back(row.Port);
  }
  return ports;
}

std::vector<std::string> TStationBoard::ToSpeedUp() const {
  std::vector<std::string> ports;
  for (const TBoardRow& row : FRows) {
    if (row.Present && (row.Run == nullptr || Ended(row.Run)) && row.Identity.LatencyMs > 1)
      ports.push_back(row.Port);
  }
  return ports;
}

std::vector<std::string> TStationBoard::NotSetUp() const {
  std::vector<std::string> ports;
  for (const TBoardRow& row : FRows) {
    if (row.Present && row.Identity.LatencyMs >= 0 && !row.Identity.SocketSetUp) ports.push_back(row.Port);
  }
  return ports;
}

void TStationBoard::ReplugDue(const std::vector<std::string>& ports) {
  for (TBoardRow& row : FRows) {
    if (row.Present && std::find(ports.begin(), ports.end(), row.Port) != ports.end()) row.ReplugDue = true;
  }
}

void TStationBoard::SpeedingUp(const std::vector<std::string>& ports) {
  for (TBoardRow& row : FRows)
    row.SpeedingUp = std::find(ports.begin(), ports.end(), row.Port) != ports.end();
}

void TStationBoard::Sort() {
  // Sockets the system names first, in their physical order; then the ports by name.
  std::stable_sort(FRows.begin(), FRows.end(), [](const TBoardRow& a, const TBoardRow& b) {
    const bool la = !a.Identity.Location.empty();
    const bool lb = !b.Identity.Location.empty();
    if (la != lb) return la;
    if (la) {
      // Location paths and USB paths list the ports from the controller down: by their numbers, in order.
      for (const auto& [ka, kb] : {std::pair{&a.Identity.Location, &b.Identity.Location},
                                   std::pair{&a.Identity.Interface, &b.Identity.Interface}}) {
        if (NaturalLess(*ka, *kb)) return true;
        if (NaturalLess(*kb, *ka)) return false;
      }
    }
    return NaturalLess(a.Port, b.Port);
  });
}

// ---- texts

namespace {

constexpr const char* kDash = " \xE2\x80\x94 ";  // U+2014 em dash

}  // namespace

std::string RunOutcome(const TStationRun& run) {
  std::string text = RunStatusWord(run.Status);
  if (run.Status != TRunStatus::Failed && run.Status != TRunStatus::Cancelled &&
      run.Status != TRunStatus::Unplugged)
    return text;
  // The image is named when the controller took the update's start: from then on it holds a part of it.
  if (!run.Image.empty()) {
    text += " at " + std::to_string(std::clamp(run.Progress, 0, 100)) + " %" + kDash + "update it again";
  } else {
    text += std::string(kDash) + "not updated";
  }
  // Why it failed follows (where the port would not open, the hint that says why and what to do); a
  // cancelled run says only what it means.
  if (run.Status == TRunStatus::Cancelled) return text;
  std::string why = OpenFailureHint(run.Port, run.Row.ExitCode, run.Hints);
  if (why.empty()) why = run.Text;
  if (!why.empty()) text += ": " + TerminalSafe(why);
  return text;
}

TRowTexts RowTexts(const TBoardRow& row, uint64_t nowMs) {
  TRowTexts t;
  t.Socket = TerminalSafe(SocketLabel(row.Identity.Location));
  if (row.Identity.SocketSetUp) t.Socket += " (set up)";
  t.Port = TerminalSafe(row.Port);
  t.UsbSerial = TerminalSafe(row.Identity.UsbSerial);
  std::string result;
  const TStationRun* run = row.Run;
  if (run == nullptr) {
    result = RunStatusWord(TRunStatus::Waiting);
  } else {
    t.State = run->Status;
    t.Progress = std::clamp(run->Status == TRunStatus::Completed ? 100 : run->Progress, 0, 100);
    t.Logger =
        TerminalSafe(run->LoggerClass.empty() ? std::string() : run->LoggerClass + " " + run->LoggerVersion);
    t.Image = TerminalSafe(run->Image);
    if (run->Status == TRunStatus::Running) {
      t.Time = DurationText(nowMs >= run->StartMs ? nowMs - run->StartMs : 0);
      if (run->LeftMs) t.Time += ", " + DurationText(*run->LeftMs) + " left";
    } else {
      t.Time = DurationText(run->ElapsedMs);
    }
    result = RunOutcome(*run);
  }
  const std::string note =
      row.ReplugDue ? "adapter set to 1 ms: plug it in again" : SlowAdapterNote(row.Identity.LatencyMs);
  if (!note.empty()) result += " \xC2\xB7 " + note;  // U+00B7 middle dot
  t.Result = result;
  t.Tip = t.Port + ": " + result;
  if (run != nullptr) {
    for (const std::string& hint : run->Hints) t.Tip += "\n" + TerminalSafe(HintText(hint));
  }
  return t;
}

std::vector<std::string> RunReportLines(const TStationRun& run) {
  std::vector<std::string> lines;
  for (const std::string& line : run.Report) lines.push_back(TerminalSafe(line));
  // A long session keeps the lines of its newest runs only; every run's are in its log.
  if (run.Report.empty() && !run.LogPath.empty())
    lines.push_back("The report lines are in the log " + TerminalSafe(run.LogPath));
  // Why a port would not open, and the like: the run's own lines that are no events.
  for (const std::string& hint : run.Hints) lines.push_back(TerminalSafe(HintText(hint)));
  if (!run.LogProblem.empty()) lines.push_back(TerminalSafe(run.LogProblem));
  if (run.Status != TRunStatus::Running && run.Status != TRunStatus::Completed) {
    lines.emplace_back();
    lines.push_back(RunOutcome(run));
  }
  return lines;
}

TBoardCounts CountRuns(const std::vector<const TStationRun*>& runs) {
  TBoardCounts c;
  for (const TStationRun* run : runs) {
    ++c.Total;
    switch (run->Status) {
      case TRunStatus::Completed:
        ++c.Completed;
        break;
      case TRunStatus::Failed:
      case TRunStatus::Unplugged:
        ++c.Failed;
        break;
      case TRunStatus::Cancelled:
        ++c.Cancelled;
        break;
      case TRunStatus::Running:
      case TRunStatus::Waiting:
        ++c.Running;
        break;
    }
  }
  return c;
}

namespace {

// "COM5", "COM5 and COM6", "COM5, COM6 and COM7".
std::string PortList(const std::vector<std::string>& ports) {
  std::string text;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) text += i + 1 == ports.size() ? " and " : ", ";
    text += ports[i];
  }
  return text;
}

// At most eight names: "COM1, COM2, ..., COM7 and 23 more".
std::string SomePorts(const std::vector<std::string>& ports) {
  constexpr size_t kNamed = 8;
  std::vector<std::string> names;
  for (size_t i = 0; i < ports.size() && i < kNamed; ++i) names.push_back(TerminalSafe(ports[i]));
  if (ports.size() > kNamed) {
    names.pop_back();
    names.push_back(std::to_string(ports.size() - kNamed + 1) + " more");
  }
  return PortList(names);
}

}  // namespace

std::string StartLine(const std::vector<std::string>& ports, const std::string& image) {
  const std::string loggers = ports.size() == 1 ? "1 logger" : std::to_string(ports.size()) + " loggers";
  return "This updates " + loggers + " with " + image + ": " + SomePorts(ports) + ".";
}

std::string PlugLine(const std::string& image) {
  return "From now on, each logger plugged in is updated with " + image + ".";
}

std::string StopsLine(int running) {
  const std::string updates =
      running == 1 ? "1 running update" : std::to_string(running) + " running updates";
  return "This stops " + updates +
         ". A logger stopped while it is being written must be updated again before it is used.";
}

std::string EmptyListText(const std::vector<std::string>& otherPorts, bool watching) {
  std::string text =
      "No logger port is listed.\n\nThe list shows the serial ports of USB logger adapters, those the "
      "system names \"\\Device\\VCP...\".";
  if (!otherPorts.empty()) {
    text += " This PC's other serial " + std::string(otherPorts.size() == 1 ? "port is" : "ports are") +
            " left out: " + SomePorts(otherPorts) + ".";
  }
  text +=
      "\n\nPlug a logger in. If its port does not appear, check its adapter's driver in the Device Manager "
      "(Ports (COM & LPT)).\n\n";
  text += watching ? "Each logger is updated as soon as it is plugged in (\"Start each logger when it is "
                     "plugged in\" is on)."
                   : "Tick \"Start each logger when it is plugged in\", and each logger is updated as soon "
                     "as it is plugged in.";
  return text;
}

TSpeedUpReport SpeedUpReport(const std::vector<std::string>& ports, const std::vector<TTimerResult>* results,
                             int exitCode, const std::vector<std::string>& output,
                             const std::string& helper) {
  TSpeedUpReport report;
  std::vector<std::string> safePorts;
  for (const std::string& port : ports) safePorts.push_back(TerminalSafe(port));
  if (results == nullptr) {
    report.Problem = true;
    report.Summary = "The adapters' timers: " + helper + " " +
                     (exitCode == IProcesses::kCrashed ? std::string("ended abnormally")
                                                       : "ended with exit code " + std::to_string(exitCode)) +
                     " and reported nothing; " + PortList(safePorts) + " may be unchanged.";
    report.Details.push_back(report.Summary);
    // What it said instead, as far as it is worth reading.
    for (size_t i = 0; i < output.size() && i < 40; ++i)
      report.Details.push_back("    " + TerminalSafe(output[i]));
    return report;
  }
  std::vector<std::string> now, later, parts;
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string& name = safePorts[i];
    const auto r = std::find_if(results->begin(), results->end(),
                                [&](const TTimerResult& result) { return result.Port == ports[i]; });
    if (r == results->end()) {
      report.Details.push_back(name + ": not changed: " + helper + " did not report it.");
      parts.push_back(name + " not changed");
      continue;
    }
    const std::string was = r->WasMs >= 0 ? " (was " + std::to_string(r->WasMs) + " ms)" : "";
    // Not permitted to restart the adapter, but the timer is written: as good as set, until replugged.
    const bool written =
        r->TimerMs == 1 && (r->Outcome == TTimerOutcome::Set || r->Outcome == TTimerOutcome::SetPending ||
                            r->Outcome == TTimerOutcome::NotPermitted);
    if (written && r->Outcome == TTimerOutcome::Set) {
      report.Details.push_back(name + ": now 1 ms" + was + ".");
      now.push_back(name);
    } else if (written) {
      report.Details.push_back(name + ": set to 1 ms" + was +
                               "; the adapter takes it when it is plugged in again.");
      later.push_back(name);
      report.ReplugDue.push_back(ports[i]);
    } else {
      const char* why = r->Outcome == TTimerOutcome::NotPermitted ? "not permitted"
                        : r->Outcome == TTimerOutcome::NoTimer    ? "no adapter latency timer found"
                                                                  : "the system refused";
      const std::string still = r->TimerMs >= 0 ? ", still " + std::to_string(r->TimerMs) + " ms" : "";
      report.Details.push_back(name + ": not changed" + still + ": " + why + ".");
      parts.push_back(name + " not changed (" + why + ")");
      report.Problem = true;
    }
    for (const std::string& note : r->Notes) report.Details.push_back("    " + TerminalSafe(note));
  }
  if (!later.empty()) parts.insert(parts.begin(), PortList(later) + " at 1 ms once plugged in again");
  if (!now.empty()) parts.insert(parts.begin(), PortList(now) + " now at 1 ms");
  report.Problem = report.Problem || now.size() + later.size() < ports.size();
  std::string summary;
  for (const std::string& part : parts) summary += (summary.empty() ? "" : "; ") + part;
  report.Summary = "Adapters: " + summary + ".";
  return report;
}

std::optional<uint64_t> LastEndsInMs(const std::vector<const TStationRun*>& runs, uint64_t nowMs) {
  uint64_t completedMs = 0;
  uint64_t completed = 0;
  for (const TStationRun* run : runs) {
    if (run->Status == TRunStatus::Completed) {
      completedMs += run->ElapsedMs;
      ++completed;
    }
  }
  std::optional<uint64_t> last;
  for (const TStationRun* run : runs) {
    if (run->Status != TRunStatus::Running) continue;
    uint64_t left = 0;
    if (run->LeftMs) {
      left = *run->LeftMs;
    } else if (completed > 0) {
      const uint64_t elapsed = nowMs >= run->StartMs ? nowMs - run->StartMs : 0;
      const uint64_t typical = completedMs / completed;
      left = typical > elapsed ? typical - elapsed : 0;
    } else {
      return std::nullopt;  // a run that tells nothing yet: any time given would be a guess
    }
    last = std::max(last.value_or(0), left);
  }
  return last;
}
