#include "ui/uMain_win32.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>

#include "device/uSettings.h"
#include "run/uInternalMode.h"
#include "run/uPortList.h"
#include "run/uStartup.h"
#include "run/uWinTools1V4.h"
#include "ui/uConfirm_win32.h"
#include "ui/uInfo_win32.h"
#include "ui/uMessage_win32.h"
#include "ui/uProtocol_win32.h"

std::unique_ptr<TfrmMain> frmMain;

namespace {

// Layout in design pixels (96 per inch).
constexpr int kClientWidth = 355;
constexpr int kDesignClientHeight = 232;
constexpr int kPanelHeight = 161;
constexpr int kStatusHeight = 15;
constexpr int kButtonTop = 86;
constexpr int kButtonHeight = 32;
constexpr int kProgLeft = 40;
constexpr int kCloseLeft = 200;
constexpr int kCloseWidth = 111;
constexpr int kDropDownHeight = 200;

constexpr wchar_t kMenuCaption[] = L"Info v2024-04-18";

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  const int n = GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return text;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

bool TOpenDialog::Execute(HWND owner, std::wstring& fileName) const {
  std::wstring buffer(32768, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = static_cast<DWORD>(buffer.size());
  ofn.lpstrInitialDir = InitialDir.empty() ? nullptr : InitialDir.c_str();
  // No filter; the working directory is left where it was.
  ofn.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&ofn)) return false;
  buffer.resize(wcslen(buffer.c_str()));
  fileName = buffer;
  return true;
}

TfrmMain::TfrmMain(TMainOptions options) : FOptions(std::move(options)) {
  if (FOptions.Params.empty()) FOptions.Params = ProcessParams();
  Hooks.ChooseFile = [this](std::wstring& fileName) { return OpenDialog1.Execute(Handle(), fileName); };
  Hooks.ShowError = [this](const std::wstring& text) {
    MessageBoxW(Handle(), text.c_str(), Application().Title().c_str(), MB_OK | MB_ICONERROR);
  };
  // A worker that is still running needs the process's objects to the end of its run: the process ends
  // without running their destructors under it.
  Hooks.EndProcess = [] { TerminateProcess(GetCurrentProcess(), 0); };
  CreateHandle(L"Pellory", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, 0,
               Application().Handle());
  CenterOnScreen();  // where it is first shown
}

TfrmMain::~TfrmMain() {
  DestroyHandle();
}

void TfrmMain::OnCreate() {
  Application().SetMainForm(Handle());
  CreateMenus();
  CreateControls();
  FRun = std::make_unique<TRunControl>(*this, reinterpret_cast<intptr_t>(Handle()),
                                       FOptions.Clock != nullptr ? *FOptions.Clock : RealClock());
  FormCreate();
}

void TfrmMain::OnDestroy() {
  if (FOptions.EndsMessageLoop) PostQuitMessage(0);
}

void TfrmMain::CreateMenus() {
  MainMenu1 = CreateMenu();
  menInfo = CreatePopupMenu();
  AppendMenuW(menInfo, MF_STRING, idMenInfoFirmware, L"Firmware");
  AppendMenuW(menInfo, MF_STRING, idMenInfoFile, L"File version");
  AppendMenuW(menInfo, MF_SEPARATOR, 0, nullptr);  // N1
  AppendMenuW(menInfo, MF_STRING, idMenFileExit, L"Exit");
  AppendMenuW(MainMenu1, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(menInfo), L"Info");
  SetMenu(Handle(), MainMenu1);
}

