#include "ui/uConfirm_win32.h"

#include <algorithm>

namespace {

constexpr int kMargin = 16;
constexpr int kGap = 12;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kButtonSpacing = 8;
constexpr int kMaxTextWidth = 420;

TFontHandle MessageFont(int dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                 static_cast<UINT>(dpi))) {
    return TFontHandle(CreateFontIndirectW(&metrics.lfMessageFont));
  }
  return MakeFont(L"Tahoma", 11, dpi);
}

}  // namespace

TfrmConfirm::TfrmConfirm(const std::wstring& question, TDefault answer)
    : FQuestion(question), FDefault(answer) {
  CreateHandle(L"Confirm", WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_EX_DLGMODALFRAME, Application().Handle());
}

void TfrmConfirm::OnCreate() {
  imgIcon = CreateControl(L"STATIC", L"", WS_VISIBLE | SS_ICON, 100, nullptr);
  lblQuestion = CreateControl(L"STATIC", FQuestion, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 101, nullptr);
  const DWORD yes = FDefault == TDefault::Yes ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
  const DWORD no = FDefault == TDefault::No ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
  btnYes = CreateControl(L"BUTTON", L"Yes", WS_VISIBLE | WS_TABSTOP | yes, IDYES, nullptr);
  btnNo = CreateControl(L"BUTTON", L"No", WS_VISIBLE | WS_TABSTOP | no, IDNO, nullptr);
  Layout();
}

void TfrmConfirm::OnDpiChanged() {
  Layout();
}

void TfrmConfirm::Layout() {
  FFont = MessageFont(Dpi());
  for (HWND control : {lblQuestion, btnYes, btnNo}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
  }
  const int iconSize = GetSystemMetricsForDpi(SM_CXICON, static_cast<UINT>(Dpi()));
  // Shared system icons are never destroyed.
  auto icon = static_cast<HICON>(
      LoadImageW(nullptr, MAKEINTRESOURCEW(32514 /* OIC_QUES */), IMAGE_ICON, iconSize, iconSize, LR_SHARED));
  if (icon == nullptr) icon = LoadIconW(nullptr, IDI_QUESTION);
  SendMessageW(imgIcon, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);

  // The text decides the size: measured with the font it is drawn in.
  RECT text{0, 0, S(kMaxTextWidth), 0};
  HDC dc = GetDC(Handle());
  HGDIOBJ previous = SelectObject(dc, FFont.get());
  DrawTextW(dc, FQuestion.c_str(), static_cast<int>(FQuestion.size()), &text,
            DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, previous);
  ReleaseDC(Handle(), dc);

  const int margin = S(kMargin);
  const int textLeft = margin + iconSize + S(kGap);
  const int textHeight = std::max<int>(text.bottom, iconSize);
  const int buttonsWidth = 2 * S(kButtonWidth) + S(kButtonSpacing);
  const int clientWidth = std::max<int>(textLeft + text.right + margin, buttonsWidth + 2 * margin);
  const int buttonsTop = margin + textHeight + S(kGap);
  const int clientHeight = buttonsTop + S(kButtonHeight) + margin;

  MoveWindow(imgIcon, margin, margin, iconSize, iconSize, TRUE);
  MoveWindow(lblQuestion, textLeft, margin + (textHeight - text.bottom) / 2, text.right, text.bottom, TRUE);
  const int buttonsLeft = (clientWidth - buttonsWidth) / 2;
  MoveWindow(btnYes, buttonsLeft, buttonsTop, S(kButtonWidth), S(kButtonHeight), TRUE);
  MoveWindow(btnNo, buttonsLeft + S(kButtonWidth) + S(kButtonSpacing), buttonsTop, S(kButtonWidth),
             S(kButtonHeight), TRUE);
  SetClientSize(clientWidth, clientHeight);

  CenterOnScreen();  // like the system's own message dialogs
}

bool TfrmConfirm::OnCommand(int id, int, HWND) {
  if (id == IDYES || id == IDNO) {
    EndModal(id);
    return true;
  }
  return false;
}

void TfrmConfirm::OnClose() {
  EndModal(IDNO);
}

void TfrmConfirm::OnEscapeKey() {
  EndModal(IDNO);
}

bool TfrmConfirm::Ask(const std::wstring& question, TDefault answer) {
  TfrmConfirm dialog(question, answer);
  dialog.SetActiveControl(answer == TDefault::Yes ? dialog.btnYes : dialog.btnNo);
  return dialog.ShowModal() == IDYES;
}
