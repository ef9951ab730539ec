// "Set up this PC...": pellory-cli.exe station-setup for the FTDI-type adapters listed now, with one
// elevation prompt as "Speed up adapters" has; its outcome in the message line and in a window of its own.
#include "device/uWinText_win32.h"
#include "station/uText.h"
#include "station/uUsbFlags.h"
#include "ui/uStationShared_win32.h"
#include "ui/uStation_win32.h"

using namespace StationWindow;

void TfrmStation::btnSetupClick() {
  if (FClosing || FSetupId != 0 || FSpeedUpId != 0 || FBoard.NotSetUp().empty()) return;
  if (!HelperPresent(L"This PC was left as it is: it is set up by ")) return;
  if (!FAdapterProcesses) FAdapterProcesses = CreatePlatformProcesses();
  // The helper takes the ids of the adapters it lists itself; its prompt belongs to this window.
  const std::vector<std::string> argv{FProgram, "station-setup", "--json", "--owner-window",
                                      std::to_string(reinterpret_cast<uintptr_t>(Handle()))};
  std::string error;
  const int id = FAdapterProcesses->Spawn(argv, error);
  if (id == 0) {
    ShowMessage(L"This PC was left as it is: " + ToWide(TerminalSafe(error)), true);
    return;
  }
  FSetupId = id;
  FSetupOutput.clear();
  ShowMessage(L"Setting this PC up for the station; Windows may ask once for administrator rights...", false);
  UpdateButtons();
}

void TfrmStation::StepSetup() {
  if (FSetupId == 0 || !FAdapterProcesses) return;
  int exitCode = 0;
  if (PollHelper(*FAdapterProcesses, FSetupId, FSetupOutput, exitCode)) SetupEnded(exitCode);
}

void TfrmStation::SetupEnded(int exitCode) {
  FSetupId = 0;
  std::vector<TSetupResult> results;
  const bool read = ParseSetupResults(HelperJson(FSetupOutput), results);
  std::vector<std::string> details;
  if (read) {
    details = SetupResultLines(results);
  } else {
    // No result: what the helper said instead (nothing to set up, or why it failed).
    for (size_t i = 0; i < FSetupOutput.size() && i < 40; ++i)
      details.push_back(TerminalSafe(FSetupOutput[i]));
  }
  FSetupOutput.clear();
  FStateChanged = true;
  if (Handle() == nullptr) return;
  const bool done = read && SetupExitCode(results) == 0;
  std::string summary;
  if (done) {
    summary =
        "This PC is set up: each socket keeps its COM port and latency timer from the next logger "
        "plugged in there.";
  } else if (exitCode == kExitNothingToSetUp && !details.empty()) {
    summary = details.front();
  } else {
    summary = "This PC was not set up (" + ToUtf8(std::wstring(kProgramName)) + " ended with exit code " +
              std::to_string(exitCode) + "); the details tell why.";
  }
  ShowMessage(ToWide(summary), !done);
  // A socket shows it is set up once its device has been plugged in again.
  FillPorts();
  FSpeedUpReportTitle = L"Set up this PC";
  FSpeedUpDetails = details;
  FSpeedUpReportDue = !FClosing;
  UpdateButtons();
}
