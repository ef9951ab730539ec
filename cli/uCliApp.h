// pellory-cli without its platform: the commands, the terminal view of a run and the exit codes.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "device/uClock.h"
#include "device/uPortOps.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uBl3File.h"
#include "sim/uSimLogger.h"
#include "ui/uOverview.h"
#include "ui/uRunControl.h"

// Set by the Ctrl-C handler (with CancelRequested). A run start clears CancelRequested, so every worker
// start sets it again from this flag until the command ends.
extern std::atomic<bool> CliInterrupted;

struct TCliIo {
  std::ostream& Out;
  std::ostream& Err;
  std::istream& In;
  bool StdinTty = false;
  bool StdoutTty = false;
  bool StderrTty = false;
};

// What the commands take from the platform; tests substitute each.
struct TCliHost {
  bool InternalMode = false;
  IClock* Clock = nullptr;        // pauses of the worker and the repeat
  IPortOps* RealPorts = nullptr;  // every port name but "sim"
  std::function<std::vector<std::string>()> ListPorts;
  TSimFaults SimFaults;  // faults of the simulated logger (tests)
  // The worker factory: the update procedure, started so that Ctrl-C reaches the main thread only.
  TCommThreadClass WorkerClass = DefaultCommThreadClass();
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFatal = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDeclined = 3;

// `args` without the program name; returns the exit code.
int CliMain(const std::vector<std::string>& args, TCliIo& io, const TCliHost& host);

// The exit code of a run that has ended.
int RunExitCode(const TRunControl& control, bool info);

// `text` as the contents of a JSON string (without the quotes); bytes that are not UTF-8 are taken as
// Latin-1.
std::string JsonEscape(const std::string& text);

// Rows of cells as a table with columns padded to their widest cell, two blanks apart.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows);

// The terminal as the run's window: report lines on Out, the progress bar on Err (terminals only).
class TCliView : public IRunView {
 public:
  TCliView(TCliIo& io, std::string port, bool readInfoOnly, bool yes, bool json);
  void ClearReport() override {}
  void AddReport(const std::string& text) override;
  void SetStatus(const std::string&) override {}
  void SetProgress(int position) override;
  int ProgressPosition() override { return FPosition; }
  void SetTitle(const std::string&) override {}
  void ShowInfoBox(const std::string& text) override;
  void ShowError(const std::string& text) override;
  void SetBusy(bool busy) override;
  void Beep() override;
  bool Confirm(const std::string& question) override;
  std::string PortText() override { return FPort; }
  bool ReadInfoOnlyChecked() override { return FReadInfoOnly; }

  // One JSON object for a worker event (--json).
  void JsonEvent(uint32_t code, int32_t value);
  const std::string& BoxText() const { return FBoxText; }

 private:
  void DrawBar();
  void EraseBar();

  TCliIo& FIo;
  std::string FPort;
  bool FReadInfoOnly;
  bool FYes;
  bool FJson;
  bool FBusy = false;
  int FPosition = 0;
  size_t FBarWidth = 0;  // characters of the bar now on the terminal
  std::string FBoxText;
};
