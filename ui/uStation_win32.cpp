#include "ui/uStation_win32.h"

#include <dbt.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "device/uSettings.h"
#include "device/uWinText_win32.h"
#include "firmware/uBl3File.h"
#include "sim/uSimLogger.h"
#include "station/uLatency.h"
#include "station/uText.h"
#include "ui/uConfirm_win32.h"
#include "ui/uInternalMode.h"
#include "ui/uMain_win32.h"
#include "ui/uPortList.h"
#include "ui/uRunControl.h"
#include "ui/uStartup.h"
#include "ui/uWinTools1V4.h"

namespace {

// Layout in design pixels (96 per inch), scaled to the window's resolution.
constexpr int kClientWidth = 880;
constexpr int kClientHeight = 520;
constexpr int kMinClientWidth = 640;
constexpr int kMinClientHeight = 380;
constexpr int kMargin = 12;
constexpr int kCounterWidth = 116;
constexpr int kCounterStep = 124;
constexpr int kButtonTop = 84;
constexpr int kButtonHeight = 28;
constexpr int kListTop = 122;
constexpr int kRowHeight = 22;
constexpr int kSpeedUpLeft = 332;
constexpr int kSpeedUpWidth = 140;
constexpr int kPlugLeft = 482;
// Socket and USB serial follow their texts between the header's width and these.
constexpr int kColumnWidths[kStationColumns] = {130, 60, 110, 84, 100, 90, 104, 0};
constexpr int kMinResultWidth = 160;
// The core is stepped four times a second; the rows, counters and buttons are redrawn once a second, and
// at once when a run starts or ends. Under Wine every repaint of the list costs milliseconds.
constexpr UINT_PTR kTimer = 1;
constexpr UINT kTimerMs = 250;
constexpr uint64_t kRedrawMs = 1000;
// How long a port just sped up stays listed for the core after the helper ended (its adapter's restart
// makes it leave the port list and come back).
constexpr uint64_t kHeldMs = 5000;
// The latency helper's output kept at most: its JSON for 256 ports is far less.
constexpr size_t kMaxHelperOutput = 1u << 20;

constexpr wchar_t kCaption[] = L"Pellory station";
constexpr wchar_t kProgramName[] = L"pellory-cli.exe";
constexpr const char* kFolderName = "Pellory station";
constexpr const char* kAskCancel = "The updates are not finished!\r\nDo you really cancel them ?";

struct TStateLook {
  COLORREF Background;  // the result cell
  COLORREF Bar;         // the filled part of the row's bar
  COLORREF Ink;         // the state's symbol and word
};

TStateLook LookOf(TRunStatus state) {
  switch (state) {
    case TRunStatus::Running:
      return {RGB(222, 235, 255), RGB(125, 172, 235), RGB(25, 85, 175)};
    case TRunStatus::Completed:
      return {RGB(212, 242, 212), RGB(115, 200, 115), RGB(20, 115, 40)};
    case TRunStatus::Failed:
      return {RGB(255, 212, 212), RGB(235, 125, 125), RGB(175, 20, 30)};
    case TRunStatus::Cancelled:
      return {RGB(255, 236, 196), RGB(240, 192, 95), RGB(140, 95, 0)};
    case TRunStatus::Unplugged:
      return {RGB(232, 224, 246), RGB(172, 148, 218), RGB(95, 60, 160)};
    case TRunStatus::Waiting:
    default:
      return {RGB(244, 244, 244), RGB(200, 200, 200), RGB(100, 100, 100)};
  }
}

struct TBrush {
  explicit TBrush(COLORREF color) : Handle(CreateSolidBrush(color)) {}
  ~TBrush() { DeleteObject(Handle); }
  TBrush(const TBrush&) = delete;
  TBrush& operator=(const TBrush&) = delete;
  HBRUSH Handle;
};

struct TPen {
  TPen(COLORREF color, int width) : Handle(CreatePen(PS_SOLID, width, color)) {}
  ~TPen() { DeleteObject(Handle); }
  TPen(const TPen&) = delete;
  TPen& operator=(const TPen&) = delete;
  HPEN Handle;
};

TFontHandle MakeWeightedFont(const wchar_t* face, int height, int weight, int dpi) {
  return TFontHandle(CreateFontW(-MulDiv(height, dpi, 96), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                                 DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH | FF_DONTCARE, face));
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  const int n = GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return text;
}

void SetTextIfChanged(HWND hwnd, const std::wstring& text) {
  if (WindowText(hwnd) != text) SetWindowTextW(hwnd, text.c_str());
}

std::wstring Trimmed(std::wstring text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  const size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

std::wstring DefaultLogFolder() {
  std::wstring documents;
  PWSTR path = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &path)) &&
      path != nullptr) {
    documents = path;
  }
  CoTaskMemFree(path);
  if (documents.empty()) {
    wchar_t profile[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH) > 0) documents = profile;
  }
  if (!documents.empty() && documents.back() != L'\\') documents += L'\\';
  return documents + ToWide(kFolderName);
}

// A file name a run can open: as it is when it is plain ASCII, else its short form (a child's 8-bit
// command line takes the ANSI code page only).
std::string PathForRuns(const std::wstring& path) {
  const bool ascii = std::all_of(path.begin(), path.end(), [](wchar_t c) { return c < 0x80; });
  if (ascii) return ToUtf8(path);
  return ToUtf8(AnsiToWide(FileNameForStreams(path)));
}

