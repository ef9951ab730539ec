#include "ui/uForms_win32.h"

#include <commctrl.h>

#include <exception>
#include <vector>

std::function<void(HWND)> ModalShownHook;

namespace {

constexpr wchar_t kFormClass[] = L"PelloryForm";
constexpr wchar_t kPanelClass[] = L"PelloryPanel";
constexpr wchar_t kBevelClass[] = L"PelloryBevel";

// Posted to a modal form once its loop runs, so the hook sees it shown and answerable.
constexpr UINT kModalShown = WM_APP + 0x100;
// Posted to the application window when it was activated: hand the activation to the form that had it.
constexpr UINT kActivateForm = WM_APP + 0x101;

bool gBusy = false;
bool gActive = false;
ATOM gFormAtom = 0;

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

HICON ProgramIcon(int size) {
  // The program's own icon is resource 1; a test program without one gets the stock icon.
  auto icon = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
  return icon != nullptr ? icon : LoadIconW(nullptr, IDI_APPLICATION);
}

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
      // The form handles its controls' notifications, wherever the controls sit.
      return SendMessageW(GetParent(hwnd), msg, wParam, lParam);
    default:
      return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

LRESULT CALLBACK BevelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    // An etched top line: shadow above, highlight below.
    DrawEdge(dc, &rc, EDGE_ETCHED, BF_TOP);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void RegisterClasses(WNDPROC formProc) {
  if (gFormAtom != 0) return;
  EnsureCommonControls();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);

  wc.lpfnWndProc = PanelProc;
  wc.lpszClassName = kPanelClass;
  RegisterClassExW(&wc);

  wc.lpfnWndProc = BevelProc;
  wc.lpszClassName = kBevelClass;
  RegisterClassExW(&wc);

  wc.lpfnWndProc = formProc;
  wc.lpszClassName = kFormClass;
  wc.hIcon = ProgramIcon(GetSystemMetrics(SM_CXICON));
  wc.hIconSm = ProgramIcon(GetSystemMetrics(SM_CXSMICON));
  gFormAtom = RegisterClassExW(&wc);
}

