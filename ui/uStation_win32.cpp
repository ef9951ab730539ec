// The station window's life and messages: made, stepped from its timer, told of the runs by the core,
// closed with care. Its layout, rows, buttons' actions and the speed-up are in files of their own.
#include "ui/uStation_win32.h"

#include <dbt.h>

#include <algorithm>

#include "device/uWinText_win32.h"
#include "run/uInternalMode.h"
#include "run/uPortList.h"
#include "run/uStartup.h"
#include "run/uWinTools1V4.h"
#include "station/uText.h"
#include "ui/uConfirm_win32.h"
#include "ui/uMain_win32.h"
#include "ui/uRunReport_win32.h"
#include "ui/uStationShared_win32.h"

using namespace StationWindow;

namespace {

// The core is stepped four times a second; the rows, counters and buttons are redrawn once a second, and
// at once when a run starts or ends. Under Wine every repaint of the list costs milliseconds.
constexpr UINT_PTR kTimer = 1;
constexpr UINT kTimerMs = 250;
constexpr uint64_t kRedrawMs = 1000;
// A hub of loggers plugged in brings a broadcast per device and interface, seconds apart: the port list is
// read once, this long after the last of them.
constexpr UINT_PTR kRefillTimer = 2;
constexpr UINT kRefillDelayMs = 400;
// A storm that does not end (a device that comes and goes) puts the refill off no longer than this.
constexpr uint64_t kRefillLongestMs = 3000;
// The scanner's thread has read the port list.
constexpr UINT kPortsScanned = WM_APP + 0x121;
// The end of the session leaves a window about 5 s after WM_ENDSESSION: the runs are killed after 2.5 s of
// them, and the window stops waiting for them after 4 s, so that every row and log is out in time.
constexpr int kEndSessionKillMs = 2500;
constexpr int kEndSessionGiveUpMs = 4000;

// The serial ports of the system's map that are not `listed`: those the empty list says it leaves out.
std::vector<std::string> OtherSerialPorts(const std::vector<std::string>& listed) {
  std::vector<std::string> others;
  for (const TSerialMapEntry& entry : ReadSerialPortMap()) {
    if (std::find(listed.begin(), listed.end(), entry.Data) == listed.end()) others.push_back(entry.Data);
  }
  return others;
}

}  // namespace

TfrmStation::TfrmStation(TStationWindowOptions options) : FOptions(std::move(options)) {
  if (FOptions.Params.empty()) FOptions.Params = ProcessParams();
  FProgram = !FOptions.Program.empty()
                 ? FOptions.Program
                 : ProgramBeside(SelfExecutablePath(), ToUtf8(std::wstring(kProgramName)));
  Hooks.ChooseFolder = [this](std::wstring& folder) { return BrowseForFolder(Handle(), folder); };
  Hooks.ChooseFile = [this](std::wstring& fileName) {
    TOpenDialog dialog;
    dialog.InitialDir = AnsiToWide(FOptions.Params.empty() ? std::string() : FOptions.Params[0]);
    return dialog.Execute(Handle(), fileName);
  };
  Hooks.Beep = [](UINT type) { MessageBeep(type); };
  FProcesses = CreatePlatformProcesses();
  FHost = PlatformStationHost(FProcesses.get());
  // The slow identity work is the scanner's; the core, on this thread, takes what the last list said.
  FHost.Identify = [this](const std::string& port) {
    const auto it = FIdentities.find(port);
    if (it != FIdentities.end()) return it->second;
    TPortIdentity identity;
    identity.Key = FHost.PortKey(port);
    return identity;
  };
  CreateHandle(kCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, Application().Handle());
  CenterOnScreen();
}

TfrmStation::~TfrmStation() {
  DestroyHandle();
  // The report windows show runs of the cores: they go first.
  FReports.clear();
  // Runs still going are killed and reaped; their rows are no longer shown.
  FStations.clear();
  FProcesses.reset();
  FAdapterProcesses.reset();
  // Shared with the list view, which is gone now: destroyed here once.
  if (FRowHeight != nullptr) ImageList_Destroy(FRowHeight);
}