void TfrmMain::CreateControls() {
  Panel1 = CreatePanel(Handle(), idPanel1);
  Bevel1 = CreateTopLineBevel(Panel1, idBevel1);
  Label1 = CreateControl(L"STATIC", L"Comport:", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, idLabel1, Panel1);
  // Creation order is the tab order.
  cbxPort =
      CreateControl(WC_COMBOBOXW, L"", WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
                    idCbxPort, Panel1);
  ProgressBar1 = CreateControl(PROGRESS_CLASSW, L"", WS_VISIBLE, idProgressBar1, Panel1);
  SendMessageW(ProgressBar1, PBM_SETRANGE32, 0, 100);
  btnProg = CreateControl(L"BUTTON", L"Update", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, idBtnProg, Panel1);
  btnCancel = CreateControl(L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, idBtnCancel, Panel1);
  btnClose = CreateControl(L"BUTTON", L"Close", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, idBtnClose, Panel1);
  btnFile = CreateControl(L"BUTTON", L"File", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, idBtnFile, Panel1);
  chkReadInfoOnly = CreateControl(L"BUTTON", L"Read info only", WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                                  idChkReadInfoOnly, Panel1);
  // Placed by the window at the height of the design: on its own the bar would take the height its font
  // asks for.
  StatusBar1 = CreateControl(STATUSCLASSNAMEW, L"", WS_VISIBLE | CCS_NORESIZE | CCS_NOPARENTALIGN,
                             idStatusBar1, nullptr);
  // One panel over the whole width (as a simple status bar, but readable back with SB_GETTEXT everywhere).
  const int whole = -1;
  SendMessageW(StatusBar1, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(&whole));

  // The status bar's hint: a tooltip over the whole bar that always carries the status text.
  StatusHint1 = CreateWindowExW(
      WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Handle(), nullptr, GetModuleHandleW(nullptr), nullptr);
  TTTOOLINFOW tool = StatusTool(const_cast<wchar_t*>(L""));
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  SendMessageW(StatusHint1, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(StatusHint1, TTM_SETMAXTIPWIDTH, 0, 800);

  ApplyFont();
  SetClientSize(S(kClientWidth), S(kDesignClientHeight));
}

void TfrmMain::FormCreate() {
  SetWindowTextW(Handle(), L"Pellory");
  ModifyMenuW(MainMenu1, 0, MF_BYPOSITION | MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(menInfo),
              kMenuCaption);
  DrawMenuBar(Handle());
  // The questions come from TfrmConfirm, whose title and buttons read "Confirm", "Yes" and "No" in every
  // language: nothing of the system's dialog texts needs replacing.
  OpenDialog1.InitialDir = AnsiToWide(FOptions.Params.empty() ? std::string() : FOptions.Params[0]);

  const TStartupSettings settings =
      DeriveStartupSettings(IsInternalMode(), StartOptionsFromParams(FOptions.Params));
  SendMessageW(chkReadInfoOnly, BM_SETCHECK, BST_UNCHECKED, 0);
  ShowWindow(chkReadInfoOnly, settings.ReadInfoOnlyShown ? SW_SHOW : SW_HIDE);
  ApplyStartupSettings(settings);

  if (!settings.FileControlsShown) {
    DeleteMenu(menInfo, idMenInfoFile, MF_BYCOMMAND);
    ShowWindow(btnFile, SW_HIDE);
    FProgWidth = kCloseWidth;
  } else {
    ShowWindow(btnFile, SW_SHOW);
    FFileWidth = kCloseWidth / 2;
    FProgWidth = kCloseWidth / 2;
    FFileLeft = kProgLeft + FProgWidth + 8;
  }
  Layout();

  FillPorts();
  SendMessageW(cbxPort, CB_SETCURSEL, 0, 0);
  SetStatus(ClearsMeasurements ? "F" : "");
  FRun->RunEnded();
}

void TfrmMain::Layout() {
  Place(Bevel1, 0, 0, kClientWidth, 8);
  // Like an auto-sized label: never narrower than its text in the font the system really has.
  Place(Label1, 13, 14, 42, 13);
  SIZE extent{};
  HDC dc = GetDC(Label1);
  HGDIOBJ previous = SelectObject(dc, FFont.get());
  GetTextExtentPoint32W(dc, L"Comport:", 8, &extent);
  SelectObject(dc, previous);
  ReleaseDC(Label1, dc);
  if (extent.cx > S(42)) SetWindowPos(Label1, nullptr, 0, 0, extent.cx, S(13), SWP_NOMOVE | SWP_NOZORDER);
  // A drop-down combo box's height includes its list.
  Place(cbxPort, 77, 11, 263, 21 + kDropDownHeight);
  Place(ProgressBar1, 13, 46, 327, 26);
  Place(btnProg, kProgLeft, kButtonTop, FProgWidth, kButtonHeight);
  Place(btnCancel, kCloseLeft, kButtonTop, kCloseWidth, kButtonHeight);
  Place(btnClose, kCloseLeft, kButtonTop, kCloseWidth, kButtonHeight);
  Place(btnFile, FFileLeft, kButtonTop, FFileWidth, kButtonHeight);
  Place(chkReadInfoOnly, 26, 134, 116, 14);
  // The window shows exactly the panel and the status bar.
  SetClientSize(S(kClientWidth), S(kPanelHeight + kStatusHeight));
  OnSize();
}

void TfrmMain::OnSize() {
  RECT client{};
  GetClientRect(Handle(), &client);
  // Scaled as a whole, so that the two add up to the scaled client height.
  const int panelHeight = S(kPanelHeight);
  MoveWindow(Panel1, 0, 0, client.right, panelHeight, TRUE);
  MoveWindow(StatusBar1, 0, panelHeight, client.right, S(kPanelHeight + kStatusHeight) - panelHeight, TRUE);
}

void TfrmMain::ApplyFont() {
  FFont = MakeFont(L"Microsoft Sans Serif", 11, Dpi());
  for (HWND control : {Label1, cbxPort, btnProg, btnCancel, btnClose, btnFile, chkReadInfoOnly, StatusBar1}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
  }
}

void TfrmMain::OnDpiChanged() {
  ApplyFont();
  Layout();
}

void TfrmMain::FillPorts() {
  std::vector<std::string> ports;
  FillPortList(ports);
  ports.insert(ports.end(), FOptions.ExtraPorts.begin(), FOptions.ExtraPorts.end());
  // Refilling keeps the text the operator typed or picked.
  const std::wstring text = WindowText(cbxPort);
  SendMessageW(cbxPort, CB_RESETCONTENT, 0, 0);
  for (const std::string& port : ports) {
    const std::wstring name = ToWide(port);
    SendMessageW(cbxPort, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  SetWindowTextW(cbxPort, text.c_str());
}

bool TfrmMain::IsInternalMode() {
  return ReadInternalMode();
}

void TfrmMain::ApplicationEvents1Idle() {
  if (FIdleDone) return;
  FIdleDone = true;
  // In normal mode the report is written but never seen.
  if (ServiceLevel > 0 && frmProtocol) ShowWindow(frmProtocol->Handle(), SW_SHOWNA);
}

TTTOOLINFOW TfrmMain::StatusTool(wchar_t* text) const {
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = Handle();
  tool.uId = reinterpret_cast<UINT_PTR>(StatusBar1);
  tool.lpszText = text;
  return tool;
}

std::wstring TfrmMain::StatusHint() const {
  wchar_t buffer[1024] = {};
  TTTOOLINFOW tool = StatusTool(buffer);
  SendMessageW(StatusHint1, TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&tool));
  return buffer;
}

// ---- messages

LRESULT TfrmMain::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_USER:
      return WMWorkerEvent(wParam, lParam);
    case WM_MOVE:
      return WMMove(wParam, lParam);
    case WM_DEVICECHANGE:
      return WMDeviceChange(wParam, lParam);
    case WM_SYSCOMMAND:
      return WMSysCommand(wParam, lParam);
    default:
      return TForm::WndProc(msg, wParam, lParam);
  }
}