bool IsPushButton(HWND hwnd) {
  wchar_t name[16] = {};
  if (hwnd == nullptr || GetClassNameW(hwnd, name, 16) == 0 || lstrcmpiW(name, L"Button") != 0) return false;
  const LONG_PTR type = GetWindowLongPtrW(hwnd, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

bool IsDroppedCombo(HWND focus) {
  // The focus of an editable combo box is its edit field, a child of the box.
  for (HWND w = focus; w != nullptr; w = GetParent(w)) {
    wchar_t name[16] = {};
    if (GetClassNameW(w, name, 16) != 0 && lstrcmpiW(name, L"ComboBox") == 0) {
      return SendMessageW(w, CB_GETDROPPEDSTATE, 0, 0) != 0;
    }
    if ((GetWindowLongPtrW(w, GWL_STYLE) & WS_CHILD) == 0) break;
  }
  return false;
}

bool HandleNavigationKey(const MSG& msg) {
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  TForm* form = TForm::FromHandle(root);
  if (form == nullptr) return false;
  const bool ctrl = GetKeyState(VK_CONTROL) < 0;
  const bool alt = GetKeyState(VK_MENU) < 0;
  HWND focus = GetFocus();
  switch (msg.wParam) {
    case VK_TAB: {
      if (ctrl || alt) return false;
      HWND start = (focus != nullptr && IsChild(root, focus)) ? focus : nullptr;
      if (HWND next = GetNextDlgTabItem(root, start, GetKeyState(VK_SHIFT) < 0)) SetFocus(next);
      return true;
    }
    case VK_RETURN:
      if (ctrl || alt || IsDroppedCombo(focus)) return false;
      if (IsPushButton(focus) && IsChild(root, focus)) {
        SendMessageW(focus, BM_CLICK, 0, 0);
        return true;
      }
      form->OnEnterKey();
      return true;
    case VK_ESCAPE:
      if (IsDroppedCombo(focus) || !form->TakesEscape()) return false;
      form->OnEscapeKey();
      return true;
    default:
      return false;
  }
}

struct TDisabledWindows {
  HWND Keep;
  std::vector<HWND> Windows;
};

BOOL CALLBACK DisableOne(HWND hwnd, LPARAM param) {
  auto* list = reinterpret_cast<TDisabledWindows*>(param);
  // The application window stays enabled, so its taskbar button still brings the modal form forward.
  if (hwnd != list->Keep && hwnd != Application().Handle() && IsWindowVisible(hwnd) &&
      IsWindowEnabled(hwnd)) {
    EnableWindow(hwnd, FALSE);
    list->Windows.push_back(hwnd);
  }
  return TRUE;
}

struct TFindModal {
  HWND Found = nullptr;
};

BOOL CALLBACK FindModalForm(HWND hwnd, LPARAM param) {
  TForm* form = TForm::FromHandle(hwnd);
  if (form != nullptr && form->IsModal() && IsWindowVisible(hwnd)) {
    reinterpret_cast<TFindModal*>(param)->Found = hwnd;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

void EnsureCommonControls() {
  static const bool done = [] {
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES |
                                                               ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES |
                                                               ICC_TAB_CLASSES};
    return InitCommonControlsEx(&icc) != FALSE;
  }();
  (void)done;
}

TFontHandle MakeFont(const wchar_t* face, int height, int dpi, int designDpi) {
  // A negative height asks for the character height, internal leading excluded.
  return TFontHandle(CreateFontW(-MulDiv(height, dpi, designDpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                 DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH | FF_DONTCARE, face));
}

void SetAppBusy(bool busy) {
  gBusy = busy;
  // Show the new cursor at once if the mouse rests on one of our windows, not only at its next move.
  POINT p;
  if (!GetCursorPos(&p)) return;
  HWND under = WindowFromPoint(p);
  if (under == nullptr || TForm::FromHandle(GetAncestor(under, GA_ROOT)) == nullptr) return;
  const auto hit = static_cast<WORD>(SendMessageW(under, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y)));
  SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(hit, WM_MOUSEMOVE));
}

bool AppBusy() {
  return gBusy;
}

bool ApplicationActive() {
  return gActive;
}

void DispatchFormMessage(MSG& msg) {
  if (msg.message == WM_KEYDOWN && HandleNavigationKey(msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

int RunMessageLoop(const std::function<void()>& onIdle) {
  MSG msg;
  for (;;) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
      DispatchFormMessage(msg);
    }
    if (onIdle) onIdle();
    WaitMessage();
  }
}

RECT MonitorRect(HWND hwnd) {
  HMONITOR monitor = hwnd != nullptr ? MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY)
                                     : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (!GetMonitorInfoW(monitor, &info)) {
    return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }
  return info.rcMonitor;
}

HWND CreatePanel(HWND parent, int id) {
  return CreateWindowExW(WS_EX_CONTROLPARENT, kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0,
                         0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(),
                         nullptr);
}

HWND CreateTopLineBevel(HWND parent, int id) {
  return CreateWindowExW(0, kBevelClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
}

// ---- TForm

TForm::TForm(int designDpi) : FDesignDpi(designDpi) {}

TForm::~TForm() {
  DestroyHandle();
}

void TForm::DestroyHandle() {
  if (FHandle != nullptr) {
    HWND hwnd = FHandle;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    FHandle = nullptr;
    DestroyWindow(hwnd);
  }
}

TForm* TForm::FromHandle(HWND hwnd) {
  if (hwnd == nullptr || gFormAtom == 0) return nullptr;
  if (static_cast<ATOM>(GetClassLongPtrW(hwnd, GCW_ATOM)) != gFormAtom) return nullptr;
  return reinterpret_cast<TForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

void TForm::CreateHandle(const std::wstring& caption, DWORD style, DWORD exStyle, HWND owner, HMENU menu) {
  RegisterClasses(StaticWndProc);
  CreateWindowExW(exStyle, kFormClass, caption.c_str(), style, 0, 0, 0, 0, owner, menu, Instance(), this);
}

LRESULT CALLBACK TForm::StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* form = static_cast<TForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    form->FHandle = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  TForm* form = reinterpret_cast<TForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (form == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
  try {
    const LRESULT result = form->WndProc(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      form->FHandle = nullptr;
    }
    return result;
  } catch (const std::exception& e) {
    // Nothing may unwind through the system's frames: the general error report, then carry on. The
    // runtime's texts, and file names inside ours, are in the ANSI code page.
    MessageBoxW(hwnd, AnsiToWide(e.what()).c_str(), Application().Title().c_str(), MB_OK | MB_ICONERROR);
    return 0;
  }
}

LRESULT TForm::Default(UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(FHandle, msg, wParam, lParam);
}

LRESULT TForm::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CREATE:
      FDpi = static_cast<int>(GetDpiForWindow(FHandle));
      if (FDpi <= 0) FDpi = 96;
      OnCreate();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_COMMAND:
      if (OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam))) return 0;
      break;
    case WM_SIZE:
      OnSize();
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_SETCURSOR:
      return HandleSetCursor(wParam, lParam);
    case WM_ACTIVATE:
      return HandleActivate(wParam, lParam);
    case WM_CTLCOLORSTATIC:
      return HandleCtlColorStatic(wParam, lParam);
    case WM_ACTIVATEAPP:
      gActive = wParam != FALSE;
      break;
    case WM_DPICHANGED:
      return HandleDpiChanged(wParam, lParam);
    case kModalShown:
      if (FModal && ModalShownHook) ModalShownHook(FHandle);
      return 0;
    default:
      break;
  }
  return Default(msg, wParam, lParam);
}