void TfrmStation::OnCreate() {
  Application().SetMainForm(Handle());
  // The taskbar button's text.
  Application().SetTitle(kCaption);
  const TStartupSettings settings =
      DeriveStartupSettings(ReadInternalMode(), StartOptionsFromParams(FOptions.Params));
  ApplyStartupSettings(settings);
  FImageFiles = settings.FileControlsShown;
  CreateControls();
  CreateColumns();
  ApplyFonts();

  std::wstring logDir = FOptions.LogDir;
  if (logDir.empty()) logDir = AnsiToWide(StationStartFromParams(FOptions.Params).LogDir);
  if (logDir.empty()) logDir = DefaultLogFolder();
  SetWindowTextW(edtLogDir, logDir.c_str());
  SetWindowTextW(edtImage, L"the embedded images");

  SizeToScreen();
  const HWND window = Handle();
  FScanner = std::make_unique<TPortScanner>(
      [identifyAll = FHost.IdentifyAll, extra = FOptions.ExtraPorts] {
        std::vector<std::string> ports;
        FillPortList(ports);
        for (const std::string& port : extra) {
          if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
        }
        const std::vector<TPortIdentity> identities = identifyAll(ports);
        std::vector<TListedPort> listed;
        for (size_t i = 0; i < ports.size() && i < identities.size(); ++i)
          listed.push_back({ports[i], identities[i]});
        return listed;
      },
      [window] { PostMessageW(window, kPortsScanned, 0, 0); });
  FillPorts();
  RefreshCounters();
  UpdateButtons();
  SetActiveControl(btnStart);
  SetTimer(Handle(), kTimer, kTimerMs, nullptr);
}

void TfrmStation::OnDestroy() {
  KillTimer(Handle(), kTimer);
  KillTimer(Handle(), kRefillTimer);
  // Waits for a scan under way; its message finds no window.
  FScanner.reset();
  FReports.clear();
  if (FOptions.EndsMessageLoop) PostQuitMessage(0);
}

void TfrmStation::FillPorts() {
  if (FScanner) FScanner->Request();
}

bool TfrmStation::PortScanPending() const {
  return FRefillDue || (FScanner && FScanner->Pending());
}

void TfrmStation::PortsScanned() {
  std::vector<TListedPort> listed;
  if (!FScanner || !FScanner->Take(listed)) return;
  ++FPortScans;
  std::vector<std::string> ports;
  FIdentities.clear();
  for (TListedPort& port : listed) {
    ports.push_back(port.Port);
    FIdentities[port.Port] = port.Identity;
    for (const auto& station : FStations)
      port.JustCompleted = port.JustCompleted || station->JustCompleted(port.Port, port.Identity);
  }
  FBoard.Listed(listed);
  FOtherPorts = FBoard.Rows().empty() ? OtherSerialPorts(ports) : std::vector<std::string>();
  // With plugging on, the core starts a run on each port that appeared; a port whose adapter is being
  // restarted by "Speed up adapters" has not appeared.
  FListed = ports;
  const std::vector<std::string>& held = FSpeedUpId != 0 ? FSpeedUpPorts : FHeldPorts;
  if (FSpeedUpId != 0 || FHost.NowMs() < FHeldUntilMs) {
    for (const std::string& port : held) {
      if (std::find(FListed.begin(), FListed.end(), port) == FListed.end()) FListed.push_back(port);
    }
  }
  if (!FStations.empty()) FStations.back()->PortsListed(FListed);
  RefreshList();
  RefreshCounters();
  UpdateButtons();
}

bool TfrmStation::Busy() const {
  return std::any_of(FStations.begin(), FStations.end(), [](const auto& station) { return station->Busy(); });
}

std::vector<const TStationRun*> TfrmStation::Runs() const {
  std::vector<const TStationRun*> runs;
  for (const auto& station : FStations) {
    for (const TStationRun& run : station->Runs()) runs.push_back(&run);
  }
  return runs;
}

