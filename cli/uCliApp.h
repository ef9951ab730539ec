// pellory-cli without its platform: the commands and the terminal view of a run.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/uCliIo.h"
#include "cli/uCliProgress.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uBl3File.h"
#include "run/uOverview.h"
#include "run/uRunControl.h"
#include "station/uText.h"

// `args` without the program name; returns the exit code.
int CliMain(const std::vector<std::string>& args, TCliIo& io, const TCliHost& host);

// The exit code of a run that has ended.
int RunExitCode(const TRunControl& control, bool info);

// The current time as ISO-8601 UTC with milliseconds.
std::string IsoTimeStamp();

// `text` as the contents of a JSON string (without the quotes); bytes that are not UTF-8 are taken as
// Latin-1.
std::string JsonEscape(const std::string& text);

// The terminal as the run's window: report lines on Out, the progress line on Err (terminals only). When
// both are the terminal, the progress reports live in the progress line alone.
class TCliView : public IRunView {
 public:
  // `clock` is the run control's: it times the progress line.
  TCliView(TCliIo& io, IClock& clock, std::string port, bool readInfoOnly, bool yes, bool json);
  // A run of the station: with --json its report lines and final text go out as JSON objects too.
  void SetStationChild(bool on) { FStationChild = on; }
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

  // Before the run control handles a worker event: its JSON object (--json) and what the progress line
  // takes from it.
  void WorkerEvent(uint32_t code, int32_t value);
  const std::string& BoxText() const { return FBoxText; }

 private:
  void DrawBar();
  void EraseBar();
  bool FoldsProgress() const;

  TCliIo& FIo;
  IClock& FClock;
  std::string FPort;
  bool FReadInfoOnly;
  bool FYes;
  bool FJson;
  bool FStationChild = false;
  bool FBusy = false;
  int FPosition = 0;
  size_t FBarWidth = 0;  // characters of the bar now on the terminal
  TProgressEstimate FEstimate;
  std::string FImage;     // the image being written, for the progress line
  uint32_t FEvent = ~0u;  // the worker event being handled
  std::string FBoxText;
};
