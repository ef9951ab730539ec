// The station window's controls and their places: counters, buttons, the list's columns, the folder and
// image rows, the message line; laid out in 96-dpi pixels and scaled.
#include <algorithm>

#include "device/uWinText_win32.h"
#include "ui/uStationShared_win32.h"
#include "ui/uStation_win32.h"

using namespace StationWindow;

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
// "Set up this PC...", done once per PC: apart from the buttons of every day, in the counters' corner.
constexpr int kSetupWidth = 120;
// Socket and USB serial follow their texts between the header's width and these.
constexpr int kColumnWidths[kStationColumns] = {130, 60, 110, 84, 100, 90, 104, 0};
constexpr int kMinResultWidth = 160;
constexpr int kTipWidth = 560;
// The empty list's text, inside the list under its header.
constexpr int kEmptyInset = 16;

TFontHandle MakeWeightedFont(const wchar_t* face, int height, int weight, int dpi) {
  return TFontHandle(CreateFontW(-MulDiv(height, dpi, 96), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                                 DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH | FF_DONTCARE, face));
}

}  // namespace

void TfrmStation::SizeToScreen() {
  SetClientSize(S(kClientWidth), S(kClientHeight));
  // Not larger than the screen it opens on.
  const RECT screen = MonitorRect(Handle());
  const RECT outer = Bounds();
  SetBounds(outer.left, outer.top,
            std::min<int>(outer.right - outer.left, (screen.right - screen.left) * 19 / 20),
            std::min<int>(outer.bottom - outer.top, (screen.bottom - screen.top) * 9 / 10));
  Layout();
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
  lblRuns = CreateControl(L"STATIC", L"", label | SS_ENDELLIPSIS, idStRuns, nullptr);
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
  btnSetup = CreateControl(L"BUTTON", L"Set up this PC\u2026", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                           idStBtnSetup, nullptr);
  chkPlug = CreateControl(L"BUTTON", L"Start each logger when it is plugged in",
                          WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, idStChkPlug, nullptr);
  // Clipped by its siblings: the empty list's text lies over it.
  ListView1 = CreateControl(WC_LISTVIEWW, L"",
                            WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS | LVS_REPORT | LVS_OWNERDATA |
                                LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | LVS_SHAREIMAGELISTS,
                            idStList, nullptr, WS_EX_CLIENTEDGE);
  ListView_SetExtendedListViewStyle(
      ListView1, LVS_EX_DOUBLEBUFFER | LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_INFOTIP);
  lblEmpty = CreateControl(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, idStEmpty, nullptr);
  SetWindowPos(lblEmpty, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
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
  lblRecord = CreateControl(L"STATIC", L"", (label & ~WS_VISIBLE) | SS_ENDELLIPSIS, idStRecord, nullptr);
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
  for (HWND control :
       {lblCompletedCaption, lblFailedCaption, lblRunningCaption, lblTotalCaption, lblEndsCaption, btnStart,
        btnCancel,           btnRepeat,        btnSpeedUp,        btnSetup,        chkPlug,        ListView1,
        lblLogDir,           edtLogDir,        btnLogDir,         lblImage,        edtImage,       btnFile,
        lblMessage,          lblRecord}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
  }
  // The runs beside the total, and what the empty list says.
  for (HWND control : {lblRuns, lblEmpty}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
  }
  for (HWND control : {lblCompleted, lblFailed, lblRunning, lblTotal}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FBigFont.get()), TRUE);
  }
  SendMessageW(lblEnds, WM_SETFONT, reinterpret_cast<WPARAM>(FMediumFont.get()), TRUE);
  // Rows tall enough to read at a glance: the row height follows the small image list's. The window owns
  // the list (the list view shares it), and drops the one before only once the view holds the new one.
  const HIMAGELIST before = FRowHeight;
  FRowHeight = ImageList_Create(1, S(kRowHeight), ILC_COLOR, 1, 1);
  ListView_SetImageList(ListView1, FRowHeight, LVSIL_SMALL);
  if (before != nullptr) ImageList_Destroy(before);
  for (int c = 0; c + 1 < kStationColumns; ++c) ListView_SetColumnWidth(ListView1, c, S(kColumnWidths[c]));
  // A row's tip holds the run's hints on lines of their own.
  if (HWND tips = ListView_GetToolTips(ListView1)) SendMessageW(tips, TTM_SETMAXTIPWIDTH, 0, S(kTipWidth));
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
  const int endsWidth = std::max(0, w - endsLeft - m - S(kSetupWidth + 8));
  MoveWindow(lblEndsCaption, endsLeft, S(8), endsWidth, S(16), TRUE);
  MoveWindow(lblEnds, endsLeft, S(30), endsWidth, S(28), TRUE);
  MoveWindow(btnSetup, w - m - S(kSetupWidth), S(8), S(kSetupWidth), S(kButtonHeight), TRUE);
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
  // The record's line, over the log folder, only while it has something to say.
  if (IsWindowVisible(lblRecord)) {
    top -= S(6) + S(18);
    MoveWindow(lblRecord, m, top, std::max(0, w - 2 * m), S(18), TRUE);
  }

  const int listBottom = top - S(10);
  const int listHeight = std::max(S(60), listBottom - S(kListTop));
  MoveWindow(ListView1, m, S(kListTop), std::max(0, w - 2 * m), listHeight, TRUE);
  RECT header{};
  GetWindowRect(ListView_GetHeader(ListView1), &header);
  const int emptyTop = S(kListTop) + (header.bottom - header.top) + S(kEmptyInset);
  MoveWindow(lblEmpty, m + S(kEmptyInset), emptyTop, std::max(0, w - 2 * m - 2 * S(kEmptyInset)),
             std::max(0, S(kListTop) + listHeight - S(kEmptyInset) / 2 - emptyTop), TRUE);
  PlaceRunsCount();
  FitResultColumn();
}

void TfrmStation::PlaceRunsCount() {
  // The total's figure as wide as it is drawn, how many runs it took beside it.
  const std::wstring total = WindowText(lblTotal);
  SIZE size{};
  HDC dc = GetDC(lblTotal);
  HGDIOBJ previous = SelectObject(dc, FBigFont.get());
  GetTextExtentPoint32W(dc, total.c_str(), static_cast<int>(total.size()), &size);
  SelectObject(dc, previous);
  ReleaseDC(lblTotal, dc);
  const int left = S(kMargin) + S(3 * kCounterStep);
  const int width = std::min<int>(size.cx + S(2), S(kCounterWidth));
  MoveWindow(lblTotal, left, S(24), width, S(44), TRUE);
  const int runsLeft = left + width + S(6);
  const int endsLeft = S(kMargin) + S(4 * kCounterStep + 12);
  MoveWindow(lblRuns, runsLeft, S(47), std::max(0, endsLeft - S(6) - runsLeft), S(16), TRUE);
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

LRESULT TfrmStation::WMCtlColorStatic(WPARAM wParam, LPARAM lParam) {
  const auto control = reinterpret_cast<HWND>(lParam);
  COLORREF ink = 0;
  if (control == lblCompleted) {
    ink = LookOf(TRunStatus::Completed).Ink;
  } else if (control == lblFailed) {
    ink = LookOf(TRunStatus::Failed).Ink;
  } else if (control == lblRunning) {
    ink = LookOf(TRunStatus::Running).Ink;
  } else if ((control == lblMessage && FMessageIsError) || (control == lblRecord && FRecordIsError)) {
    ink = LookOf(TRunStatus::Failed).Ink;
  } else if (control == lblEmpty) {
    // On the list's own colour, as text of the list.
    auto dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
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