void TfrmStation::Tick() {
  if (!FStations.empty()) FStations.back()->Step(0);
  // Earlier cores are no longer stepped, but rows of theirs may still wait.
  for (size_t i = 0; i + 1 < FStations.size(); ++i) FStations[i]->RetryRecord(false);
  StepSpeedUp();
  StepSetup();
  if (Handle() == nullptr) return;
  // With plugging on, a broadcast that never came leaves no logger waiting.
  const bool watching = SendMessageW(chkPlug, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (watching && !FClosing && FHost.NowMs() >= FNextPollMs) {
    FNextPollMs = FHost.NowMs() + static_cast<uint64_t>(std::max(1, FOptions.PollMs));
    if (!PortScanPending()) FillPorts();
  }
  UpdateShutdownBlock();
  if (FRecordChanged) RefreshRecord();
  // The speed-up's outcome in a window of its own, once no other modal window is open.
  if (FSpeedUpReportDue && !FClosing && IsWindowEnabled(Handle())) {
    FSpeedUpReportDue = false;
    std::string text;
    for (const std::string& line : FSpeedUpDetails) text += line + "\r\n";
    TfrmRunReport report(FSpeedUpReportTitle, ToWide(text), true);
    report.ShowModal();
  }
  const uint64_t now = FHost.NowMs();
  if (!FStateChanged && now - FLastRedrawMs < kRedrawMs && !FClosing) return;
  FStateChanged = false;
  FLastRedrawMs = now;
  RefreshList();
  RefreshCounters();
  UpdateButtons();
  RefreshReports();
  ClearMessageIfResolved();
  // Every run and the helpers have ended after the close: the window goes, the rows that wait tried once
  // more (those still waiting stay in their journal for the next session).
  if (FClosing && !Busy() && FSpeedUpId == 0 && FSetupId == 0) {
    for (const auto& station : FStations) station->RetryRecord(true);
    DestroyWindow(Handle());
  }
}

void TfrmStation::OnClose() {
  if (FClosing) {
    // Asked once more while the runs end: they end at once.
    if (!FKilled) {
      FKilled = true;
      for (const auto& station : FStations) station->Kill();
      if (FSpeedUpId != 0) FAdapterProcesses->Kill(FSpeedUpId);
      if (FSetupId != 0) FAdapterProcesses->Kill(FSetupId);
    }
    return;
  }
  const bool busy = Busy();
  if (!busy && FSpeedUpId == 0 && FSetupId == 0) {
    for (const auto& station : FStations) station->RetryRecord(true);
    DestroyWindow(Handle());
    return;
  }
  // Setting the timers takes seconds once answered; a device half restarted is worse than a short wait.
  if (busy &&
      !TfrmConfirm::Ask(ToWide(std::string(kAskClose) + "\r\n\r\n" + StopsLine(CountRuns(Runs()).Running)),
                        TfrmConfirm::TDefault::No))
    return;
  FClosing = true;
  SendMessageW(chkPlug, BM_SETCHECK, BST_UNCHECKED, 0);
  for (const auto& station : FStations) {
    station->SetWatching(false);
    station->Cancel();
  }
  ShowMessage(busy ? L"Closing: every update is cancelled; the window closes when they have ended."
                   : L"Closing: the window closes when the adapters' latency timers are set.",
              false);
  UpdateButtons();
  SetAppBusy(true);
}

bool TfrmStation::OnCommand(int id, int code, HWND) {
  switch (id) {
    case idStBtnStart:
      btnStartClick();
      return true;
    case idStBtnCancel:
      btnCancelClick();
      return true;
    case idStBtnRepeat:
      btnRepeatClick();
      return true;
    case idStBtnSpeedUp:
      btnSpeedUpClick();
      return true;
    case idStBtnSetup:
      btnSetupClick();
      return true;
    case idStChkPlug:
      if (code == BN_CLICKED) chkPlugClick();
      return true;
    case idStBtnLogDir:
      btnLogDirClick();
      return true;
    case idStBtnFile:
      btnFileClick();
      return true;
    case idStLogDir:
      if (code == EN_CHANGE) ClearMessageIfResolved();
      return true;
    default:
      return false;
  }
}

// ---- messages

LRESULT TfrmStation::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_TIMER:
      if (wParam == kTimer) Tick();
      if (wParam == kRefillTimer) {
        KillTimer(Handle(), kRefillTimer);
        FRefillDue = false;
        FillPorts();
      }
      return 0;
    case kPortsScanned:
      PortsScanned();
      return 0;
    case WM_NOTIFY:
      return WMNotify(wParam, lParam);
    case WM_DEVICECHANGE:
      return WMDeviceChange(wParam, lParam);
    case WM_CTLCOLORSTATIC:
      return WMCtlColorStatic(wParam, lParam);
    case WM_GETMINMAXINFO:
      return WMGetMinMaxInfo(lParam);
    case WM_SYSCOMMAND:
      return WMSysCommand(wParam, lParam);
    case WM_QUERYENDSESSION:
      return WMQueryEndSession();
    case WM_ENDSESSION:
      return WMEndSession(wParam);
    default:
      return TForm::WndProc(msg, wParam, lParam);
  }
}

LRESULT TfrmStation::WMDeviceChange(WPARAM wParam, LPARAM lParam) {
  // The broadcast header is only there for arrival and removal.
  uint32_t deviceType = 0;
  if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0) {
    deviceType = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype;
  }
  // Every device node change counts too: a broadcast for the port itself may never come. Each one puts
  // the refill off again, so that a storm of them is read once.
  if (IsPortChange(wParam, deviceType) || wParam == DBT_DEVNODES_CHANGED) {
    const uint64_t now = FHost.NowMs();
    if (!FRefillDue) FRefillSinceMs = now;
    if (now - FRefillSinceMs < kRefillLongestMs) SetTimer(Handle(), kRefillTimer, kRefillDelayMs, nullptr);
    FRefillDue = true;
  }
  return 0;
}