// A folder chosen in the system's folder dialog, starting at `folder`.
bool BrowseForFolder(HWND owner, std::wstring& folder) {
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.lpszTitle = L"The folder of the logs and the summary";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_EDITBOX;
  info.lpfn = [](HWND hwnd, UINT msg, LPARAM, LPARAM data) -> int {
    if (msg == BFFM_INITIALIZED && data != 0) SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
  };
  info.lParam = reinterpret_cast<LPARAM>(folder.c_str());
  PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info);
  if (list == nullptr) return false;
  wchar_t path[MAX_PATH * 2] = {};
  const bool ok = SHGetPathFromIDListW(list, path) != FALSE;
  CoTaskMemFree(list);
  if (ok) folder = path;
  return ok;
}

// The image file for every run, checked whole once before any run starts: false with the reason when every
// run would fail on it.
bool CheckImageFile(const std::wstring& path, std::string& reason) {
  return ::CheckImageFile(FileNameForStreams(path), reason);
}

// A run's report lines, as the report window shows them, in a window of their own; or, with `wrapped`, a
// few lines of prose (the speed-up's outcome), folded at the window's width and in a shorter window.
class TfrmRunReport : public TForm {
 public:
  TfrmRunReport(const std::wstring& caption, const std::wstring& text, bool wrapped = false)
      : FText(text), FWrapped(wrapped) {
    CreateHandle(caption, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, WS_EX_DLGMODALFRAME,
                 Application().Handle());
  }
  HWND Memo1 = nullptr;
  HWND btnClose = nullptr;

  void OnEnterKey() override { EndModal(IDOK); }

 protected:
  void OnCreate() override {
    const DWORD lines = FWrapped ? 0 : WS_HSCROLL | ES_AUTOHSCROLL;
    Memo1 = CreateControl(
        L"EDIT", FText,
        WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | lines, 100,
        nullptr, WS_EX_CLIENTEDGE);
    btnClose = CreateControl(L"BUTTON", L"Close", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, nullptr);
    OnDpiChanged();
    SetClientSize(S(560), S(FWrapped ? 240 : 360));
    CenterOnScreen();
    SetActiveControl(btnClose);
  }
  void OnDpiChanged() override {
    FFont = MakeFont(L"Microsoft Sans Serif", 11, Dpi());
    for (HWND control : {Memo1, btnClose}) {
      SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
    }
    OnSize();
  }
  void OnSize() override {
    RECT client{};
    GetClientRect(Handle(), &client);
    const int margin = S(8);
    const int buttonHeight = S(26);
    MoveWindow(Memo1, margin, margin, client.right - 2 * margin, client.bottom - 3 * margin - buttonHeight,
               TRUE);
    MoveWindow(btnClose, client.right - margin - S(90), client.bottom - margin - buttonHeight, S(90),
               buttonHeight, TRUE);
  }
  bool OnCommand(int id, int, HWND) override {
    if (id != IDOK) return false;
    EndModal(IDOK);
    return true;
  }
  void OnClose() override { EndModal(IDCANCEL); }

 private:
  std::wstring FText;
  bool FWrapped;
  TFontHandle FFont;
};

// The state's symbol in `box`: drawn, so no font lacks it.
void DrawStateSymbol(HDC dc, const RECT& box, TRunStatus state, COLORREF ink, int dpi) {
  const int w = box.right - box.left;
  const int cx = box.left + w / 2;
  const int cy = (box.top + box.bottom) / 2;
  const int r = std::max(3, MulDiv(5, dpi, 96));
  const int thick = std::max(2, MulDiv(2, dpi, 96));
  TPen pen(ink, thick);
  TBrush brush(ink);
  HGDIOBJ oldPen = SelectObject(dc, pen.Handle);
  HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
  switch (state) {
    case TRunStatus::Waiting:  // an empty ring
      Ellipse(dc, cx - r, cy - r, cx + r + 1, cy + r + 1);
      break;
    case TRunStatus::Running: {  // a triangle pointing on
      SelectObject(dc, brush.Handle);
      POINT points[3] = {{cx - r + 1, cy - r}, {cx + r, cy}, {cx - r + 1, cy + r}};
      Polygon(dc, points, 3);
      break;
    }
    case TRunStatus::Completed: {  // a check mark
      POINT points[3] = {{cx - r, cy}, {cx - r / 3, cy + r - 1}, {cx + r, cy - r + 1}};
      Polyline(dc, points, 3);
      break;
    }
    case TRunStatus::Failed:  // a cross
      MoveToEx(dc, cx - r, cy - r, nullptr);
      LineTo(dc, cx + r, cy + r);
      MoveToEx(dc, cx + r, cy - r, nullptr);
      LineTo(dc, cx - r, cy + r);
      break;
    case TRunStatus::Cancelled: {  // a stop square
      SelectObject(dc, brush.Handle);
      Rectangle(dc, cx - r + 1, cy - r + 1, cx + r, cy + r);
      break;
    }
    case TRunStatus::Unplugged:  // a ring with a bar: nothing there
      Ellipse(dc, cx - r, cy - r, cx + r + 1, cy + r + 1);
      MoveToEx(dc, cx - r + 1, cy + r - 1, nullptr);
      LineTo(dc, cx + r, cy - r);
      break;
  }
  SelectObject(dc, oldBrush);
  SelectObject(dc, oldPen);
}

}  // namespace

// ---- TfrmStation

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
  CreateHandle(kCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, Application().Handle());
  CenterOnScreen();
}

TfrmStation::~TfrmStation() {
  DestroyHandle();
  // Runs still going are killed and reaped; their rows are no longer shown.
  FStations.clear();
  FProcesses.reset();
  FAdapterProcesses.reset();
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

  SetClientSize(S(kClientWidth), S(kClientHeight));
  // Not larger than the screen it opens on.
  const RECT screen = MonitorRect(Handle());
  const RECT outer = Bounds();
  SetBounds(outer.left, outer.top,
            std::min<int>(outer.right - outer.left, (screen.right - screen.left) * 19 / 20),
            std::min<int>(outer.bottom - outer.top, (screen.bottom - screen.top) * 9 / 10));
  Layout();
  FillPorts();
  RefreshCounters();
  UpdateButtons();
  SetActiveControl(btnStart);
  SetTimer(Handle(), kTimer, kTimerMs, nullptr);
}

