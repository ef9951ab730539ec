// Run control shared by the window and the command line: what Update, File, Cancel and every worker event
// do to the report, status, progress bar, title and information box, and the two repeats. Portable; the
// front end supplies the view.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "device/uClock.h"
#include "device/uCommThread.h"

class IRunView {
 public:
  virtual ~IRunView() = default;
  virtual void ClearReport() = 0;
  virtual void AddReport(const std::string& text) = 0;
  // Status bar text and its tooltip.
  virtual void SetStatus(const std::string& text) = 0;
  virtual void SetProgress(int position) = 0;
  virtual int ProgressPosition() = 0;
  // Application title (taskbar).
  virtual void SetTitle(const std::string& text) = 0;
  // The modal information box with the final result.
  virtual void ShowInfoBox(const std::string& text) = 0;
  // The platform's plain error report (a message box): failures that are not a run's result. Unlike the
  // other texts (UTF-8) it may carry a file name as the program was given it, so it is in the platform's
  // 8-bit file-name encoding: the ANSI code page on Windows.
  virtual void ShowError(const std::string& text) = 0;
  // Busy: Update and File disabled, Close replaced by Cancel, port box disabled, hourglass. Idle: the
  // reverse.
  virtual void SetBusy(bool busy) = 0;
  virtual void Beep() = 0;
  // A "Confirm" question with "Yes" and "No"; true on Yes.
  virtual bool Confirm(const std::string& question) = 0;
  // The current text of the port box.
  virtual std::string PortText() = 0;
  virtual bool ReadInfoOnlyChecked() = 0;
};

inline constexpr const char* kTitle = "Pellory";
inline constexpr const char* kAskClears = "This update clears all measurements!\r\nDo you really continue ?";
inline constexpr const char* kAskSaved =
    "Do you save your measurements ?\r\nDo you really continue without saving ?";
inline constexpr const char* kAskClose = "The update is not finished!\r\nDo you really close the program ?";
inline constexpr uint32_t kRepeatPauseMs = 1500;
// Why File version is refused during a run.
inline constexpr const char* kFileVersionBusy = "The update is not finished!";

// "hh-nn-ss -> text" with the given local time.
std::string ReportLine(const std::string& text, const std::tm& localTime);
// The same with the current local time.
std::string ReportLine(const std::string& text);

class TRunControl {
 public:
  // `hWindow` is handed to every worker as the receiver of its events; `clock` serves the repeat's wait.
  TRunControl(IRunView& view, intptr_t hWindow, IClock& clock);

  // The question Update asks under the current settings; nullptr when it asks none.
  static const char* UpdateQuestion();
  // Update: asks where a question applies; false when declined (nothing changed).
  bool UpdateClick();
  // File with a chosen file name (the dialog is the view's). False when the file cannot be used: the
  // operator is told why and no run starts.
  bool FileClick(const std::string& fileName);
  void CancelClick();
  // Whether the program may close now; asks while a run is in progress.
  bool CloseQuery();
  // "File version" for a chosen, existing file: header into the catalogue. False (error shown) when it
  // cannot be read; true when the overview should be shown. Refused during a run.
  bool FileVersion(const std::string& fileName);

  // Handler of every worker event (WM_USER): wParam code, lParam value.
  void WorkerEvent(uint32_t code, int32_t value);

  // Update and File after the question: PrepareImage, then StartRun(tCMD0), and a fresh count of repeats.
  // False (nothing started, the reason shown with ShowError) when the named file cannot be used.
  bool PrepareAndStart(const std::string& fileName);

  // Also ends idle when no worker could be created (error shown), since no final event would come.
  void StartRun(TCmd cmd);
  void RunEnded();
  // Clears the report, chooses the image source, captures the port. False with `reason` when a file was
  // named and cannot be opened or its header read. Throws EImageFile when its lines cannot be loaded.
  bool PrepareImage(const std::string& fileName, std::string& reason);

  bool Busy() const { return FCommThread != nullptr; }
  const std::string& Port() const { return FPort; }

  // Unattended use: at most `n` repeats in a row (-1, the default, is no limit). When a repeat is due and
  // none is left, the run ends as a failure and RepeatsExhausted() tells which kind: 30 or 44.
  void SetMaxRepeats(int n) { FMaxRepeats = n; }
  int RepeatsExhausted() const { return FRepeatsExhausted; }
  int RepeatsDone() const { return FRepeatsDone; }
  // The final event of the last run that ended (code 0 or 10 with its value, or 13 when the repeats ran
  // out); -1 while none has ended.
  int32_t LastFinalCode() const { return FLastFinalCode; }
  int32_t LastFinalValue() const { return FLastFinalValue; }

 private:
  void Show(const std::string& text, bool report, bool status, bool box);
  bool RepeatAllowed(int kind);
  void OutcomeEvent(int32_t outcome);
  void CommFailure(int32_t value);

  IRunView& FView;
  intptr_t FhWindow;
  IClock& FClock;
  std::string FPort;
  TCommThread* FCommThread = nullptr;  // a marker only: the worker frees itself
  int FMaxRepeats = -1;
  int FRepeatsDone = 0;
  int FRepeatsExhausted = 0;
  int32_t FLastFinalCode = -1;
  int32_t FLastFinalValue = 0;
};
