#include "ui/uStationBoard.h"

#include <algorithm>
#include <cstdio>

#include "run/uWinTools1V4.h"
#include "station/uText.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The four digits after `tag` in `text` ("Hub_#0006" gives "0006"), or empty.
std::string NumberAfter(const std::string& text, const std::string& tag) {
  const size_t at = text.find(tag);
  if (at == std::string::npos) return {};
  size_t end = at + tag.size();
  while (end < text.size() && IsDigit(text[end])) ++end;
  return text.substr(at + tag.size(), end - at - tag.size());
}

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

std::string SocketSortKey(const std::string& location) {
  const std::string hub = NumberAfter(location, "Hub_#");
  const std::string port = NumberAfter(location, "Port_#");
  if (hub.empty() || port.empty()) return location;
  return "Hub " + hub + " Port " + port;
}

std::string SlowAdapterNote(int latencyMs) {
  if (latencyMs <= 1) return {};
  return "slow adapter (" + std::to_string(latencyMs) + " ms)";
}

// ---- TStationBoard

namespace {

std::string KeyOf(const std::string& port, const TPortIdentity& identity) {
  if (!identity.Location.empty()) return "socket " + identity.Location;
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
    // Back after it was gone and its run is over: another logger, not yet updated.
    if (!row.Present && Ended(row.Run)) row.Run = nullptr;
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
      const std::string ka = SocketSortKey(a.Identity.Location);
      const std::string kb = SocketSortKey(b.Identity.Location);
      if (NaturalLess(ka, kb)) return true;
      if (NaturalLess(kb, ka)) return false;
    }
    return NaturalLess(a.Port, b.Port);
  });
}

// ---- texts

TRowTexts RowTexts(const TBoardRow& row, uint64_t nowMs) {
  TRowTexts t;
  t.Socket = TerminalSafe(row.Identity.Location);
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
    result = RunStatusWord(run->Status);
    // Why it failed is the first thing to see; a cancelled run says only that.
    if ((run->Status == TRunStatus::Failed || run->Status == TRunStatus::Unplugged) && !run->Text.empty()) {
      result += ": " + TerminalSafe(run->Text);
    }
  }
  const std::string note =
      row.ReplugDue ? "adapter set to 1 ms: plug it in again" : SlowAdapterNote(row.Identity.LatencyMs);
  if (!note.empty()) result += " \xC2\xB7 " + note;  // U+00B7 middle dot
  t.Result = result;
  return t;
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

}  // namespace

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