void TfrmStation::OnDestroy() {
  KillTimer(Handle(), kTimer);
  if (FOptions.EndsMessageLoop) PostQuitMessage(0);
}

void TfrmStation::CreateControls() {
  const DWORD label = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
  lblCompletedCaption = CreateControl(L"STATIC", L"Completed", label, idStCompletedCaption, nullptr);
  lblCompleted = CreateControl(L"STATIC", L"0", label, idStCompleted, nullptr);
  lblFailedCaption = CreateControl(L"STATIC", L"Failed or cancelled", label, idStFailedCaption, nullptr);
  lblFailed = CreateControl(L"STATIC", L"0", label, idStFailed, nullptr);
  lblRunningCaption = CreateControl(L"STATIC", L"Running", label, idStRunningCaption, nullptr);
  lblRunning = CreateControl(L"STATIC", L"0", label, idStRunning, nullptr);
  lblTotalCaption = CreateControl(L"STATIC", L"Total this session", label, idStTotalCaption, nullptr);
  lblTotal = CreateControl(L"STATIC", L"0", label, idStTotal, nullptr);
  lblEndsCaption = CreateControl(L"STATIC", L"The last run ends", label, idStEndsCaption, nullptr);
  lblEnds = CreateControl(L"STATIC", L"", label | SS_ENDELLIPSIS, idStEnds, nullptr);
  Bevel1 = CreateTopLineBevel(Handle(), idStBevel);

  // Creation order is the tab order.
  btnStart =
      CreateControl(L"BUTTON", L"Start", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, idStBtnStart, nullptr);
  btnCancel =
      CreateControl(L"BUTTON", L"Cancel", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, idStBtnCancel, nullptr);
  btnRepeat = CreateControl(L"BUTTON", L"Repeat failed", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                            idStBtnRepeat, nullptr);
  btnSpeedUp = CreateControl(L"BUTTON", L"Speed up adapters", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                             idStBtnSpeedUp, nullptr);
  chkPlug = CreateControl(L"BUTTON", L"Start each logger when it is plugged in",
                          WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, idStChkPlug, nullptr);
  ListView1 = CreateControl(WC_LISTVIEWW, L"",
                            WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SINGLESEL |
                                LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                            idStList, nullptr, WS_EX_CLIENTEDGE);
  ListView_SetExtendedListViewStyle(
      ListView1, LVS_EX_DOUBLEBUFFER | LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_INFOTIP);
  lblLogDir = CreateControl(L"STATIC", L"Log folder:", label, idStLogDirLabel, nullptr);
  edtLogDir = CreateControl(L"EDIT", L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, idStLogDir, nullptr,
                            WS_EX_CLIENTEDGE);
  btnLogDir =
      CreateControl(L"BUTTON", L"Change...", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, idStBtnLogDir, nullptr);
  const DWORD fileRow = FImageFiles ? WS_VISIBLE : 0;
  lblImage = CreateControl(L"STATIC", L"Image:", (label & ~WS_VISIBLE) | fileRow, idStImageLabel, nullptr);
  edtImage = CreateControl(L"EDIT", L"", fileRow | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY, idStImage,
                           nullptr, WS_EX_CLIENTEDGE);
  btnFile = CreateControl(L"BUTTON", L"File...", fileRow | WS_TABSTOP | BS_PUSHBUTTON, idStBtnFile, nullptr);
  lblMessage = CreateControl(L"STATIC", L"", label | SS_ENDELLIPSIS, idStMessage, nullptr);
}

void TfrmStation::CreateColumns() {
  static const wchar_t* const kHeaders[kStationColumns] = {L"Socket", L"Port",     L"USB serial", L"Logger",
                                                           L"Image",  L"Progress", L"Time",       L"Result"};
  for (int c = 0; c < kStationColumns; ++c) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<wchar_t*>(kHeaders[c]);
    column.cx = S(kColumnWidths[c]);
    column.iSubItem = c;
    ListView_InsertColumn(ListView1, c, &column);
  }
}

void TfrmStation::ApplyFonts() {
  FFont = MakeFont(L"Microsoft Sans Serif", 11, Dpi());
  // Tahoma has a real bold face (Microsoft Sans Serif has none): figures to read from a step away.
  FBigFont = MakeWeightedFont(L"Tahoma", 34, FW_BOLD, Dpi());
  FMediumFont = MakeWeightedFont(L"Tahoma", 16, FW_BOLD, Dpi());
  for (HWND control : {lblCompletedCaption, lblFailedCaption, lblRunningCaption, lblTotalCaption,
                       lblEndsCaption, btnStart, btnCancel, btnRepeat, btnSpeedUp, chkPlug, ListView1,
                       lblLogDir, edtLogDir, btnLogDir, lblImage, edtImage, btnFile, lblMessage}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
  }
  for (HWND control : {lblCompleted, lblFailed, lblRunning, lblTotal}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FBigFont.get()), TRUE);
  }
  SendMessageW(lblEnds, WM_SETFONT, reinterpret_cast<WPARAM>(FMediumFont.get()), TRUE);
  // Rows tall enough to read at a glance: the row height follows the small image list's.
  if (FRowHeight != nullptr) ImageList_Destroy(FRowHeight);
  FRowHeight = ImageList_Create(1, S(kRowHeight), ILC_COLOR, 1, 1);
  ListView_SetImageList(ListView1, FRowHeight, LVSIL_SMALL);
  for (int c = 0; c + 1 < kStationColumns; ++c) ListView_SetColumnWidth(ListView1, c, S(kColumnWidths[c]));
  FitColumns();
}

