#include "ui/uProtocol_win32.h"

#include "run/uRunControl.h"

std::unique_ptr<TfrmProtocol> frmProtocol;

namespace {

constexpr int kDesignClientWidth = 454;
constexpr int kDesignClientHeight = 141;

}  // namespace

TfrmProtocol::TfrmProtocol() {
  // Sizeable, but without system menu and caption buttons: the program never closes it.
  CreateHandle(L"Report", WS_OVERLAPPED | WS_CAPTION | WS_THICKFRAME | WS_CLIPCHILDREN, 0,
               Application().Handle());
  FormCreate();
}

void TfrmProtocol::OnCreate() {
  Memo1 = CreateControl(L"EDIT", L"",
                        WS_VISIBLE | WS_TABSTOP | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                            ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_NOHIDESEL,
                        100, nullptr, WS_EX_CLIENTEDGE);
  // The default limit of about 32K characters would silently stop the report in a long run.
  SendMessageW(Memo1, EM_SETLIMITTEXT, 0, 0);
  OnDpiChanged();
  SetClientSize(S(kDesignClientWidth), S(kDesignClientHeight));
}

void TfrmProtocol::OnDpiChanged() {
  FFont = MakeFont(L"MS Sans Serif", 10, Dpi());
  SendMessageW(Memo1, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), TRUE);
}

void TfrmProtocol::FormCreate() {
  // Directly under the main window and as wide; from then on the main window keeps it docked.
  RECT main{};
  if (HWND mainForm = Application().MainForm()) GetWindowRect(mainForm, &main);
  const RECT own = Bounds();
  SetBounds(main.left, main.bottom, main.right - main.left, own.bottom - own.top);
  Clear();
}

void TfrmProtocol::OnSize() {
  RECT client{};
  GetClientRect(Handle(), &client);
  MoveWindow(Memo1, 0, 0, client.right, client.bottom, TRUE);
}

void TfrmProtocol::Add(const std::string& sLine) {
  const std::wstring line = ToWide(ReportLine(sLine));
  const int length = GetWindowTextLengthW(Memo1);
  const std::wstring piece = length > 0 ? L"\r\n" + line : line;
  SendMessageW(Memo1, EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
  SendMessageW(Memo1, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece.c_str()));
  // The caret goes to the start of the new line: the newest line is in view, from its time stamp on.
  const auto last = static_cast<WPARAM>(SendMessageW(Memo1, EM_GETLINECOUNT, 0, 0) - 1);
  const LRESULT start = SendMessageW(Memo1, EM_LINEINDEX, last, 0);
  SendMessageW(Memo1, EM_SETSEL, static_cast<WPARAM>(start), start);
  SendMessageW(Memo1, EM_SCROLLCARET, 0, 0);
}

void TfrmProtocol::Clear() {
  SetWindowTextW(Memo1, L"");
}

int TfrmProtocol::LineCount() const {
  if (GetWindowTextLengthW(Memo1) == 0) return 0;
  return static_cast<int>(SendMessageW(Memo1, EM_GETLINECOUNT, 0, 0));
}

std::wstring TfrmProtocol::Line(int index) const {
  const LRESULT start = SendMessageW(Memo1, EM_LINEINDEX, static_cast<WPARAM>(index), 0);
  if (start < 0) return {};
  const auto length = static_cast<size_t>(SendMessageW(Memo1, EM_LINELENGTH, static_cast<WPARAM>(start), 0));
  // EM_GETLINE takes the buffer size in its first word and needs room for at least that word.
  std::wstring buffer(length + 2, L'\0');
  buffer[0] = static_cast<wchar_t>(length + 1);
  const auto copied = static_cast<size_t>(
      SendMessageW(Memo1, EM_GETLINE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data())));
  buffer.resize(copied < length ? copied : length);
  return buffer;
}
