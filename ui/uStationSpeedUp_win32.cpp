// "Speed up adapters": the latency helper started once for the ports whose adapters hold answers, its output
// read as it comes, its outcome shown in the message line and in a window of its own.
#include <algorithm>

#include "device/uWinText_win32.h"
#include "station/uLatency.h"
#include "station/uText.h"
#include "ui/uStationShared_win32.h"
#include "ui/uStation_win32.h"

using namespace StationWindow;

namespace {

// How long a port just sped up stays listed for the core after the helper ended (its adapter's restart
// makes it leave the port list and come back).
constexpr uint64_t kHeldMs = 5000;
// A helper's output kept at most: its JSON for 256 ports is far less.
constexpr size_t kMaxHelperOutput = 1u << 20;

}  // namespace

namespace StationWindow {

bool PollHelper(IProcesses& processes, int id, std::vector<std::string>& output, int& exitCode) {
  size_t bytes = 0;
  for (const std::string& line : output) bytes += line.size() + 1;
  std::vector<TProcessEvent> events;
  processes.Poll(0, events);
  for (TProcessEvent& event : events) {
    if (event.Id != id) continue;
    if (event.Kind == TProcessEvent::TKind::Exit) {
      exitCode = event.ExitCode;
      return true;
    }
    if (bytes < kMaxHelperOutput) {
      bytes += event.Text.size() + 1;
      output.push_back(std::move(event.Text));
    }
  }
  return false;
}

std::string HelperJson(const std::vector<std::string>& output) {
  std::string json;
  bool inArray = false;
  for (const std::string& line : output) {
    inArray = inArray || (!line.empty() && line[0] == '[');
    if (inArray) json += line + "\n";
  }
  return json;
}

}  // namespace StationWindow

void TfrmStation::btnSpeedUpClick() {
  if (FClosing || FSpeedUpId != 0 || FSetupId != 0) return;
  const std::vector<std::string> ports = FBoard.ToSpeedUp();
  if (ports.empty() || !HelperPresent(L"The adapters were left as they are: their timers are set by "))
    return;
  if (!FAdapterProcesses) FAdapterProcesses = CreatePlatformProcesses();
  // The elevation prompt belongs to this window, so that Windows shows it in front instead of flashing it
  // in the taskbar. The ports follow "--": no port name is taken for an option.
  std::vector<std::string> argv{FProgram,
                                "latency",
                                "--set",
                                "1",
                                "--json",
                                "--owner-window",
                                std::to_string(reinterpret_cast<uintptr_t>(Handle())),
                                "--"};
  argv.insert(argv.end(), ports.begin(), ports.end());
  std::string error;
  const int id = FAdapterProcesses->Spawn(argv, error);
  if (id == 0) {
    ShowMessage(L"The adapters were left as they are: " + ToWide(TerminalSafe(error)), true);
    return;
  }
  FSpeedUpId = id;
  FSpeedUpPorts = ports;
  FBoard.SpeedingUp(ports);
  FSpeedUpOutput.clear();
  std::string names;
  for (const std::string& port : ports) names += (names.empty() ? "" : ", ") + TerminalSafe(port);
  ShowMessage(ToWide("Setting the latency timers of " + names +
                     " to 1 ms; Windows may ask once for administrator rights..."),
              false);
  UpdateButtons();
}

void TfrmStation::StepSpeedUp() {
  if (FSpeedUpId == 0 || !FAdapterProcesses) return;
  int exitCode = 0;
  if (PollHelper(*FAdapterProcesses, FSpeedUpId, FSpeedUpOutput, exitCode)) SpeedUpEnded(exitCode);
}

void TfrmStation::SpeedUpEnded(int exitCode) {
  FSpeedUpId = 0;
  std::vector<TTimerResult> results;
  const bool read = ParseTimerResults(HelperJson(FSpeedUpOutput), results);
  const TSpeedUpReport report = SpeedUpReport(FSpeedUpPorts, read ? &results : nullptr, exitCode,
                                              FSpeedUpOutput, ToUtf8(std::wstring(kProgramName)));
  FHeldPorts = std::move(FSpeedUpPorts);
  FSpeedUpPorts.clear();
  FBoard.SpeedingUp({});
  FHeldUntilMs = FHost.NowMs() + kHeldMs;
  FSpeedUpOutput.clear();
  FStateChanged = true;
  if (Handle() == nullptr) return;
  // The ports' identities anew: a timer now at 1 ms loses its row's mark.
  FillPorts();
  FBoard.ReplugDue(report.ReplugDue);
  RefreshList();
  ShowMessage(ToWide(report.Summary), report.Problem);
  FSpeedUpReportTitle = L"Speed up adapters";
  FSpeedUpDetails = report.Details;
  FSpeedUpReportDue = !FClosing;
}
