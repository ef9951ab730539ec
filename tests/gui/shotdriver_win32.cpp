// Drives a running pellory.exe from outside for tools/screenshots.sh, as an operator would with the mouse:
//
//   pellory_shotdriver wait <caption> [seconds]            until a visible window with that caption exists
//   pellory_shotdriver gone <caption> [seconds]            until no visible window with that caption exists
//   pellory_shotdriver click <caption> <button> [seconds]  presses the button of that window
//   pellory_shotdriver menu <caption> <command id>         chooses a menu command of that window
//   pellory_shotdriver close <caption>                     closes that window as its close box does
//   pellory_shotdriver select <caption> <item>             picks the item of the window's combo box
//   pellory_shotdriver progress <caption> <percent> [seconds]  until the window's progress bar reaches it
//   pellory_shotdriver text <caption> <control id> <text> [seconds]  until that control shows the text
//   pellory_shotdriver station <caption> <runs> [seconds]   presses Start, answers Yes, and waits until
//                                                          that many runs have ended; prints the seconds
//   pellory_shotdriver adapter <port> <ms>                 puts an FTDI-type port device with that latency
//                                                          timer into the device tree (0: removes it)
//
// Clicks are posted, so a modal window that a click opens does not block the driver. Exit code 0 on
// success, 1 on a timeout or a window or button that is not there.
#include <windows.h>

#include <commctrl.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring Text(HWND hwnd) {
  wchar_t buffer[512] = {};
  GetWindowTextW(hwnd, buffer, 512);
  return buffer;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

struct TSearch {
  std::wstring Caption;
  HWND Found = nullptr;
};