void TfrmStation::OnDpiChanged() {
  ApplyFonts();
  Layout();
}

void TfrmStation::OnSize() {
  Layout();
}

void TfrmStation::Layout() {
  if (ListView1 == nullptr) return;
  RECT client{};
  GetClientRect(Handle(), &client);
  const int w = client.right;
  const int h = client.bottom;
  const int m = S(kMargin);

  const HWND captions[] = {lblCompletedCaption, lblFailedCaption, lblRunningCaption, lblTotalCaption};
  const HWND numbers[] = {lblCompleted, lblFailed, lblRunning, lblTotal};
  for (int i = 0; i < 4; ++i) {
    MoveWindow(captions[i], m + S(i * kCounterStep), S(8), S(kCounterWidth), S(16), TRUE);
    MoveWindow(numbers[i], m + S(i * kCounterStep), S(24), S(kCounterWidth), S(44), TRUE);
  }
  const int endsLeft = m + S(4 * kCounterStep + 12);
  MoveWindow(lblEndsCaption, endsLeft, S(8), std::max(0, w - endsLeft - m), S(16), TRUE);
  MoveWindow(lblEnds, endsLeft, S(30), std::max(0, w - endsLeft - m), S(28), TRUE);
  MoveWindow(Bevel1, 0, S(74), w, S(8), TRUE);

  MoveWindow(btnStart, m, S(kButtonTop), S(96), S(kButtonHeight), TRUE);
  MoveWindow(btnCancel, m + S(104), S(kButtonTop), S(96), S(kButtonHeight), TRUE);
  MoveWindow(btnRepeat, m + S(208), S(kButtonTop), S(116), S(kButtonHeight), TRUE);
  MoveWindow(btnSpeedUp, m + S(kSpeedUpLeft), S(kButtonTop), S(kSpeedUpWidth), S(kButtonHeight), TRUE);
  MoveWindow(chkPlug, m + S(kPlugLeft), S(kButtonTop), std::max(0, w - m - S(kPlugLeft) - m),
             S(kButtonHeight), TRUE);

  // From the bottom: the message line, the image file (internal mode with image files), the log folder.
  const int rowHeight = S(24);
  const int messageTop = h - S(8) - S(18);
  MoveWindow(lblMessage, m, messageTop, std::max(0, w - 2 * m), S(18), TRUE);
  int top = messageTop - S(6);
  const int editLeft = m + S(72);
  const int buttonWidth = S(90);
  const int editWidth = std::max(0, w - editLeft - m - buttonWidth - S(6));
  if (FImageFiles) {
    top -= rowHeight;
    MoveWindow(lblImage, m, top + S(4), S(70), S(16), TRUE);
    MoveWindow(edtImage, editLeft, top, editWidth, rowHeight, TRUE);
    MoveWindow(btnFile, w - m - buttonWidth, top - S(1), buttonWidth, rowHeight + S(2), TRUE);
    top -= S(6);
  }
  top -= rowHeight;
  MoveWindow(lblLogDir, m, top + S(4), S(70), S(16), TRUE);
  MoveWindow(edtLogDir, editLeft, top, editWidth, rowHeight, TRUE);
  MoveWindow(btnLogDir, w - m - buttonWidth, top - S(1), buttonWidth, rowHeight + S(2), TRUE);

  const int listBottom = top - S(10);
  MoveWindow(ListView1, m, S(kListTop), std::max(0, w - 2 * m), std::max(S(60), listBottom - S(kListTop)),
             TRUE);
  FitResultColumn();
}

void TfrmStation::FitColumns() {
  // Socket and USB serial take the room their texts need (little, where the system tells none); the
  // result, the text an operator reads, gets the rest.
  static const wchar_t* const kHeaders[] = {L"Socket", L"USB serial"};
  const int columns[] = {colSocket, colUsbSerial};
  for (int i = 0; i < 2; ++i) {
    int width = ListView_GetStringWidth(ListView1, kHeaders[i]);
    for (const TRowTexts& t : FShown) {
      const std::wstring text = ToWide(columns[i] == colSocket ? t.Socket : t.UsbSerial);
      width = std::max(width, ListView_GetStringWidth(ListView1, text.c_str()));
    }
    width = std::min(width + S(14), S(kColumnWidths[columns[i]]));
    if (ListView_GetColumnWidth(ListView1, columns[i]) != width)
      ListView_SetColumnWidth(ListView1, columns[i], width);
  }
  FitResultColumn();
}

void TfrmStation::FitResultColumn() {
  // The result takes the width the other columns leave, with room for the vertical scroll bar that more
  // rows bring, so that no horizontal one comes with it.
  RECT list{};
  GetClientRect(ListView1, &list);
  int width = list.right;
  if ((GetWindowLongPtrW(ListView1, GWL_STYLE) & WS_VSCROLL) == 0) {
    width -= GetSystemMetricsForDpi(SM_CXVSCROLL, static_cast<UINT>(Dpi()));
  }
  for (int c = 0; c + 1 < kStationColumns; ++c) width -= ListView_GetColumnWidth(ListView1, c);
  ListView_SetColumnWidth(ListView1, colResult, std::max<int>(S(kMinResultWidth), width));
}