LRESULT TfrmStation::WMSysCommand(WPARAM wParam, LPARAM lParam) {
  // Minimising minimises the application window, which takes every form of the program with it.
  if ((wParam & 0xFFF0) == SC_MINIMIZE) {
    Application().Minimize();
    return 0;
  }
  return Default(WM_SYSCOMMAND, wParam, lParam);
}

LRESULT TfrmStation::WMQueryEndSession() {
  // A logger cut off while its flash is written is left half-written: the session waits while runs go, and
  // Windows shows why (the block reason).
  UpdateShutdownBlock();
  return Busy() ? FALSE : TRUE;
}

LRESULT TfrmStation::WMEndSession(WPARAM ending) {
  if (!ending) return 0;
  // The session ends anyway, and the process with it soon after this returns: every run ends now, its row
  // and its log's last line written first.
  FClosing = true;
  SendMessageW(chkPlug, BM_SETCHECK, BST_UNCHECKED, 0);
  if (FSpeedUpId != 0) FAdapterProcesses->Kill(FSpeedUpId);
  for (const auto& station : FStations) station->EndWithin(kEndSessionKillMs, kEndSessionGiveUpMs);
  UpdateShutdownBlock();
  return 0;
}

void TfrmStation::UpdateShutdownBlock() {
  int running = 0;
  for (const auto& station : FStations) running += station->Counts().Running;
  const std::wstring reason =
      running == 0 ? std::wstring()
                   : L"Pellory station: " + std::to_wstring(running) +
                         (running == 1 ? L" logger is being updated" : L" loggers are being updated");
  if (reason == FBlockReason) return;
  FBlockReason = reason;
  if (reason.empty()) {
    ShutdownBlockReasonDestroy(Handle());
  } else {
    ShutdownBlockReasonCreate(Handle(), reason.c_str());
  }
}

void TfrmStation::RefreshRecord() {
  FRecordChanged = false;
  std::string text;
  bool waiting = false;
  // The newest core first: its summary is the one the next runs write.
  for (auto it = FStations.rbegin(); it != FStations.rend() && !waiting; ++it) {
    const TRecordState& state = (*it)->Record();
    if (state.Waiting > 0) {
      text = state.WaitingText();
      waiting = true;
    } else if (it == FStations.rbegin()) {
      text = state.DivertedText();
    }
  }
  const std::wstring line = ToWide(TerminalSafe(text));
  if (line == WindowText(lblRecord) && waiting == FRecordIsError) return;
  FRecordIsError = waiting;
  SetWindowTextW(lblRecord, line.c_str());
  const bool shown = !line.empty();
  if (shown != (IsWindowVisible(lblRecord) != FALSE)) {
    ShowWindow(lblRecord, shown ? SW_SHOW : SW_HIDE);
    Layout();
  }
  InvalidateRect(lblRecord, nullptr, TRUE);
}

// ---- IStationView

void TfrmStation::RunStarted(const TStationRun& run) {
  FStateChanged = true;
  FBoard.RunStarted(run);
  if (Handle() != nullptr) RefreshList();
}

void TfrmStation::RunChanged(const TStationRun&) {
  // Drawn after the step: a row is redrawn once per tick at most, and only when its texts changed.
}

void TfrmStation::RunEvent(const TStationRun&, const std::string&) {}

void TfrmStation::RunReport(const TStationRun&, const std::string&) {}

void TfrmStation::RunOutput(const TStationRun&, const std::string&) {}

void TfrmStation::RunEnded(const TStationRun& run) {
  FStateChanged = true;
  if (Handle() == nullptr || FClosing) return;
  Hooks.Beep(run.Status == TRunStatus::Completed ? MB_OK : MB_ICONHAND);
}

void TfrmStation::PortSkipped(const std::string& port, const std::string& why) {
  if (Handle() != nullptr) ShowMessage(ToWide(TerminalSafe(port) + ": " + TerminalSafe(why)), false);
}

void TfrmStation::Problem(const std::string& text) {
  if (Handle() != nullptr) ShowMessage(ToWide(TerminalSafe(text)), true);
}

void TfrmStation::RecordChanged(const TRecordState&) {
  // Shown at the next tick: the core may tell it while it is being made.
  FRecordChanged = true;
}