bool TfrmMain::OnCommand(int id, int code, HWND control) {
  if (control != nullptr && code != BN_CLICKED) return false;
  switch (id) {
    case idBtnProg:
      btnProgClick();
      return true;
    case idBtnFile:
      btnFileClick();
      return true;
    case idBtnCancel:
      btnCancelClick();
      return true;
    case idBtnClose:
      btnCloseClick();
      return true;
    case idMenInfoFirmware:
      menInfoFirmwareClick();
      return true;
    case idMenInfoFile:
      menInfoFileClick();
      return true;
    case idMenFileExit:
      menFileExitClick();
      return true;
    default:
      return false;
  }
}

LRESULT TfrmMain::WMWorkerEvent(WPARAM wParam, LPARAM lParam) {
  FRun->WorkerEvent(static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam));
  return 0;
}

LRESULT TfrmMain::WMMove(WPARAM wParam, LPARAM lParam) {
  const LRESULT result = Default(WM_MOVE, wParam, lParam);
  if (!frmProtocol) return result;
  const RECT main = Bounds();
  const RECT report = frmProtocol->Bounds();
  if (report.left == main.left && report.top == main.bottom) return result;
  // Top first, then left; the size stays.
  const int width = report.right - report.left;
  const int height = report.bottom - report.top;
  frmProtocol->SetBounds(report.left, main.bottom, width, height);
  frmProtocol->SetBounds(main.left, main.bottom, width, height);
  return result;
}

LRESULT TfrmMain::WMDeviceChange(WPARAM wParam, LPARAM lParam) {
  // The broadcast header is only there for arrival and removal.
  uint32_t deviceType = 0;
  if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0) {
    deviceType = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype;
  }
  if (!IsPortChange(wParam, deviceType)) return 0;
  FillPorts();
  // Show the new list at once, but only to an operator who is looking and may choose.
  if (ApplicationActive() && IsWindowEnabled(cbxPort)) {
    if (SendMessageW(cbxPort, CB_GETDROPPEDSTATE, 0, 0)) SendMessageW(cbxPort, CB_SHOWDROPDOWN, FALSE, 0);
    InvalidateRect(cbxPort, nullptr, TRUE);
    UpdateWindow(cbxPort);
    SendMessageW(cbxPort, CB_SHOWDROPDOWN, TRUE, 0);
  }
  return 0;
}

