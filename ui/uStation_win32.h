// The station window of pellory.exe ("st:+"): one row per logger's socket, many updates at once, each run
// the ordinary update in a pellory-cli.exe child of the station core, counters above the list, a record
// of every run in the log folder. The window steps the core from a timer and never blocks.
#pragma once

#include <windows.h>
// windows.h first: commctrl.h needs its types.
#include <commctrl.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "station/uStation.h"
#include "ui/uForms_win32.h"
#include "ui/uPortScan.h"
#include "ui/uRunReport_win32.h"
#include "ui/uStationBoard.h"

// How the station window was started; the program body fills it from the command line, a test directly.
struct TStationWindowOptions {
  // Command-line parameters in the ANSI code page, index 0 the program path.
  std::vector<std::string> Params;
  // Ports listed after those of the serial-port map (sim1 to sim8 with "sim:+").
  std::vector<std::string> ExtraPorts;
  // Passed to every run on a simulated port.
  std::vector<std::pair<std::string, std::string>> SimOptions;
  // The program every run starts (UTF-8); empty: pellory-cli.exe beside this program.
  std::string Program;
  // The log folder shown at start; empty: "log:DIR", else the default under the user's documents.
  std::wstring LogDir;
  int GraceMs = 10000;
  // With plugging on, the ports are read again this often, whatever the broadcasts said.
  int PollMs = 5000;
  int RecordRetryMs = 3000;  // rows of the summary that wait are tried again this often
  // Closing the window ends the message loop (a test keeps its own loop running).
  bool EndsMessageLoop = true;
};

// The platform dialogs and the sound, replaceable by an automated driver.
struct TStationHooks {
  std::function<bool(std::wstring& folder)> ChooseFolder;
  std::function<bool(std::wstring& fileName)> ChooseFile;
  // MessageBeep: MB_OK after a completed run, MB_ICONHAND after any other end.
  std::function<void(UINT type)> Beep;
};

// Control identifiers.
enum : int {
  idStCompletedCaption = 300,
  idStCompleted,
  idStFailedCaption,
  idStFailed,
  idStRunningCaption,
  idStRunning,
  idStTotalCaption,
  idStTotal,
  idStEndsCaption,
  idStEnds,
  idStBevel,
  idStBtnStart,
  idStBtnCancel,
  idStBtnRepeat,
  idStChkPlug,
  idStList,
  idStLogDirLabel,
  idStLogDir,
  idStBtnLogDir,
  idStImageLabel,
  idStImage,
  idStBtnFile,
  idStMessage,
  idStBtnSpeedUp,
  idStBtnSetup,
  idStEmpty,
  idStRuns,
  idStRecord,
};

// Columns of the list, in this order.
enum TStationColumn : int {
  colSocket,
  colPort,
  colUsbSerial,
  colLogger,
  colImage,
  colProgress,
  colTime,
  colResult,
  kStationColumns
};

class TfrmStation : public TForm, public IStationView {
 public:
  explicit TfrmStation(TStationWindowOptions options = {});
  ~TfrmStation() override;

  TStationHooks Hooks;

  // Counters: a small caption over a number large enough to read from a step away.
  HWND lblCompletedCaption = nullptr, lblCompleted = nullptr;
  HWND lblFailedCaption = nullptr, lblFailed = nullptr;
  HWND lblRunningCaption = nullptr, lblRunning = nullptr;
  HWND lblTotalCaption = nullptr, lblTotal = nullptr;
  HWND lblRuns = nullptr;  // beside the total of loggers: how many runs they took, where that differs
  HWND lblEndsCaption = nullptr, lblEnds = nullptr;
  HWND Bevel1 = nullptr;
  HWND btnStart = nullptr;
  HWND btnCancel = nullptr;
  HWND btnRepeat = nullptr;
  HWND btnSpeedUp = nullptr;
  HWND btnSetup = nullptr;
  HWND chkPlug = nullptr;
  HWND ListView1 = nullptr;
  HWND lblEmpty = nullptr;  // over the empty list: why it is empty and what to do
  HWND lblLogDir = nullptr, edtLogDir = nullptr, btnLogDir = nullptr;
  HWND lblImage = nullptr, edtImage = nullptr, btnFile = nullptr;
  HWND lblMessage = nullptr;
  // Stays while rows of the summary wait, or while they go to another file than summary.csv.
  HWND lblRecord = nullptr;

