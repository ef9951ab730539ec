#include <windows.h>

#include <thread>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "cli/uStation.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "device/uWinText_win32.h"

namespace {

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  // The second Ctrl-C falls through to the default handler, which ends the process.
  if (CliInterrupted.exchange(true)) return FALSE;
  CancelRequested = true;
  return TRUE;
}

BOOL WINAPI OnStationControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  StationInterrupts.fetch_add(1);
  return TRUE;
}

}  // namespace

bool IsTerminal(TStdStream stream) {
  // _isatty is true for every character device, NUL included; only a console has a console mode.
  const DWORD id = stream == TStdStream::In    ? STD_INPUT_HANDLE
                   : stream == TStdStream::Out ? STD_OUTPUT_HANDLE
                                               : STD_ERROR_HANDLE;
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(id), &mode) != 0;
}

int TerminalColumns(TStdStream stream) {
  const DWORD id = stream == TStdStream::In    ? STD_INPUT_HANDLE
                   : stream == TStdStream::Out ? STD_OUTPUT_HANDLE
                                               : STD_ERROR_HANDLE;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(id), &info)) return 0;
  // The visible window, not the buffer, which is often far wider.
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void InstallInterruptHandler() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// Console control handlers run on a thread of their own, so the workers need no shielding here.
TCommThread* CreateCliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  return DefaultCommThreadClass()(hWindow, cmd, sPort);
}

void InstallStationInterruptHandler() {
  SetConsoleCtrlHandler(OnStationControl, TRUE);
}

void CancelOnStdin() {
  std::thread([] {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char c = 0;
    DWORD n = 0;
    while (ReadFile(in, &c, 1, &n, nullptr) && n == 1 && c != '\n') {
    }
    CancelRequested = true;
    CliInterrupted = true;
  }).detach();
}

bool SyncFileToDisk(const std::string& path) {
  const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return ok;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
  return MoveFileExW(ToWide(from).c_str(), ToWide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void EnableTerminalRedraw() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}
