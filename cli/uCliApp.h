// pellory-cli without its platform: the commands, the terminal view of a run and the exit codes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "station/uLatency.h"
#include "station/uPortInfo.h"
#include "station/uText.h"
#include "device/uClock.h"
#include "device/uPortOps.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uBl3File.h"
#include "sim/uSimLogger.h"
#include "cli/uCliProgress.h"
#include "ui/uOverview.h"
#include "ui/uRunControl.h"

// Set by the Ctrl-C handler (with CancelRequested). A run start clears CancelRequested, so every worker
// start sets it again from this flag until the command ends.
extern std::atomic<bool> CliInterrupted;

// The program's name in its messages.
inline constexpr const char* kProgram = "pellory-cli";

struct TCliIo {
  std::ostream& Out;
  std::ostream& Err;
  std::istream& In;
  bool StdinTty = false;
  bool StdoutTty = false;
  bool StderrTty = false;
  int ErrColumns = 0;  // width of the terminal on Err; 0 when unknown
  int OutColumns = 0;  // size of the terminal on Out; 0 when unknown
  int OutRows = 0;
  // The terminal's size on Out now (it may be resized while a station runs); unset: OutColumns, OutRows.
  std::function<void(int& columns, int& rows)> OutSize = nullptr;
  // Reads one answer line from the terminal; false at its end or on Ctrl-C. Unset: a line from In.
  std::function<bool(std::string& line)> ReadLine = nullptr;
};

struct TStationHost;

// What the commands take from the platform; tests substitute each.
struct TCliHost {
  bool InternalMode = false;
  IClock* Clock = nullptr;                            // pauses of the worker and the repeat
  IPortOps* RealPorts = nullptr;                      // every port name but "sim"
  std::function<std::vector<TPortInfo>()> ListPorts;  // unset: ListPortInfo(Roots)
  TSystemRoots Roots;                                 // where the port hints look (POSIX)
  IAdapterTimers* AdapterTimers = nullptr;            // unset: the platform's, looking in Roots
  TSimFaults SimFaults;                               // faults of the simulated logger (tests)
  // The worker factory: the update procedure, started so that Ctrl-C reaches the main thread only.
  TCommThreadClass WorkerClass = DefaultCommThreadClass();
  // The station's platform (processes, port identity, clocks), the program its runs start and the port
  // list it watches (unset: ListSerialPortsIn).
  const TStationHost* Station = nullptr;
  std::string StationProgram;
  std::function<std::vector<std::string>(const std::string& devRoot)> StationPorts;
  int WatchIntervalMs = 500;
  // Called when a run is started by the station: its standard input then carries the cancel.
  std::function<void()> CancelOnStdin;
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFatal = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDeclined = 3;

// `args` without the program name; returns the exit code.
int CliMain(const std::vector<std::string>& args, TCliIo& io, const TCliHost& host);

// The exit code of a run that has ended.
int RunExitCode(const TRunControl& control, bool info);

// The current time as ISO-8601 UTC with milliseconds.
std::string IsoTimeStamp();

// A question of the window (lines apart by CR LF) on one line.
std::string QuestionLine(const std::string& question);
// Asks `question` on the terminal (Err, one line) and reads the answer from In: true for a Yes.
bool AskYesNo(TCliIo& io, const std::string& question);

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