  const TStationBoard& Board() const { return FBoard; }
  // The program every run starts, and the log folder the next Start uses.
  const std::string& Program() const { return FProgram; }
  std::wstring LogDirText() const;
  bool Closing() const { return FClosing; }
  // Runs not yet ended.
  bool Busy() const;
  // "Speed up adapters" is setting these ports' timers now.
  const std::vector<std::string>& SpeedingUp() const { return FSpeedUpPorts; }
  // Every run of the session, in the order they started.
  std::vector<const TStationRun*> Runs() const;
  // Port lists read and shown since the window opened; whether one is asked for and not yet shown.
  int PortScans() const { return FPortScans; }
  bool PortScanPending() const;
  // Steps the core and redraws what changed, as the timer does.
  void Tick();
  // The report window of a row, once it was asked for.
  TfrmRunReport* ReportWindow(int row) const;
  // What the window gives Windows as its reason to hold the end of the session; empty while idle.
  const std::wstring& ShutdownBlockReason() const { return FBlockReason; }

  // IStationView
  void RunStarted(const TStationRun& run) override;
  void RunChanged(const TStationRun& run) override;
  void RunEvent(const TStationRun& run, const std::string& json) override;
  void RunReport(const TStationRun& run, const std::string& line) override;
  void RunOutput(const TStationRun& run, const std::string& line) override;
  void RunEnded(const TStationRun& run) override;
  void PortSkipped(const std::string& port, const std::string& why) override;
  void Problem(const std::string& text) override;
  void RecordChanged(const TRecordState& state) override;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
  void OnCreate() override;
  void OnDestroy() override;
  bool OnCommand(int id, int code, HWND control) override;
  void OnSize() override;
  void OnClose() override;
  void OnDpiChanged() override;
  void OnEnterKey() override;

 private:
  void CreateControls();
  // The first size: the design's, scaled, and no larger than the screen.
  void SizeToScreen();
  void CreateColumns();
  void ApplyFonts();
  void Layout();
  void FitColumns();
  void FitResultColumn();
  // Asks for the port list anew (read on the scanner's thread); PortsScanned shows it.
  void FillPorts();
  void PortsScanned();
  void RefreshList();
  void RefreshCounters();
  void UpdateButtons();
  // Over the list while it lists no port: that no logger port is listed, what the list shows, what to do.
  void ShowEmptyList();
  // What a message is about: it goes when its cause does (the helper is back, another log folder chosen).
  enum class TMessageCause { Other, Helper, LogDir };
  void ShowMessage(const std::wstring& text, bool error, TMessageCause cause = TMessageCause::Other);
  void ClearMessageIfResolved();
  // The checks before any run: the program, the log folder, the image file; then the question, led by
  // `firstLine` (what is about to be updated). The log folder is made only after Yes. False (the reason
  // shown) when nothing may start.
  bool ReadyToStart(const std::string& firstLine);
  // The log folder as typed, as a full path (shown so).
  std::wstring FullLogDir();
  // Enter in the folder box, or a folder chosen: says whether the folder takes the logs.
  void AcceptLogDir();
  std::string ImageName() const;
  // The core for the current log folder and image file; a new one when they changed while idle.
  TStation& Station();
  void StartPorts(const std::vector<std::string>& ports);
  // False when pellory-cli.exe is not there: `nothingDone` and its name shown.
  bool HelperPresent(const wchar_t* nothingDone);
  // Reads the latency helper's output; once it has ended, the outcome.
  void StepSpeedUp();
  void SpeedUpEnded(int exitCode);
  // "Set up this PC...": pellory-cli.exe station-setup --json, a child like the speed-up's.
  void btnSetupClick();
  void StepSetup();
  void SetupEnded(int exitCode);

