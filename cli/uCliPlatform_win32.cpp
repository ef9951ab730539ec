#include <windows.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "cli/uStation.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "run/uWinTools1V4.h"
#include "station/uProcess.h"

namespace {

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  // The second Ctrl-C falls through to the default handler, which ends the process.
  if (CliInterrupted.exchange(true)) return FALSE;
  CancelRequested = true;
  return TRUE;
}

UINT gConsoleOutputCp = 0;

void RestoreConsoleOutputCp() {
  SetConsoleOutputCP(gConsoleOutputCp);
}

// Set when the station has written its summary; a closing console waits for it.
HANDLE gStationDone = nullptr;

BOOL WINAPI OnStationControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      StationInterrupts.fetch_add(1);
      WakeProcessPoll();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns, or about 5 s from now: cancel, and hold the end back until the
      // station has killed what did not stop and written its summary.
      StationClosing = true;
      StationInterrupts.fetch_add(1);
      WakeProcessPoll();
      if (gStationDone != nullptr) WaitForSingleObject(gStationDone, 4500);
      return TRUE;
    default:
      return FALSE;
  }
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

int TerminalRows(TStdStream stream) {
  const DWORD id = stream == TStdStream::In    ? STD_INPUT_HANDLE
                   : stream == TStdStream::Out ? STD_OUTPUT_HANDLE
                                               : STD_ERROR_HANDLE;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(id), &info)) return 0;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

void InstallInterruptHandler() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// Console control handlers run on a thread of their own, so the workers need no shielding here.
TCommThread* CreateCliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  return DefaultCommThreadClass()(hWindow, cmd, sPort);
}

void InstallStationInterruptHandler() {
  gStationDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnStationControl, TRUE);
}

void StationFinished() {
  if (gStationDone != nullptr) SetEvent(gStationDone);
}

bool ReadAnswerLine(std::string& line) {
  // Ctrl-C ends a console read at once; the handler has counted it by then or does so right after.
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  return read && !CliInterrupted && StationInterrupts.load() == 0;
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

void EnableTerminalRedraw() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> args = ProcessParamsUtf8();
  args.erase(args.begin());  // the program
  // Texts inside are UTF-8; the console is told so for as long as the program runs, and given back its
  // own code page at the end.
  gConsoleOutputCp = GetConsoleOutputCP();
  if (gConsoleOutputCp != 0 && gConsoleOutputCp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
    std::atexit(RestoreConsoleOutputCp);
  return args;
}