void TfrmStation::FillPorts() {
  std::vector<std::string> ports;
  FillPortList(ports);
  for (const std::string& extra : FOptions.ExtraPorts) {
    if (std::find(ports.begin(), ports.end(), extra) == ports.end()) ports.push_back(extra);
  }
  std::vector<TListedPort> listed;
  for (const std::string& port : ports) listed.push_back({port, FHost.Identify(port)});
  FBoard.Listed(listed);
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

std::wstring TfrmStation::LogDirText() const {
  return Trimmed(WindowText(edtLogDir));
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
  StepSpeedUp();
  if (Handle() == nullptr) return;
  // The speed-up's outcome in a window of its own, once no other modal window is open.
  if (FSpeedUpReportDue && !FClosing && IsWindowEnabled(Handle())) {
    FSpeedUpReportDue = false;
    std::string text;
    for (const std::string& line : FSpeedUpDetails) text += line + "\r\n";
    TfrmRunReport report(L"Speed up adapters", ToWide(text), true);
    report.ShowModal();
  }
  const uint64_t now = FHost.NowMs();
  if (!FStateChanged && now - FLastRedrawMs < kRedrawMs && !FClosing) return;
  FStateChanged = false;
  FLastRedrawMs = now;
  RefreshList();
  RefreshCounters();
  UpdateButtons();
  // Every run and the speed-up have ended after the close: the window goes.
  if (FClosing && !Busy() && FSpeedUpId == 0) DestroyWindow(Handle());
}

void TfrmStation::RefreshList() {
  if (ListView1 == nullptr) return;
  const std::vector<TBoardRow>& rows = FBoard.Rows();
  const uint64_t now = FHost.NowMs();
  const bool countChanged = static_cast<size_t>(ListView_GetItemCount(ListView1)) != rows.size();
  if (countChanged) {
    FShown.clear();
    for (const TBoardRow& row : rows) FShown.push_back(RowTexts(row, now));
    ListView_SetItemCountEx(ListView1, static_cast<int>(rows.size()), LVSICF_NOSCROLL);
    FitColumns();
    InvalidateRect(ListView1, nullptr, FALSE);
    return;
  }
  // Only a row whose texts changed is drawn again, so nothing flickers.
  bool identity = false;
  for (size_t i = 0; i < rows.size(); ++i) {
    TRowTexts texts = RowTexts(rows[i], now);
    if (texts == FShown[i]) continue;
    identity = identity || texts.Socket != FShown[i].Socket || texts.UsbSerial != FShown[i].UsbSerial;
    FShown[i] = std::move(texts);
    ListView_RedrawItems(ListView1, static_cast<int>(i), static_cast<int>(i));
  }
  if (identity) FitColumns();
}

void TfrmStation::RefreshCounters() {
  const std::vector<const TStationRun*> runs = Runs();
  const TBoardCounts counts = CountRuns(runs);
  SetTextIfChanged(lblCompleted, std::to_wstring(counts.Completed));
  SetTextIfChanged(lblFailed, std::to_wstring(counts.Failed + counts.Cancelled));
  SetTextIfChanged(lblRunning, std::to_wstring(counts.Running));
  SetTextIfChanged(lblTotal, std::to_wstring(counts.Total));
  FCounts = counts;

  std::wstring ends = L"-";
  if (counts.Running > 0) {
    const std::optional<uint64_t> left = LastEndsInMs(runs, FHost.NowMs());
    if (!left) {
      ends = L"estimating...";
    } else {
      // Whole minutes of the clock on the wall; the time left beside it.
      const std::time_t at = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() +
                                                                  std::chrono::milliseconds(*left + 30000));
      std::tm local{};
      if (const std::tm* p = std::localtime(&at)) local = *p;
      char clock[16];
      std::strftime(clock, sizeof clock, "%H:%M", &local);
      ends = L"about " + ToWide(clock) + L" (in " + ToWide(DurationText(*left)) + L")";
    }
  }
  SetTextIfChanged(lblEnds, ends);
}

void TfrmStation::UpdateButtons() {
  const bool busy = Busy();
  const bool watching = SendMessageW(chkPlug, BM_GETCHECK, 0, 0) == BST_CHECKED;
  HWND focus = GetFocus();
  EnableWindow(btnStart, !FClosing && !FBoard.ToStart().empty());
  EnableWindow(btnCancel, !FClosing && busy);
  EnableWindow(btnRepeat, !FClosing && !FBoard.ToRepeat().empty());
  EnableWindow(btnSpeedUp, !FClosing && FSpeedUpId == 0 && !FBoard.ToSpeedUp().empty());
  EnableWindow(chkPlug, !FClosing);
  // The record's folder and the image stay as they are while runs go or may start.
  const bool settable = !FClosing && !busy && !watching;
  EnableWindow(edtLogDir, settable);
  EnableWindow(btnLogDir, settable);
  EnableWindow(btnFile, settable);
  // A disabled control loses the focus: it goes to the list, which is always there.
  if (focus != nullptr && IsChild(Handle(), focus) && !IsWindowEnabled(focus)) SetFocus(ListView1);
}

void TfrmStation::ShowMessage(const std::wstring& text, bool error) {
  FMessageIsError = error;
  SetWindowTextW(lblMessage, text.c_str());
  InvalidateRect(lblMessage, nullptr, TRUE);
}

// ---- starting runs

bool TfrmStation::HelperPresent(const wchar_t* nothingDone) {
  const std::wstring program = ToWide(FProgram);
  const DWORD attributes = GetFileAttributesW(program.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ShowMessage(nothingDone + std::wstring(kProgramName) + L", which is missing (" + program +
                    L"). Put it back beside pellory.exe (the .zip holds both).",
                true);
    return false;
  }
  return true;
}