  void btnStartClick();
  void btnCancelClick();
  void btnRepeatClick();
  void btnSpeedUpClick();
  void chkPlugClick();
  void btnLogDirClick();
  void btnFileClick();
  void ShowRunReport(int row);
  // The open report windows follow their rows' runs.
  void RefreshReports();
  void PlaceRunsCount();
  LRESULT WMNotify(WPARAM wParam, LPARAM lParam);
  LRESULT ListCustomDraw(NMLVCUSTOMDRAW* draw);
  LRESULT ListGetDispInfo(NMLVDISPINFOW* info);
  LRESULT WMDeviceChange(WPARAM wParam, LPARAM lParam);
  LRESULT WMCtlColorStatic(WPARAM wParam, LPARAM lParam);
  LRESULT WMGetMinMaxInfo(LPARAM lParam);
  LRESULT WMSysCommand(WPARAM wParam, LPARAM lParam);
  LRESULT WMQueryEndSession();
  LRESULT WMEndSession(WPARAM ending);
  // The shutdown block reason follows the runs going: set while any goes, removed when none does.
  void UpdateShutdownBlock();
  // The record's line: the rows that wait (of any core), else where the rows go when not to summary.csv.
  void RefreshRecord();

  TStationWindowOptions FOptions;
  std::string FProgram;
  std::unique_ptr<IProcesses> FProcesses;
  TStationHost FHost;
  // Each change of the log folder or the image file while idle makes a new core; the earlier ones keep
  // the session's runs that the rows show.
  std::vector<std::unique_ptr<TStation>> FStations;
  std::string FStationLogDir;  // the folder and file the newest core was made for
  std::string FStationFile;
  std::string FImageFile;  // chosen with "File" (internal mode with image files), UTF-8
  std::vector<std::string> FListed;
  TStationBoard FBoard;
  std::vector<TRowTexts> FShown;  // what each row of the list shows now
  std::wstring FCell;             // the cell text handed to the list
  TBoardCounts FCounts;
  bool FImageFiles = false;
  bool FClosing = false;
  bool FKilled = false;
  bool FMessageIsError = false;
  bool FStateChanged = false;  // a run started or ended since the last redraw
  bool FRecordChanged = false;
  bool FRecordIsError = false;
  std::wstring FBlockReason;
  uint64_t FLastRedrawMs = 0;
  TMessageCause FMessageCause = TMessageCause::Other;
  std::wstring FMessageLogDir;  // the folder a message about the log folder names
  // "Speed up adapters": pellory-cli.exe latency PORT... --set 1 --json, a child of its own set of
  // processes (the core polls the runs' set and would take its output for a run's).
  std::unique_ptr<IProcesses> FAdapterProcesses;
  int FSpeedUpId = 0;
  std::vector<std::string> FSpeedUpPorts;
  std::vector<std::string> FSpeedUpOutput;
  // The ports just sped up stay listed for the core a while: an adapter restarted by the change leaves the
  // port list and comes back, which with plugging on must not start a run as if a logger had been plugged.
  std::vector<std::string> FHeldPorts;
  uint64_t FHeldUntilMs = 0;
  // The outcome's details (of the speed-up or the setup), shown once no other modal window is open.
  std::wstring FSpeedUpReportTitle;
  std::vector<std::string> FSpeedUpDetails;
  bool FSpeedUpReportDue = false;
  // "Set up this PC...": its helper and output, in the speed-up's set of processes.
  int FSetupId = 0;
  std::vector<std::string> FSetupOutput;
  // The port list: asked for on broadcasts (one refill shortly after the last), while plugging is on also
  // every PollMs; read on the scanner's thread; each port's identity kept until the next list.
  std::unique_ptr<TPortScanner> FScanner;
  std::map<std::string, TPortIdentity> FIdentities;
  int FPortScans = 0;
  bool FRefillDue = false;
  uint64_t FRefillSinceMs = 0;  // the first broadcast of the storm
  uint64_t FNextPollMs = 0;
  std::vector<std::string> FOtherPorts;  // serial ports the list leaves out
  // One report window per row (by the row's key), showing the row's newest run.
  struct TReportWindow {
    std::string Key;
    const TStationRun* Run = nullptr;
    std::unique_ptr<TfrmRunReport> Form;
  };
  std::vector<TReportWindow> FReports;
  TFontHandle FFont, FBigFont, FMediumFont;
  HIMAGELIST FRowHeight = nullptr;
};