bool TForm::OnCommand(int, int, HWND) {
  return false;
}

void TForm::OnClose() {
  if (FModal) {
    EndModal(IDCANCEL);
  } else {
    ShowWindow(FHandle, SW_HIDE);
  }
}

void TForm::OnEscapeKey() {
  if (FModal) EndModal(IDCANCEL);
}

LRESULT TForm::HandleSetCursor(WPARAM wParam, LPARAM lParam) {
  if (gBusy) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    return TRUE;
  }
  return Default(WM_SETCURSOR, wParam, lParam);
}

LRESULT TForm::HandleDpiChanged(WPARAM wParam, LPARAM lParam) {
  FDpi = HIWORD(wParam);
  const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
  SetWindowPos(FHandle, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
               suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  // After the move: a form that sizes itself from its contents corrects the suggested size.
  OnDpiChanged();
  return 0;
}

LRESULT TForm::HandleActivate(WPARAM wParam, LPARAM lParam) {
  // A plain window does not keep its focused control across activations as a dialog does.
  if (LOWORD(wParam) == WA_INACTIVE) {
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(FHandle, focus)) FActiveControl = focus;
    return Default(WM_ACTIVATE, wParam, lParam);
  }
  if (HIWORD(wParam) != 0) return Default(WM_ACTIVATE, wParam, lParam);  // minimised
  HWND target = FActiveControl;
  if (target == nullptr || !IsWindow(target) || !IsWindowVisible(target) || !IsWindowEnabled(target)) {
    target = GetNextDlgTabItem(FHandle, nullptr, FALSE);
  }
  if (target == nullptr) return Default(WM_ACTIVATE, wParam, lParam);
  SetFocus(target);
  return 0;
}

LRESULT TForm::HandleCtlColorStatic(WPARAM wParam, LPARAM lParam) {
  // Read-only memos keep the window colour of an editable one; only the caret is missing.
  auto control = reinterpret_cast<HWND>(lParam);
  wchar_t name[16] = {};
  if (GetClassNameW(control, name, 16) != 0 && lstrcmpiW(name, L"Edit") == 0 &&
      (GetWindowLongPtrW(control, GWL_STYLE) & ES_READONLY) != 0) {
    auto dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }
  return Default(WM_CTLCOLORSTATIC, wParam, lParam);
}

void TForm::SetActiveControl(HWND control) {
  FActiveControl = control;
  if (GetActiveWindow() == FHandle && control != nullptr) SetFocus(control);
}

