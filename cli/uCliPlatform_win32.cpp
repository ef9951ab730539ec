#include <windows.h>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "device/uSDCommThread.h"
#include "ui/uPortList.h"

namespace {

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  // The second Ctrl-C falls through to the default handler, which ends the process.
  if (CliInterrupted.exchange(true)) return FALSE;
  CancelRequested = true;
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

std::vector<std::string> ListSerialPorts() {
  std::vector<std::string> ports;
  FillPortList(ports);
  return ports;
}

// Console control handlers run on a thread of their own, so the workers need no shielding here.
TCommThread* CreateCliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  return CreateWorker<TSDCommThread>(hWindow, cmd, sPort);
}