bool TfrmStation::ReadyToStart() {
  if (!HelperPresent(L"Nothing started: every update runs in ")) return false;
  std::wstring dir = LogDirText();
  if (dir.empty()) {
    ShowMessage(L"Nothing started: choose the log folder first.", true);
    return false;
  }
  // A folder given relative to where the program started is shown and kept as the full path.
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD n = GetFullPathNameW(dir.c_str(), MAX_PATH * 2, full, nullptr);
  if (n > 0 && n < MAX_PATH * 2 && dir != full) {
    dir = full;
    SetWindowTextW(edtLogDir, dir.c_str());
  }
  // With its parents; one that exists already is fine.
  SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
  // Tried by creating a file: a folder may exist and still take none.
  const std::wstring probe = dir + L"\\.pellory-station-probe";
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ShowMessage(L"Nothing started: the log folder \"" + dir + L"\" cannot be written. Choose another one.",
                true);
    return false;
  }
  CloseHandle(file);
  if (!FImageFile.empty()) {
    std::string reason;
    if (!CheckImageFile(ToWide(FImageFile), reason)) {
      ShowMessage(L"Nothing started: " + AnsiToWide(reason), true);
      return false;
    }
  }
  // Once for all the loggers this start or this plugging takes; an image file is never asked about, as
  // with File in the main window.
  if (FImageFile.empty()) {
    if (const char* question = TRunControl::UpdateQuestion()) {
      if (!TfrmConfirm::Ask(ToWide(question))) return false;
    }
  }
  ShowMessage(L"", false);
  return true;
}

TStation& TfrmStation::Station() {
  // The core writes its files through the wide file API: the folder goes as it is, in UTF-8.
  const std::string dir = ToUtf8(LogDirText());
  const bool changed = dir != FStationLogDir || FImageFile != FStationFile;
  if (FStations.empty() || (changed && !FStations.back()->Busy())) {
    TStationConfig config;
    config.Program = FProgram;
    config.MaxRepeats = 3;
    config.File = FImageFile.empty() ? std::string() : PathForRuns(ToWide(FImageFile));
    config.SimOptions = FOptions.SimOptions;
    config.LogDir = dir;
    config.Summary = dir + "\\" + kSummaryName;
    config.KeepEarlierRows = true;
    config.GraceMs = FOptions.GraceMs;
    FStations.push_back(std::make_unique<TStation>(config, FHost, *this));
    FStationLogDir = dir;
    FStationFile = FImageFile;
    FStations.back()->PortsListed(FListed);
  }
  return *FStations.back();
}

void TfrmStation::StartPorts(const std::vector<std::string>& ports) {
  TStation& station = Station();
  for (const std::string& port : ports) station.Start(port);
  RefreshList();
  RefreshCounters();
  UpdateButtons();
}

// ---- handlers

void TfrmStation::btnStartClick() {
  if (FClosing || FBoard.ToStart().empty() || !ReadyToStart()) return;
  // The list may have changed while the question was open.
  StartPorts(FBoard.ToStart());
}

void TfrmStation::btnCancelClick() {
  if (FClosing || !Busy()) return;
  if (!TfrmConfirm::Ask(ToWide(kAskCancel))) return;
  for (const auto& station : FStations) station->Cancel();
}

void TfrmStation::btnRepeatClick() {
  if (FClosing || FBoard.ToRepeat().empty() || !ReadyToStart()) return;
  StartPorts(FBoard.ToRepeat());
}

void TfrmStation::btnSpeedUpClick() {
  if (FClosing || FSpeedUpId != 0) return;
  const std::vector<std::string> ports = FBoard.ToSpeedUp();
  if (ports.empty() || !HelperPresent(L"The adapters were left as they are: their timers are set by "))
    return;
  if (!FAdapterProcesses) FAdapterProcesses = CreatePlatformProcesses();
  // The elevation prompt belongs to this window, so that Windows shows it in front instead of flashing it
  // in the taskbar. The ports follow "--": no port name is taken for an option.
  std::vector<std::string> argv{FProgram,
                                "latency",
                                "--set",
                                "1",
                                "--json",
                                "--owner-window",
                                std::to_string(reinterpret_cast<uintptr_t>(Handle())),
                                "--"};
  argv.insert(argv.end(), ports.begin(), ports.end());
  std::string error;
  const int id = FAdapterProcesses->Spawn(argv, error);
  if (id == 0) {
    ShowMessage(L"The adapters were left as they are: " + ToWide(TerminalSafe(error)), true);
    return;
  }
  FSpeedUpId = id;
  FSpeedUpPorts = ports;
  FBoard.SpeedingUp(ports);
  FSpeedUpOutput.clear();
  FSpeedUpBytes = 0;
  std::string names;
  for (const std::string& port : ports) names += (names.empty() ? "" : ", ") + TerminalSafe(port);
  ShowMessage(ToWide("Setting the latency timers of " + names +
                     " to 1 ms; Windows may ask once for administrator rights..."),
              false);
  UpdateButtons();
}

void TfrmStation::StepSpeedUp() {
  if (FSpeedUpId == 0 || !FAdapterProcesses) return;
  std::vector<TProcessEvent> events;
  FAdapterProcesses->Poll(0, events);
  for (TProcessEvent& event : events) {
    if (event.Id != FSpeedUpId) continue;
    if (event.Kind == TProcessEvent::TKind::Exit) {
      SpeedUpEnded(event.ExitCode);
      return;
    }
    // Bounded: a helper that floods its output leaves no result rather than taking the window's memory.
    if (FSpeedUpBytes < kMaxHelperOutput) {
      FSpeedUpBytes += event.Text.size() + 1;
      FSpeedUpOutput.push_back(std::move(event.Text));
    }
  }
}

