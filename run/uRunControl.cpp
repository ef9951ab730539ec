#include "run/uRunControl.h"

#include <exception>

#include "device/uEventTexts.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uBl3File.h"
#include "firmware/uFWVersions.h"

std::string ReportLine(const std::string& text, const std::tm& localTime) {
  char stamp[16];
  if (std::strftime(stamp, sizeof stamp, "%H-%M-%S", &localTime) == 0) stamp[0] = '\0';
  return std::string(stamp) + " -> " + text;
}

std::string ReportLine(const std::string& text) {
  // Called on the window (or main) thread only, so the shared buffer of localtime is not contended.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (const std::tm* p = std::localtime(&now)) local = *p;
  return ReportLine(text, local);
}

TRunControl::TRunControl(IRunView& view, intptr_t hWindow, IClock& clock)
    : FView(view), FhWindow(hWindow), FClock(clock) {}

const char* TRunControl::UpdateQuestion() {
  if (ClearsMeasurements) return kAskClears;
  if (ServiceLevel >= 1) return nullptr;
  return kAskSaved;
}

bool TRunControl::UpdateClick() {
  if (Busy()) return false;
  if (const char* question = UpdateQuestion()) {
    if (!FView.Confirm(question)) return false;
  }
  return PrepareAndStart("");
}

bool TRunControl::FileClick(const std::string& fileName) {
  // An empty name is a cancelled dialog.
  if (Busy() || fileName.empty()) return false;
  return PrepareAndStart(fileName);
}

bool TRunControl::PrepareAndStart(const std::string& fileName) {
  if (Busy()) return false;
  std::string reason;
  try {
    if (!PrepareImage(fileName, reason)) {
      // Starting anyway would quietly update with an embedded image the operator did not choose.
      FView.ShowError(reason.empty() ? "The image file \"" + fileName + "\" cannot be read." : reason);
      return false;
    }
  } catch (const std::exception& e) {
    SelectedImage = -1;
    FView.ShowError(e.what());
    return false;
  }
  FRepeatsDone = 0;
  FRepeatsExhausted = 0;
  StartRun(TCmd::tCMD0);
  return true;
}

void TRunControl::CancelClick() {
  CancelRequested = true;
}

bool TRunControl::CloseQuery() {
  if (!Busy()) return true;
  return FView.Confirm(kAskClose);
}

bool TRunControl::FileVersion(const std::string& fileName) {
  if (Busy()) {
    // The worker reads FileHeader and SelectedImage without a lock during a run.
    FView.ShowError(kFileVersionBusy);
    return false;
  }
  try {
    ReadFileVersion(fileName);
  } catch (const std::exception& e) {
    FView.ShowError(e.what());
    return false;
  }
  return true;
}

bool TRunControl::PrepareImage(const std::string& fileName, std::string& reason) {
  FView.ClearReport();
  SelectedImage = -1;
  if (!fileName.empty() && !LoadImageFile(fileName, reason)) return false;
  FPort = FView.PortText();
  return true;
}

void TRunControl::StartRun(TCmd cmd) {
  const std::string text = StartText(FView.PortText());
  FView.AddReport(text);
  FView.SetStatus(text);
  ReadInfoOnly = FView.ReadInfoOnlyChecked();
  FView.SetProgress(0);
  FView.SetBusy(true);
  CancelRequested = false;
  TCommThread* worker = nullptr;
  try {
    if (CommThreadClass != nullptr) worker = CommThreadClass(FhWindow, cmd, FPort);
  } catch (const std::exception& e) {
    worker = nullptr;
    FView.ShowError(e.what());
  }
  if (worker == nullptr) {
    // No worker means no final event would ever come: go back to idle rather than stay busy for good.
    RunEnded();
    return;
  }
  FCommThread = worker;
}

void TRunControl::RunEnded() {
  FView.SetBusy(false);
  FCommThread = nullptr;
  FView.SetTitle(kTitle);
}

void TRunControl::Show(const std::string& text, bool report, bool status, bool box) {
  if (report) FView.AddReport(text);
  if (status) FView.SetStatus(text);
  if (box) FView.ShowInfoBox(text);
}

bool TRunControl::RepeatAllowed(int kind) {
  if (FMaxRepeats >= 0 && FRepeatsDone >= FMaxRepeats) {
    FRepeatsExhausted = kind;
    return false;
  }
  ++FRepeatsDone;
  return true;
}

void TRunControl::WorkerEvent(uint32_t code, int32_t value) {
  switch (code) {
    case evCompleted:
      FView.SetProgress(100);
      RunEnded();
      FLastFinalCode = static_cast<int32_t>(code);
      FLastFinalValue = value;
      Show(EventText(code, value, FView.PortText()), true, true, true);
      break;
    case evProgress:
      FView.AddReport(EventText(code, value, FView.PortText()));
      FView.SetProgress(value);
      FView.SetTitle(ProgressTitle(FView.ProgressPosition()));
      break;
    case evFailed:
      RunEnded();
      FView.Beep();
      FLastFinalCode = static_cast<int32_t>(code);
      FLastFinalValue = value;
      OutcomeEvent(value);
      break;
    case evVerifyError:
    case evUpdateStart:
      Show(EventText(code, value, FView.PortText()), true, true, false);
      break;
    case evCommFailure:
      CommFailure(value);
      break;
    case evConversionError:
    case evTxStatus:
    case evRxStatus:
    case evLoggerClass:
    case evLoggerVersion:
    case evPlatform:
    case evPrint:
    case evUpdateClass:
    case evCheckImage:
      FView.AddReport(EventText(code, value, FView.PortText()));
      break;
    default:
      break;
  }
}

void TRunControl::OutcomeEvent(int32_t outcome) {
  // Outcome 10 names the port as the box shows it now, not as the run captured it.
  const std::string text = OutcomeText(outcome, FView.PortText());
  switch (outcome) {
    case 43:
      // The conversion-error line of event 12 is already in the report.
      Show(text, false, false, true);
      break;
    case 44:
      Show(text, true, true, false);
      if (RepeatAllowed(44)) {
        StartRun(TCmd::tCMD0);
      } else {
        FView.ShowInfoBox(text);
      }
      break;
    default:
      // 10, 11, 20, 40, 41, 42, 47, 48, 70 and every other code, 0 included, whose text is the fatal one.
      Show(text, true, true, true);
      break;
  }
}

void TRunControl::CommFailure(int32_t value) {
  const std::string text = EventText(evCommFailure, value, FView.PortText());
  FView.SetStatus(text);
  FView.AddReport(text);
  if (!RepeatAllowed(30)) {
    RunEnded();
    FView.Beep();
    FLastFinalCode = static_cast<int32_t>(evCommFailure);
    FLastFinalValue = value;
    FView.ShowInfoBox(text);
    return;
  }
  // Stays busy throughout; a Cancel pressed before the repeat still stops the new run at its first frame.
  const bool saved = CancelRequested;
  FClock.Sleep(kRepeatPauseMs);
  // A front end whose Cancel can come during the wait (Ctrl-C on the command line) keeps that one too.
  const bool cancel = saved || CancelRequested;
  StartRun(static_cast<TCmd>(static_cast<uint32_t>(value) & 0xFF));
  CancelRequested = cancel;
}
