#include "ui/uInfo_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "firmware/uFWVersions.h"
#include "run/uOverview.h"

std::unique_ptr<TfrmInfo> frmInfo;

namespace {

constexpr int kDesignClientWidth = 318;
constexpr int kDesignClientHeight = 209;
constexpr int kPanelHeight = 37;
constexpr int kColumnMargin = 5;
constexpr int kWidthMargin = 30;

int ColumnCount(HWND listView) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(listView, LVM_GETHEADER, 0, 0));
  return header != nullptr ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

}  // namespace

int AutoSizeColumns(HWND listView) {
  int total = 0;
  const int count = ColumnCount(listView);
  // LVSCW_AUTOSIZE_USEHEADER stretches the last column over the rest of the control, so the window would
  // grow at every opening: an empty column behind the real ones keeps each of them from being the last.
  LVCOLUMNW extra{};
  extra.mask = LVCF_WIDTH;
  SendMessageW(listView, LVM_INSERTCOLUMNW, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(&extra));
  for (int c = 0; c < count; ++c) {
    SendMessageW(listView, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c), LVSCW_AUTOSIZE_USEHEADER);
    const auto a = static_cast<int>(SendMessageW(listView, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0));
    SendMessageW(listView, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c), LVSCW_AUTOSIZE);
    const auto b = static_cast<int>(SendMessageW(listView, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0));
    SendMessageW(listView, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c), std::max(a, b) + kColumnMargin);
    total += static_cast<int>(SendMessageW(listView, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0));
  }
  SendMessageW(listView, LVM_DELETECOLUMN, static_cast<WPARAM>(count), 0);
  return total;
}

TfrmInfo::TfrmInfo() {
  CreateHandle(L"Overview", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, Application().Handle());
}

void TfrmInfo::OnCreate() {
  // Read-only, and a click on a column header sorts nothing.
  ListView1 = CreateControl(
      WC_LISTVIEWW, L"",
      WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, 100,
      nullptr, WS_EX_CLIENTEDGE);
  Panel1 = CreatePanel(Handle(), 101);
  Button1 = CreateControl(L"BUTTON", L"OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, Panel1);
  const std::vector<std::string> headers = ImageTableHeader();
  for (int c = 0; c < static_cast<int>(headers.size()); ++c) {
    std::wstring text = ToWide(headers[static_cast<size_t>(c)]);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = text.data();
    column.cx = S(50);
    column.iSubItem = c;
    SendMessageW(ListView1, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
  }
  OnDpiChanged();
  SetClientSize(S(kDesignClientWidth), S(kDesignClientHeight));
}

void TfrmInfo::OnDpiChanged() {
  FFont = MakeFont(L"MS Sans Serif", 10, Dpi());
  for (HWND control : {ListView1, Button1}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
  }
}

void TfrmInfo::OnSize() {
  RECT client{};
  GetClientRect(Handle(), &client);
  const int panelHeight = S(kPanelHeight);
  MoveWindow(ListView1, 0, 0, client.right, client.bottom - panelHeight, TRUE);
  MoveWindow(Panel1, 0, client.bottom - panelHeight, client.right, panelHeight, TRUE);
  Place(Button1, 13, 7, 98, 24);
}

bool TfrmInfo::OnCommand(int id, int, HWND) {
  if (id != IDOK) return false;
  EndModal(IDOK);
  return true;
}

void TfrmInfo::AddImageRow(const TBl3FileHeader& header) {
  const std::vector<std::string> cells = ImageRow(header);
  const auto row = static_cast<int>(SendMessageW(ListView1, LVM_GETITEMCOUNT, 0, 0));
  for (int c = 0; c < static_cast<int>(cells.size()); ++c) {
    std::wstring text = ToWide(cells[static_cast<size_t>(c)]);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = c;
    item.pszText = text.data();
    if (c == 0) {
      SendMessageW(ListView1, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    } else {
      SendMessageW(ListView1, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
  }
}

int TfrmInfo::Execute(int ALeft, int ATop, int AHeight) {
  SendMessageW(ListView1, LVM_DELETEALLITEMS, 0, 0);
  TBl3FileHeader header;
  if (SelectedImage == 0) {
    GetImageHeader(0, header);
    AddImageRow(header);
  }
  // The newest embedded image first.
  for (int32_t i = ImageCount(); i >= 1; --i) {
    GetImageHeader(i, header);
    AddImageRow(header);
  }
  const RECT own = Bounds();
  SetBounds(ALeft, ATop, own.right - own.left, AHeight);
  RECT client{};
  GetClientRect(Handle(), &client);
  SetClientSize(AutoSizeColumns(ListView1) + kWidthMargin, client.bottom);
  SetActiveControl(Button1);
  return ShowModal();
}
