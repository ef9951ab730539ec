// The station window's rows: texts handed to the list on demand, the progress bar and the result cell
// drawn with the state's colour and symbol, a row redrawn only when its texts changed; and the counters.
#include <algorithm>
#include <chrono>
#include <ctime>

#include "device/uWinText_win32.h"
#include "station/uText.h"
#include "ui/uStationShared_win32.h"
#include "ui/uStation_win32.h"

namespace StationWindow {

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

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  const int n = GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return text;
}

void SetTextIfChanged(HWND hwnd, const std::wstring& text) {
  if (WindowText(hwnd) != text) SetWindowTextW(hwnd, text.c_str());
}

std::wstring WindowsLines(const std::string& text) {
  std::string lines;
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  return ToWide(lines);
}

}  // namespace StationWindow

using namespace StationWindow;

namespace {

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
    ShowEmptyList();
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
  ShowEmptyList();
}

void TfrmStation::ShowEmptyList() {
  if (lblEmpty == nullptr) return;
  const bool empty = FBoard.Rows().empty();
  if (empty) {
    const bool watching = SendMessageW(chkPlug, BM_GETCHECK, 0, 0) == BST_CHECKED;
    SetTextIfChanged(lblEmpty, WindowsLines(EmptyListText(FOtherPorts, watching)));
  }
  const bool shown = (GetWindowLongPtrW(lblEmpty, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != empty) ShowWindow(lblEmpty, empty ? SW_SHOWNA : SW_HIDE);
}

void TfrmStation::RefreshCounters() {
  const std::vector<const TStationRun*> runs = Runs();
  // Loggers, each by its newest run: one repeated until it completed counts as completed only.
  const TBoardCounts counts = CountRuns(FBoard.Loggers());
  SetTextIfChanged(lblCompleted, std::to_wstring(counts.Completed));
  SetTextIfChanged(lblFailed, std::to_wstring(counts.Failed + counts.Cancelled));
  SetTextIfChanged(lblRunning, std::to_wstring(counts.Running));
  const std::wstring total = std::to_wstring(counts.Total);
  const std::wstring runCount = runs.size() == static_cast<size_t>(counts.Total)
                                    ? L""
                                    : L"in " + std::to_wstring(runs.size()) + L" runs";
  if (WindowText(lblTotal) != total || WindowText(lblRuns) != runCount) {
    SetWindowTextW(lblTotal, total.c_str());
    SetWindowTextW(lblRuns, runCount.c_str());
    PlaceRunsCount();
  }
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

LRESULT TfrmStation::WMNotify(WPARAM wParam, LPARAM lParam) {
  const auto* header = reinterpret_cast<const NMHDR*>(lParam);
  if (header->hwndFrom != ListView1) return Default(WM_NOTIFY, wParam, lParam);
  switch (header->code) {
    case NM_CUSTOMDRAW:
      return ListCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
    case LVN_GETDISPINFOW:
      return ListGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(lParam));
    case LVN_GETINFOTIPW: {
      // The whole result, which the column may cut, and the run's hints: the cause and what to do.
      auto* tip = reinterpret_cast<NMLVGETINFOTIPW*>(lParam);
      const auto row = static_cast<size_t>(tip->iItem);
      if (row < FShown.size() && tip->pszText != nullptr && tip->cchTextMax > 0) {
        FCell = WindowsLines(FShown[row].Tip);
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
