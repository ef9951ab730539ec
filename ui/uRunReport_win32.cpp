#include "ui/uRunReport_win32.h"

TfrmRunReport::TfrmRunReport(const std::wstring& caption, const std::wstring& text, bool wrapped)
    : FText(text), FWrapped(wrapped) {
  CreateHandle(caption, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, WS_EX_DLGMODALFRAME,
               Application().Handle());
}

void TfrmRunReport::OnEnterKey() {
  Dismiss(IDOK);
}

void TfrmRunReport::OnEscapeKey() {
  Dismiss(IDCANCEL);
}

void TfrmRunReport::OnCreate() {
  const DWORD lines = FWrapped ? 0 : WS_HSCROLL | ES_AUTOHSCROLL;
  Memo1 = CreateControl(
      L"EDIT", L"",
      WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | lines, 100,
      nullptr, WS_EX_CLIENTEDGE);
  // A run's lines outgrow the default limit of 32,767 characters; appended beyond it they would be lost.
  SendMessageW(Memo1, EM_SETLIMITTEXT, 0, 0);
  SetWindowTextW(Memo1, FText.c_str());
  btnClose = CreateControl(L"BUTTON", L"Close", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, nullptr);
  OnDpiChanged();
  SetClientSize(S(560), S(FWrapped ? 240 : 360));
  CenterOnScreen();
  SetActiveControl(btnClose);
  // A run's outcome is its last line: in view from the start.
  if (!FWrapped) ScrollToEnd();
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
  Dismiss(IDOK);
  return true;
}

void TfrmRunReport::OnClose() {
  Dismiss(IDCANCEL);
}

void TfrmRunReport::Dismiss(int result) {
  if (IsModal()) {
    EndModal(result);
  } else {
    ShowWindow(Handle(), SW_HIDE);
  }
}

void TfrmRunReport::ScrollToEnd() {
  const int length = GetWindowTextLengthW(Memo1);
  SendMessageW(Memo1, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(Memo1, EM_SCROLLCARET, 0, 0);
}

void TfrmRunReport::SetText(const std::wstring& text) {
  if (text == FText) return;
  if (text.compare(0, FText.size(), FText) != 0) {
    // Not the same lines and more (the run's hints came, or another run is shown): the text anew.
    FText = text;
    SetWindowTextW(Memo1, FText.c_str());
    ScrollToEnd();
    return;
  }
  // At the end when the last line is in view; then the new lines are followed.
  SCROLLINFO scroll{};
  scroll.cbSize = sizeof scroll;
  scroll.fMask = SIF_ALL;
  const bool atEnd =
      !GetScrollInfo(Memo1, SB_VERT, &scroll) || scroll.nPos + static_cast<int>(scroll.nPage) > scroll.nMax;
  const int firstLine = static_cast<int>(SendMessageW(Memo1, EM_GETFIRSTVISIBLELINE, 0, 0));
  DWORD selStart = 0, selEnd = 0;
  SendMessageW(Memo1, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
  const int length = GetWindowTextLengthW(Memo1);
  SendMessageW(Memo1, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(Memo1, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str() + FText.size()));
  FText = text;
  if (atEnd) {
    ScrollToEnd();
    return;
  }
  // Where the reader was, with what was selected.
  SendMessageW(Memo1, EM_SETSEL, selStart, static_cast<LPARAM>(selEnd));
  const int nowFirst = static_cast<int>(SendMessageW(Memo1, EM_GETFIRSTVISIBLELINE, 0, 0));
  SendMessageW(Memo1, EM_LINESCROLL, 0, firstLine - nowFirst);
}

void TfrmRunReport::ShowModeless() {
  ShowWindow(Handle(), IsIconic(Handle()) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(Handle());
  SetActiveWindow(Handle());
}
