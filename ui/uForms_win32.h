// The small window framework under the program's forms: a form base class with one handler per message,
// the application window that carries the taskbar button and title, modal showing, the busy cursor, and
// the message loop with keyboard navigation.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "device/uWinText_win32.h"

// Loads comctl32's classes once.
void EnsureCommonControls();

struct TFontDeleter {
  void operator()(HFONT font) const {
    if (font != nullptr) DeleteObject(font);
  }
};
using TFontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, TFontDeleter>;

// A font of `height` pixels character height (without internal leading) at `dpi`, laid out at `designDpi`.
TFontHandle MakeFont(const wchar_t* face, int height, int dpi, int designDpi = 96);

// Called with every modal window of the program once it is shown and its modal loop runs. An automated
// driver (the GUI tests, the screenshot driver) answers the window through it; unset in normal use.
extern std::function<void(HWND)> ModalShownHook;

// The application-wide hourglass over every window of the program.
void SetAppBusy(bool busy);
bool AppBusy();
// True while one of the program's windows is the active window of the system.
bool ApplicationActive();

// Dispatches one message, giving the program's forms keyboard navigation (Tab, Enter on a button, Escape
// in modal forms). IsDialogMessage is not used: it sends DM_GETDEFID, which is WM_USER, the worker events'
// message, and would reach the main window as a false event.
void DispatchFormMessage(MSG& msg);
// Runs until WM_QUIT; `onIdle` runs whenever the queue has run empty.
int RunMessageLoop(const std::function<void()>& onIdle);

class TForm {
 public:
  virtual ~TForm();
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;

  HWND Handle() const { return FHandle; }
  int Dpi() const { return FDpi; }

  // Outer rectangle in screen coordinates.
  RECT Bounds() const;
  void SetBounds(int left, int top, int width, int height);
  void SetClientSize(int width, int height);
  void CenterOnScreen();

  // The control that gets the focus whenever the form is activated (until the operator moves it).
  void SetActiveControl(HWND control);

  // Shows the form modally: the program's other windows are disabled until EndModal.
  int ShowModal();
  void EndModal(int result);
  bool IsModal() const { return FModal; }

  // Enter with no push button focused, Escape while modal (from the message loop's keyboard handling).
  virtual void OnEnterKey() {}
  virtual void OnEscapeKey();
  // Whether Escape goes to OnEscapeKey: in a modal form, and in a modeless one that closes on it.
  virtual bool TakesEscape() const { return FModal; }

  // The form behind a window handle of this framework, else null.
  static TForm* FromHandle(HWND hwnd);

 protected:
  explicit TForm(int designDpi = 96);
  // Destroys the window without calling back into the form (derived destructors call it first, so that
  // no message reaches a half-destroyed form).
  void DestroyHandle();
  // Creates the window; OnCreate runs inside.
  void CreateHandle(const std::wstring& caption, DWORD style, DWORD exStyle, HWND owner,
                    HMENU menu = nullptr);

  virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Default(UINT msg, WPARAM wParam, LPARAM lParam);

  virtual void OnCreate() {}
  virtual void OnDestroy() {}
  // WM_COMMAND from a control or a menu item; true when handled.
  virtual bool OnCommand(int id, int code, HWND control);
  virtual void OnSize() {}
  virtual void OnClose();
  // The DPI changed and the window took the suggested rectangle: fonts and layout anew.
  virtual void OnDpiChanged() {}

  // Design pixels to device pixels.
  int S(int value) const { return MulDiv(value, FDpi, FDesignDpi); }
  HWND CreateControl(const wchar_t* className, const std::wstring& text, DWORD style, int id, HWND parent,
                     DWORD exStyle = 0);
  // Places a control by design coordinates relative to its parent.
  void Place(HWND control, int left, int top, int width, int height) const;

 private:
  static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT HandleSetCursor(WPARAM wParam, LPARAM lParam);
  LRESULT HandleDpiChanged(WPARAM wParam, LPARAM lParam);
  LRESULT HandleActivate(WPARAM wParam, LPARAM lParam);
  LRESULT HandleCtlColorStatic(WPARAM wParam, LPARAM lParam);

  HWND FHandle = nullptr;
  int FDpi = 96;
  int FDesignDpi;
  HWND FActiveControl = nullptr;
  bool FModal = false;
  int FModalResult = 0;
};

// A child window that holds controls and hands their notifications to the form (Panel1).
HWND CreatePanel(HWND parent, int id);
// A bevel that draws an etched line along its top edge (Bevel1).
HWND CreateTopLineBevel(HWND parent, int id);

// The hidden application window: it owns every form, so only it has a taskbar button, whose text is the
// application title; the main window keeps its own caption.
class TApplicationWindow : public TForm {
 public:
  TApplicationWindow();
  void SetTitle(const std::wstring& title);
  std::wstring Title() const;
  void SetMainForm(HWND mainForm) { FMainForm = mainForm; }
  HWND MainForm() const { return FMainForm; }
  // Makes the taskbar button appear (with the main window).
  void ShowButton();
  void Minimize();

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
  void OnClose() override;

 private:
  HWND FMainForm = nullptr;
};

TApplicationWindow& Application();

// The screen rectangle of the monitor a window is on (the primary one before it has a window).
RECT MonitorRect(HWND hwnd);