void TfrmStation::SpeedUpEnded(int exitCode) {
  FSpeedUpId = 0;
  // The JSON array is the last thing the helper writes; a line before it would be none of it.
  std::string json;
  bool inArray = false;
  for (const std::string& line : FSpeedUpOutput) {
    inArray = inArray || (!line.empty() && line[0] == '[');
    if (inArray) json += line + "\n";
  }
  std::vector<TTimerResult> results;
  const bool read = ParseTimerResults(json, results);
  const TSpeedUpReport report = SpeedUpReport(FSpeedUpPorts, read ? &results : nullptr, exitCode,
                                              FSpeedUpOutput, ToUtf8(std::wstring(kProgramName)));
  FHeldPorts = std::move(FSpeedUpPorts);
  FSpeedUpPorts.clear();
  FBoard.SpeedingUp({});
  FHeldUntilMs = FHost.NowMs() + kHeldMs;
  FSpeedUpOutput.clear();
  FSpeedUpBytes = 0;
  FStateChanged = true;
  if (Handle() == nullptr) return;
  // The ports' identities anew: a timer now at 1 ms loses its row's mark.
  FillPorts();
  FBoard.ReplugDue(report.ReplugDue);
  RefreshList();
  ShowMessage(ToWide(report.Summary), report.Problem);
  FSpeedUpDetails = report.Details;
  FSpeedUpReportDue = !FClosing;
}

void TfrmStation::chkPlugClick() {
  const bool on = SendMessageW(chkPlug, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (on && (FClosing || !ReadyToStart())) {
    SendMessageW(chkPlug, BM_SETCHECK, BST_UNCHECKED, 0);
    return;
  }
  if (on) {
    Station().SetWatching(true);
  } else if (!FStations.empty()) {
    FStations.back()->SetWatching(false);
  }
  UpdateButtons();
}

void TfrmStation::btnLogDirClick() {
  std::wstring folder = LogDirText();
  if (!Hooks.ChooseFolder(folder)) return;
  SetWindowTextW(edtLogDir, folder.c_str());
}

void TfrmStation::btnFileClick() {
  std::wstring fileName;
  if (!Hooks.ChooseFile(fileName)) return;
  std::string reason;
  if (!CheckImageFile(fileName, reason)) {
    ShowMessage(L"This image file cannot be used: " + AnsiToWide(reason), true);
    return;
  }
  FImageFile = ToUtf8(fileName);
  SetWindowTextW(edtImage, fileName.c_str());
  ShowMessage(L"", false);
}

void TfrmStation::ShowRunReport(int row) {
  const std::vector<TBoardRow>& rows = FBoard.Rows();
  if (row < 0 || static_cast<size_t>(row) >= rows.size() || rows[static_cast<size_t>(row)].Run == nullptr)
    return;
  const TStationRun& run = *rows[static_cast<size_t>(row)].Run;
  std::string text;
  for (const std::string& line : run.Report) text += TerminalSafe(line) + "\r\n";
  // A long session keeps the lines of its newest runs only; every run's are in its log.
  if (run.Report.empty() && !run.LogPath.empty())
    text += "The report lines are in the log " + run.LogPath + "\r\n";
  // Why a port would not open, and the like: the run's own lines that are no events.
  for (const std::string& line : run.Hints) text += TerminalSafe(line) + "\r\n";
  if (!run.LogProblem.empty()) text += TerminalSafe(run.LogProblem) + "\r\n";
  TfrmRunReport report(L"Report " + ToWide(TerminalSafe(run.Port)), ToWide(text));
  report.ShowModal();
}

void TfrmStation::OnEnterKey() {
  // Enter on a row shows its report, as a double-click does; anywhere else it is Start.
  if (GetFocus() == ListView1) {
    const int row = ListView_GetNextItem(ListView1, -1, LVNI_SELECTED);
    if (row >= 0) {
      ShowRunReport(row);
      return;
    }
  }
  if (IsWindowEnabled(btnStart)) btnStartClick();
}

void TfrmStation::OnClose() {
  if (FClosing) {
    // Asked once more while the runs end: they end at once.
    if (!FKilled) {
      FKilled = true;
      for (const auto& station : FStations) station->Kill();
      if (FSpeedUpId != 0) FAdapterProcesses->Kill(FSpeedUpId);
    }
    return;
  }
  const bool busy = Busy();
  if (!busy && FSpeedUpId == 0) {
    DestroyWindow(Handle());
    return;
  }
  // Setting the timers takes seconds once answered; a device half restarted is worse than a short wait.
  if (busy && !TfrmConfirm::Ask(ToWide(kAskClose))) return;
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
    case idStChkPlug:
      if (code == BN_CLICKED) chkPlugClick();
      return true;
    case idStBtnLogDir:
      btnLogDirClick();
      return true;
    case idStBtnFile:
      btnFileClick();
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
    default:
      return TForm::WndProc(msg, wParam, lParam);
  }
}

LRESULT TfrmStation::WMNotify(WPARAM wParam, LPARAM lParam) {
  const auto* header = reinterpret_cast<const NMHDR*>(lParam);
  if (header->hwndFrom != ListView1) return Default(WM_NOTIFY, wParam, lParam);
  switch (header->code) {
    case NM_CUSTOMDRAW:
      return ListCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
    case LVN_GETDISPINFOW:
      return ListGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(lParam));
    case LVN_GETINFOTIPW: {
      // The whole result, which the column may cut.
      auto* tip = reinterpret_cast<NMLVGETINFOTIPW*>(lParam);
      const auto row = static_cast<size_t>(tip->iItem);
      if (row < FShown.size() && tip->pszText != nullptr && tip->cchTextMax > 0) {
        FCell = ToWide(FShown[row].Port + ": " + FShown[row].Result);
        lstrcpynW(tip->pszText, FCell.c_str(), tip->cchTextMax);
      }
      return 0;
    }
    case LVN_ITEMACTIVATE:
      ShowRunReport(reinterpret_cast<const NMITEMACTIVATE*>(lParam)->iItem);
      return 0;
    default:
      return 0;
  }
}