LRESULT TfrmMain::WMSysCommand(WPARAM wParam, LPARAM lParam) {
  // Minimising minimises the application window, which takes every form of the program with it.
  if ((wParam & 0xFFF0) == SC_MINIMIZE) {
    Application().Minimize();
    return 0;
  }
  return Default(WM_SYSCOMMAND, wParam, lParam);
}

void TfrmMain::OnClose() {
  if (!FormCloseQuery()) return;
  if (FRun->Busy()) {
    Hooks.EndProcess();
    return;
  }
  DestroyWindow(Handle());
}

// ---- handlers

void TfrmMain::btnProgClick() {
  FRun->UpdateClick();
}

void TfrmMain::btnFileClick() {
  std::wstring fileName;
  if (!Hooks.ChooseFile(fileName)) return;
  FRun->FileClick(ToUtf8(fileName));
}

void TfrmMain::btnCancelClick() {
  FRun->CancelClick();
}

void TfrmMain::btnCloseClick() {
  SendMessageW(Handle(), WM_CLOSE, 0, 0);
}

void TfrmMain::menFileExitClick() {
  SendMessageW(Handle(), WM_CLOSE, 0, 0);
}

bool TfrmMain::FormCloseQuery() {
  return FRun->CloseQuery();
}

void TfrmMain::menInfoFirmwareClick() {
  if (!frmInfo) return;
  const RECT r = Bounds();
  frmInfo->Execute(r.left, r.top, r.bottom - r.top);
}

void TfrmMain::menInfoFileClick() {
  std::wstring fileName;
  if (!Hooks.ChooseFile(fileName) || !FileExists(fileName)) return;
  if (FRun->FileVersion(ToUtf8(fileName))) menInfoFirmwareClick();
}

// ---- IRunView

void TfrmMain::ClearReport() {
  if (frmProtocol) frmProtocol->Clear();
}

void TfrmMain::AddReport(const std::string& text) {
  if (frmProtocol) frmProtocol->Add(text);
}

void TfrmMain::SetStatus(const std::string& text) {
  FStatusText = ToWide(text);
  // Without the sunken frame around the text: at 15 pixels the frame would cut into the letters.
  SendMessageW(StatusBar1, SB_SETTEXTW, SBT_NOBORDERS, reinterpret_cast<LPARAM>(FStatusText.c_str()));
  TTTOOLINFOW tool = StatusTool(FStatusText.data());
  SendMessageW(StatusHint1, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void TfrmMain::SetProgress(int position) {
  SendMessageW(ProgressBar1, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int TfrmMain::ProgressPosition() {
  return static_cast<int>(SendMessageW(ProgressBar1, PBM_GETPOS, 0, 0));
}

void TfrmMain::SetTitle(const std::string& text) {
  Application().SetTitle(ToWide(text));
}

void TfrmMain::ShowInfoBox(const std::string& text) {
  const std::wstring message = ToWide(text);
  if (frmMessage) {
    const RECT r = Bounds();
    frmMessage->showMsg(message, r.left, r.top, r.right - r.left, r.bottom - r.top);
  } else {
    MessageBoxW(Handle(), message.c_str(), Application().Title().c_str(), MB_OK);
  }
}

void TfrmMain::ShowError(const std::string& text) {
  // It may name a file: in UTF-8, as every file is opened by its wide name.
  Hooks.ShowError(ToWide(text));
}

void TfrmMain::SetBusy(bool busy) {
  // Disabling the focused control takes the focus away; it goes to the button that replaces it.
  HWND focus = GetFocus();
  const bool hadFocus = focus != nullptr && IsChild(Handle(), focus);
  EnableWindow(btnProg, !busy);
  EnableWindow(btnFile, !busy);
  ShowWindow(btnClose, busy ? SW_HIDE : SW_SHOW);
  ShowWindow(btnCancel, busy ? SW_SHOW : SW_HIDE);
  EnableWindow(cbxPort, !busy);
  // File version writes what a running worker reads: not during a run.
  EnableMenuItem(MainMenu1, idMenInfoFile, MF_BYCOMMAND | (busy ? MF_GRAYED : MF_ENABLED));
  SetAppBusy(busy);
  if (hadFocus && (GetFocus() == nullptr || !IsWindowEnabled(focus) || !IsWindowVisible(focus))) {
    SetFocus(busy ? btnCancel : btnProg);
  }
}

void TfrmMain::Beep() {
  MessageBeep(MB_OK);
}

bool TfrmMain::Confirm(const std::string& question) {
  return TfrmConfirm::Ask(ToWide(question));
}

std::string TfrmMain::PortText() {
  return ToUtf8(WindowText(cbxPort));
}

bool TfrmMain::ReadInfoOnlyChecked() {
  return SendMessageW(chkReadInfoOnly, BM_GETCHECK, 0, 0) == BST_CHECKED;
}
