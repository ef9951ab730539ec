// The main window: port box, Update (and File), Cancel/Close, progress bar, status bar and the Info
// menu. A thin view over TRunControl, which decides what every click and worker event does.
#pragma once

#include <windows.h>
// windows.h first: commctrl.h needs its types.
#include <commctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/uClock.h"
#include "run/uRunControl.h"
#include "ui/uForms_win32.h"

// How the program was started.
struct TMainOptions {
  // Command-line parameters in the ANSI code page, index 0 the program path.
  std::vector<std::string> Params;
  // Ports offered after those of the serial-port map (the built-in simulated logger "sim").
  std::vector<std::string> ExtraPorts;
  // The clock of the repeat's wait; the real one when null.
  IClock* Clock = nullptr;
  // Closing the main window ends the message loop (a test keeps its own loop running).
  bool EndsMessageLoop = true;
};

// The platform dialogs and the process end, replaceable by an automated driver.
struct TMainHooks {
  // OpenDialog1: true with the chosen file, false when cancelled.
  std::function<bool(std::wstring& fileName)> ChooseFile;
  // The plain error report.
  std::function<void(const std::wstring& text)> ShowError;
  // Ends the process at once, while a worker may still be running.
  std::function<void()> EndProcess;
};

// Control and menu identifiers.
enum : int {
  idPanel1 = 100,
  idBevel1,
  idLabel1,
  idCbxPort,
  idProgressBar1,
  idBtnProg,
  idBtnCancel,
  idBtnClose,
  idBtnFile,
  idChkReadInfoOnly,
  idStatusBar1,
  idMenInfoFirmware = 200,
  idMenInfoFile,
  idMenFileExit,
};

// The open-file dialog: no filter, no options.
struct TOpenDialog {
  std::wstring InitialDir;
  bool Execute(HWND owner, std::wstring& fileName) const;
};

class TfrmMain : public TForm, public IRunView {
 public:
  explicit TfrmMain(TMainOptions options = {});
  ~TfrmMain() override;

  bool IsInternalMode();
  // First idle moment of the message loop: shows the report window in internal mode (once).
  void ApplicationEvents1Idle();
  TRunControl& RunControl() { return *FRun; }
  std::wstring StatusText() const { return FStatusText; }
  std::wstring StatusHint() const;

  TMainHooks Hooks;

  HWND Panel1 = nullptr;
  HWND Bevel1 = nullptr;
  HWND Label1 = nullptr;
  HWND cbxPort = nullptr;
  HWND ProgressBar1 = nullptr;
  HWND btnProg = nullptr;
  HWND btnCancel = nullptr;
  HWND btnClose = nullptr;
  HWND btnFile = nullptr;
  HWND chkReadInfoOnly = nullptr;
  HWND StatusBar1 = nullptr;
  HWND StatusHint1 = nullptr;  // the status bar's tooltip
  HMENU MainMenu1 = nullptr;
  HMENU menInfo = nullptr;
  TOpenDialog OpenDialog1;

  // IRunView
  void ClearReport() override;
  void AddReport(const std::string& text) override;
  void SetStatus(const std::string& text) override;
  void SetProgress(int position) override;
  int ProgressPosition() override;
  void SetTitle(const std::string& text) override;
  void ShowInfoBox(const std::string& text) override;
  void ShowError(const std::string& text) override;
  void SetBusy(bool busy) override;
  void Beep() override;
  bool Confirm(const std::string& question) override;
  std::string PortText() override;
  bool ReadInfoOnlyChecked() override;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
  void OnCreate() override;
  void OnDestroy() override;
  bool OnCommand(int id, int code, HWND control) override;
  void OnSize() override;
  void OnClose() override;
  void OnDpiChanged() override;

 private:
  void CreateControls();
  void CreateMenus();
  void FormCreate();
  void Layout();
  void FillPorts();
  void ApplyFont();
  // The status bar's tool of its tooltip, with `text` as its text or buffer.
  TTTOOLINFOW StatusTool(wchar_t* text) const;

  void btnProgClick();
  void btnFileClick();
  void btnCancelClick();
  void btnCloseClick();
  void menFileExitClick();
  bool FormCloseQuery();
  void menInfoFirmwareClick();
  void menInfoFileClick();
  LRESULT WMWorkerEvent(WPARAM wParam, LPARAM lParam);
  LRESULT WMMove(WPARAM wParam, LPARAM lParam);
  LRESULT WMDeviceChange(WPARAM wParam, LPARAM lParam);
  LRESULT WMSysCommand(WPARAM wParam, LPARAM lParam);

  TMainOptions FOptions;
  std::unique_ptr<TRunControl> FRun;
  TFontHandle FFont;
  std::wstring FStatusText;
  bool FIdleDone = false;
  // Button geometry in design pixels, fixed at start by the service level.
  int FProgWidth = 113;
  int FFileLeft = 101;
  int FFileWidth = 52;
};

extern std::unique_ptr<TfrmMain> frmMain;
