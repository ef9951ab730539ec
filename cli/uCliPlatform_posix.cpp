#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "cli/uStation.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"

namespace {

void OnInterrupt(int) {
  // Lock-free atomics only: this runs as a signal handler.
  CancelRequested = true;
  CliInterrupted = true;
}

void OnStationInterrupt(int) {
  StationInterrupts.fetch_add(1);
}

}  // namespace

bool IsTerminal(TStdStream stream) {
  const int fd = stream == TStdStream::In    ? STDIN_FILENO
                 : stream == TStdStream::Out ? STDOUT_FILENO
                                             : STDERR_FILENO;
  return isatty(fd) == 1;
}

int TerminalColumns(TStdStream stream) {
  const int fd = stream == TStdStream::In    ? STDIN_FILENO
                 : stream == TStdStream::Out ? STDOUT_FILENO
                                             : STDERR_FILENO;
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // The second Ctrl-C takes the default action and ends the process, for a worker stuck in a long wait.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
}

TCommThread* CreateCliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  // A new thread inherits the signal mask: with SIGINT blocked the signal always lands on the main thread,
  // so no port read of the worker is cut short by it.
  sigset_t block;
  sigset_t saved;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  struct TRestore {
    sigset_t* Saved;
    ~TRestore() { pthread_sigmask(SIG_SETMASK, Saved, nullptr); }
  } restore{&saved};
  return DefaultCommThreadClass()(hWindow, cmd, sPort);
}

void InstallStationInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnStationInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the wait for the runs' output returns at once.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void CancelOnStdin() {
  std::thread([] {
    char c = 0;
    for (;;) {
      const ssize_t n = read(STDIN_FILENO, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n') break;
    }
    CancelRequested = true;
    CliInterrupted = true;
  }).detach();
}

bool SyncFileToDisk(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void EnableTerminalRedraw() {}