HWND FindTopLevel(const std::wstring& caption) {
  TSearch search{caption};
  EnumWindows(
      [](HWND hwnd, LPARAM param) {
        auto* s = reinterpret_cast<TSearch*>(param);
        if (IsWindowVisible(hwnd) && Text(hwnd) == s->Caption) {
          s->Found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

HWND FindChild(HWND root, const std::wstring& className, const std::wstring& text) {
  struct TChild {
    std::wstring Class, Text;
    HWND Found = nullptr;
  } child{className, text};
  EnumChildWindows(
      root,
      [](HWND hwnd, LPARAM param) {
        auto* c = reinterpret_cast<TChild*>(param);
        if (lstrcmpiW(ClassOf(hwnd).c_str(), c->Class.c_str()) == 0 &&
            (c->Text.empty() || Text(hwnd) == c->Text) && IsWindowVisible(hwnd)) {
          c->Found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&child));
  return child.Found;
}

// Polls every 100 ms until `done` or the time is up: this program watches another one.
template <class F>
bool WaitFor(double seconds, F done) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() > deadline) return false;
    Sleep(100);
  }
}

std::wstring Arg(const std::vector<std::wstring>& args, size_t i) {
  return i < args.size() ? args[i] : L"";
}

double Seconds(const std::vector<std::wstring>& args, size_t i, double def) {
  return i < args.size() ? _wtof(args[i].c_str()) : def;
}

int Fail(const char* what, const std::wstring& detail) {
  std::fprintf(stderr, "pellory_shotdriver: %s: %ls\n", what, detail.c_str());
  return 1;
}

// The port devices named `port`, removed; with `ms`, one made anew whose driver keeps that latency timer.
int Adapter(const std::wstring& port, DWORD ms) {
  static const GUID kPorts = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  const HDEVINFO set = SetupDiGetClassDevsW(&kPorts, nullptr, nullptr, 0);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; set != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof(wchar_t);
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) continue;
    const bool named = RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name),
                                        &size) == ERROR_SUCCESS &&
                       port == name;
    RegCloseKey(key);
    if (named) SetupDiRemoveDevice(set, &device);
  }
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  if (ms == 0) return 0;
  const HDEVINFO made = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
  const wchar_t ids[] = L"FTDIBUS\\COMPORT&VID_0403&PID_6001\0";
  if (!SetupDiCreateDeviceInfoW(made, L"PELLORYSHOTS", &kPorts, L"USB Serial Port", nullptr, DICD_GENERATE_ID,
                                &device) ||
      !SetupDiRegisterDeviceInfo(made, &device, 0, nullptr, nullptr, nullptr)) {
    return Fail("no device made for", port);
  }
  SetupDiSetDeviceRegistryPropertyW(made, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids),
                                    sizeof ids);
  const HKEY key = SetupDiCreateDevRegKeyW(made, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                 static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
  RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ms), sizeof ms);
  RegCloseKey(key);
  SetupDiDestroyDeviceInfoList(made);
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  LocalFree(argv);
  const std::wstring verb = Arg(args, 0);
  const std::wstring caption = Arg(args, 1);

  if (verb == L"adapter") return Adapter(caption, static_cast<DWORD>(_wtoi(Arg(args, 2).c_str())));
  if (verb == L"wait") {
    return WaitFor(Seconds(args, 2, 30), [&] { return FindTopLevel(caption) != nullptr; })
               ? 0
               : Fail("no window", caption);
  }
  if (verb == L"gone") {
    return WaitFor(Seconds(args, 2, 30), [&] { return FindTopLevel(caption) == nullptr; })
               ? 0
               : Fail("window still there", caption);
  }
  if (verb == L"click") {
    HWND button = nullptr;
    const std::wstring text = Arg(args, 2);
    WaitFor(Seconds(args, 3, 30), [&] {
      HWND window = FindTopLevel(caption);
      button = window != nullptr ? FindChild(window, L"Button", text) : nullptr;
      return button != nullptr && IsWindowEnabled(button);
    });
    if (button == nullptr) return Fail("no button", caption + L" / " + text);
    PostMessageW(button, BM_CLICK, 0, 0);
    return 0;
  }
  if (verb == L"menu") {
    HWND window = FindTopLevel(caption);
    if (window == nullptr) return Fail("no window", caption);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(_wtoi(Arg(args, 2).c_str()), 0), 0);
    return 0;
  }
  if (verb == L"close") {
    HWND window = FindTopLevel(caption);
    if (window == nullptr) return Fail("no window", caption);
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
  }
  if (verb == L"select") {
    HWND window = FindTopLevel(caption);
    HWND combo = window != nullptr ? FindChild(window, L"ComboBox", L"") : nullptr;
    if (combo == nullptr) return Fail("no combo box", caption);
    const std::wstring item = Arg(args, 2);
    return SendMessageW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(item.c_str())) >= 0
               ? 0
               : Fail("no such item", item);
  }
  if (verb == L"progress") {
    const int percent = _wtoi(Arg(args, 2).c_str());
    return WaitFor(Seconds(args, 3, 120),
                   [&] {
                     HWND window = FindTopLevel(caption);
                     HWND bar = window != nullptr ? FindChild(window, PROGRESS_CLASSW, L"") : nullptr;
                     return bar != nullptr && SendMessageW(bar, PBM_GETPOS, 0, 0) >= percent;
                   })
               ? 0
               : Fail("progress not reached", caption);
  }
  if (verb == L"text") {
    const int id = _wtoi(Arg(args, 2).c_str());
    const std::wstring text = Arg(args, 3);
    return WaitFor(Seconds(args, 4, 120),
                   [&] {
                     HWND window = FindTopLevel(caption);
                     HWND control = window != nullptr ? GetDlgItem(window, id) : nullptr;
                     return control != nullptr && Text(control) == text;
                   })
               ? 0
               : Fail("text not shown", caption + L" / " + text);
  }
  if (verb == L"station") {
    // The station window's counters (ui/uStation_win32.h): completed, failed or cancelled, running.
    constexpr int kCompleted = 301, kFailed = 303, kRunning = 305;
    const int runs = _wtoi(Arg(args, 2).c_str());
    HWND window = FindTopLevel(caption);
    HWND start = window != nullptr ? FindChild(window, L"Button", L"Start") : nullptr;
    if (start == nullptr) return Fail("no Start button", caption);
    PostMessageW(start, BM_CLICK, 0, 0);
    HWND yes = nullptr;
    if (!WaitFor(30, [&] {
          HWND confirm = FindTopLevel(L"Confirm");
          yes = confirm != nullptr ? FindChild(confirm, L"Button", L"Yes") : nullptr;
          return yes != nullptr;
        })) {
      return Fail("no question", L"Confirm");
    }
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    PostMessageW(yes, BM_CLICK, 0, 0);
    auto number = [&](int id) { return _wtoi(Text(GetDlgItem(window, id)).c_str()); };
    // One counter polled every 100 ms: the end is known to a tenth of a second, and the window is asked
    // as little as its own timer wakes it.
    if (!WaitFor(30, [&] { return number(kRunning) > 0; }) ||
        !WaitFor(Seconds(args, 3, 600), [&] { return number(kRunning) == 0; })) {
      return Fail("runs not ended", caption);
    }
    QueryPerformanceCounter(&end);
    if (number(kCompleted) + number(kFailed) < runs) return Fail("fewer runs ended", caption);
    std::printf("%.2f\n", static_cast<double>(end.QuadPart - begin.QuadPart) / frequency.QuadPart);
    return 0;
  }
  return Fail("unknown command", verb);
}
