#include "ui/uMessage_win32.h"

std::unique_ptr<TfrmMessage> frmMessage;

namespace {

constexpr int kLayoutDpi = 120;
constexpr int kDesignClientWidth = 435;
constexpr int kDesignClientHeight = 101;
constexpr int kPanelHeight = 45;
constexpr int kMargin = 3;
constexpr int kButtonWidth = 93;
// Distance of the box from the main window's left, right and bottom edges.
constexpr int kInset = 10;

}  // namespace

TfrmMessage::TfrmMessage() : TForm(kLayoutDpi) {
  CreateHandle(L"Information", WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN, WS_EX_DLGMODALFRAME,
               Application().Handle());
}

void TfrmMessage::OnCreate() {
  Memo1 = CreateControl(L"EDIT", L"", WS_VISIBLE | ES_MULTILINE | ES_READONLY, 100, nullptr);
  Panel1 = CreatePanel(Handle(), 101);
  Button1 = CreateControl(L"BUTTON", L"OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, Panel1);
  OnDpiChanged();
  SetClientSize(S(kDesignClientWidth), S(kDesignClientHeight));
  SetActiveControl(Button1);
}

void TfrmMessage::OnDpiChanged() {
  FFont = MakeFont(L"Tahoma", 13, Dpi(), kLayoutDpi);
  for (HWND control : {Memo1, Button1})
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
}

void TfrmMessage::OnSize() {
  RECT client{};
  GetClientRect(Handle(), &client);
  const int panelHeight = S(kPanelHeight);
  const int margin = S(kMargin);
  MoveWindow(Panel1, 0, client.bottom - panelHeight, client.right, panelHeight, TRUE);
  MoveWindow(Button1, margin, margin, S(kButtonWidth), panelHeight - 2 * margin, TRUE);
  MoveWindow(Memo1, margin, margin, client.right - 2 * margin, client.bottom - panelHeight - 2 * margin,
             TRUE);
}

void TfrmMessage::showMsg(const std::wstring& sMsg, int x, int y, int w, int h) {
  const RECT own = Bounds();
  const int height = own.bottom - own.top;
  SetBounds(x + kInset, y + h - height - kInset, w - 2 * kInset, height);
  SetWindowTextW(Memo1, sMsg.c_str());
  SetActiveControl(Button1);
  ShowModal();
}

void TfrmMessage::Button1Click() {
  EndModal(IDOK);
}

bool TfrmMessage::OnCommand(int id, int, HWND) {
  if (id != IDOK) return false;
  Button1Click();
  return true;
}
