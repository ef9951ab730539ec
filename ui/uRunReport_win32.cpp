#include "ui/uRunReport_win32.h"

TfrmRunReport::TfrmRunReport(const std::wstring& caption, const std::wstring& text, bool wrapped)
    : FText(text), FWrapped(wrapped) {
  CreateHandle(caption, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, WS_EX_DLGMODALFRAME,
               Application().Handle());
}

void TfrmRunReport::OnEnterKey() {
  EndModal(IDOK);
}

void TfrmRunReport::OnCreate() {
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

void TfrmRunReport::OnDpiChanged() {
  FFont = MakeFont(L"Microsoft Sans Serif", 11, Dpi());
  for (HWND control : {Memo1, btnClose}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
  }
  OnSize();
}

void TfrmRunReport::OnSize() {
  RECT client{};
  GetClientRect(Handle(), &client);
  const int margin = S(8);
  const int buttonHeight = S(26);
  MoveWindow(Memo1, margin, margin, client.right - 2 * margin, client.bottom - 3 * margin - buttonHeight,
             TRUE);
  MoveWindow(btnClose, client.right - margin - S(90), client.bottom - margin - buttonHeight, S(90),
             buttonHeight, TRUE);
}

bool TfrmRunReport::OnCommand(int id, int, HWND) {
  if (id != IDOK) return false;
  EndModal(IDOK);
  return true;
}

void TfrmRunReport::OnClose() {
  EndModal(IDCANCEL);
}