LRESULT TfrmStation::ListGetDispInfo(NMLVDISPINFOW* info) {
  const int row = info->item.iItem;
  if ((info->item.mask & LVIF_TEXT) == 0 || info->item.pszText == nullptr || info->item.cchTextMax <= 0)
    return 0;
  info->item.pszText[0] = L'\0';
  if (row < 0 || static_cast<size_t>(row) >= FShown.size()) return 0;
  const TRowTexts& t = FShown[static_cast<size_t>(row)];
  std::string text;
  switch (info->item.iSubItem) {
    case colSocket:
      text = t.Socket;
      break;
    case colPort:
      text = t.Port;
      break;
    case colUsbSerial:
      text = t.UsbSerial;
      break;
    case colLogger:
      text = t.Logger;
      break;
    case colImage:
      text = t.Image;
      break;
    case colProgress:
      if (t.State == TRunStatus::Running || t.Progress > 0) text = std::to_string(t.Progress) + "%";
      break;
    case colTime:
      text = t.Time;
      break;
    case colResult:
      text = t.Result;
      break;
    default:
      break;
  }
  FCell = ToWide(text);
  lstrcpynW(info->item.pszText, FCell.c_str(), info->item.cchTextMax);
  return 0;
}

LRESULT TfrmStation::ListCustomDraw(NMLVCUSTOMDRAW* draw) {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
      break;
    default:
      return CDRF_DODEFAULT;
  }
  const auto row = static_cast<size_t>(draw->nmcd.dwItemSpec);
  const int column = draw->iSubItem;
  if (row >= FShown.size() || (column != colProgress && column != colResult)) return CDRF_DODEFAULT;
  const TRowTexts& t = FShown[row];
  const TStateLook look = LookOf(t.State);
  RECT cell{};
  ListView_GetSubItemRect(ListView1, static_cast<int>(row), column, LVIR_BOUNDS, &cell);
  HDC dc = draw->nmcd.hdc;
  HGDIOBJ oldFont = SelectObject(dc, FFont.get());
  SetBkMode(dc, TRANSPARENT);
  const int inset = S(3);
  if (column == colProgress) {
    FillRect(dc, &cell, GetSysColorBrush(COLOR_WINDOW));
    RECT bar{cell.left + inset, cell.top + inset, cell.right - inset, cell.bottom - inset - 1};
    // A bar for a run that goes or got somewhere; a run that failed before writing shows none.
    const bool shown = t.State == TRunStatus::Running || t.Progress > 0;
    if (shown && bar.right > bar.left) {
      TBrush frame(RGB(160, 160, 160));
      FrameRect(dc, &bar, frame.Handle);
      RECT filled{bar.left + 1, bar.top + 1, bar.left + 1 + (bar.right - bar.left - 2) * t.Progress / 100,
                  bar.bottom - 1};
      TBrush fill(look.Bar);
      FillRect(dc, &filled, fill.Handle);
      const std::wstring percent = std::to_wstring(t.Progress) + L"%";
      SetTextColor(dc, RGB(0, 0, 0));
      DrawTextW(dc, percent.c_str(), -1, &bar, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
  } else {
    TBrush background(look.Background);
    FillRect(dc, &cell, background.Handle);
    const int symbol = S(16);
    RECT box{cell.left + inset, cell.top, cell.left + inset + symbol, cell.bottom};
    DrawStateSymbol(dc, box, t.State, look.Ink, Dpi());
    RECT text{box.right + S(4), cell.top, cell.right - inset, cell.bottom};
    SetTextColor(dc, look.Ink);
    const std::wstring result = ToWide(t.Result);
    DrawTextW(dc, result.c_str(), -1, &text,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  SelectObject(dc, oldFont);
  return CDRF_SKIPDEFAULT;
}

LRESULT TfrmStation::WMDeviceChange(WPARAM wParam, LPARAM lParam) {
  // The broadcast header is only there for arrival and removal.
  uint32_t deviceType = 0;
  if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0) {
    deviceType = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype;
  }
  if (IsPortChange(wParam, deviceType)) FillPorts();
  return 0;
}

LRESULT TfrmStation::WMCtlColorStatic(WPARAM wParam, LPARAM lParam) {
  const auto control = reinterpret_cast<HWND>(lParam);
  COLORREF ink = 0;
  if (control == lblCompleted) {
    ink = LookOf(TRunStatus::Completed).Ink;
  } else if (control == lblFailed) {
    ink = LookOf(TRunStatus::Failed).Ink;
  } else if (control == lblRunning) {
    ink = LookOf(TRunStatus::Running).Ink;
  } else if (control == lblMessage && FMessageIsError) {
    ink = LookOf(TRunStatus::Failed).Ink;
  } else {
    return TForm::WndProc(WM_CTLCOLORSTATIC, wParam, lParam);
  }
  auto dc = reinterpret_cast<HDC>(wParam);
  SetTextColor(dc, ink);
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

LRESULT TfrmStation::WMGetMinMaxInfo(LPARAM lParam) {
  auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
  RECT frame{0, 0, S(kMinClientWidth), S(kMinClientHeight)};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)),
                           static_cast<UINT>(Dpi()));
  info->ptMinTrackSize.x = frame.right - frame.left;
  info->ptMinTrackSize.y = frame.bottom - frame.top;
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