HWND TForm::CreateControl(const wchar_t* className, const std::wstring& text, DWORD style, int id,
                          HWND parent, DWORD exStyle) {
  return CreateWindowExW(exStyle, className, text.c_str(), WS_CHILD | style, 0, 0, 0, 0,
                         parent != nullptr ? parent : FHandle,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
}

void TForm::Place(HWND control, int left, int top, int width, int height) const {
  MoveWindow(control, S(left), S(top), S(width), S(height), TRUE);
}

RECT TForm::Bounds() const {
  RECT rc{};
  GetWindowRect(FHandle, &rc);
  return rc;
}

void TForm::SetBounds(int left, int top, int width, int height) {
  SetWindowPos(FHandle, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetClientSize(int width, int height) {
  // The frame and the menu bar as they really are, not as a metric predicts. A window that has no size yet
  // shows no frame to measure, so a second pass corrects the first.
  for (int pass = 0; pass < 2; ++pass) {
    RECT outer = Bounds();
    RECT client{};
    GetClientRect(FHandle, &client);
    if (client.right == width && client.bottom == height) return;
    const int frameW = (outer.right - outer.left) - client.right;
    const int frameH = (outer.bottom - outer.top) - client.bottom;
    SetWindowPos(FHandle, nullptr, 0, 0, width + frameW, height + frameH,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TForm::CenterOnScreen() {
  const RECT screen = MonitorRect(FHandle);
  const RECT outer = Bounds();
  const int w = outer.right - outer.left;
  const int h = outer.bottom - outer.top;
  SetBounds(screen.left + (screen.right - screen.left - w) / 2,
            screen.top + (screen.bottom - screen.top - h) / 2, w, h);
}

int TForm::ShowModal() {
  HWND previous = GetActiveWindow();
  TDisabledWindows disabled{FHandle, {}};
  EnumThreadWindows(GetCurrentThreadId(), DisableOne, reinterpret_cast<LPARAM>(&disabled));
  FModal = true;
  FModalResult = 0;
  EnableWindow(FHandle, TRUE);
  ShowWindow(FHandle, SW_SHOW);
  SetForegroundWindow(FHandle);
  SetActiveWindow(FHandle);
  if (FActiveControl != nullptr) SetFocus(FActiveControl);
  PostMessageW(FHandle, kModalShown, 0, 0);
  MSG msg;
  while (FModalResult == 0 && FHandle != nullptr && IsWindow(FHandle)) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      // The program is ending: leave the quit request for the outer loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      if (FModalResult == 0) FModalResult = IDCANCEL;
      break;
    }
    DispatchFormMessage(msg);
  }
  // Enable the others before hiding, so the activation goes back to them and not to another program.
  for (HWND hwnd : disabled.Windows) {
    if (IsWindow(hwnd)) EnableWindow(hwnd, TRUE);
  }
  if (FHandle != nullptr) ShowWindow(FHandle, SW_HIDE);
  if (previous != nullptr && previous != FHandle && IsWindow(previous) && IsWindowVisible(previous)) {
    SetActiveWindow(previous);
  }
  FModal = false;
  return FModalResult;
}

void TForm::EndModal(int result) {
  FModalResult = result != 0 ? result : IDCANCEL;
}

// ---- TApplicationWindow

TApplicationWindow::TApplicationWindow() {
  // Zero size: only its taskbar button is ever seen.
  CreateHandle(L"Pellory", WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX, 0, nullptr);
  const RECT screen = MonitorRect(nullptr);
  SetWindowPos(Handle(), nullptr, (screen.left + screen.right) / 2, (screen.top + screen.bottom) / 2, 0, 0,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void TApplicationWindow::SetTitle(const std::wstring& title) {
  SetWindowTextW(Handle(), title.c_str());
}

std::wstring TApplicationWindow::Title() const {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(Handle())) + 1, L'\0');
  const int n = GetWindowTextW(Handle(), text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return text;
}

void TApplicationWindow::ShowButton() {
  ShowWindow(Handle(), SW_SHOWNA);
}

void TApplicationWindow::Minimize() {
  ShowWindow(Handle(), SW_MINIMIZE);
}

void TApplicationWindow::OnClose() {
  // "Close window" on the taskbar button closes the program the way the main window does.
  if (FMainForm != nullptr) PostMessageW(FMainForm, WM_CLOSE, 0, 0);
}

LRESULT TApplicationWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !IsIconic(Handle())) PostMessageW(Handle(), kActivateForm, 0, 0);
      break;
    case WM_SIZE:
      // The forms go and come back with the taskbar button, as owned windows of a minimised owner do.
      if (wParam == SIZE_MINIMIZED) {
        ShowOwnedPopups(Handle(), FALSE);
      } else if (wParam == SIZE_RESTORED) {
        ShowOwnedPopups(Handle(), TRUE);
      }
      return 0;
    case kActivateForm: {
      if (GetActiveWindow() != Handle()) return 0;
      HWND target = GetLastActivePopup(Handle());
      if (target == Handle() || !IsWindowVisible(target) || !IsWindowEnabled(target)) {
        TFindModal modal;
        EnumThreadWindows(GetCurrentThreadId(), FindModalForm, reinterpret_cast<LPARAM>(&modal));
        target = modal.Found != nullptr ? modal.Found : FMainForm;
      }
      if (target != nullptr && IsWindowVisible(target) && IsWindowEnabled(target)) SetActiveWindow(target);
      return 0;
    }
    default:
      break;
  }
  return TForm::WndProc(msg, wParam, lParam);
}

TApplicationWindow& Application() {
  // Never destroyed: forms may still be torn down after the end of the program body.
  static TApplicationWindow* application = new TApplicationWindow;
  return *application;
}
