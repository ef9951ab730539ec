#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "device/uSDCommThread.h"

namespace {

void OnInterrupt(int) {
  // Lock-free atomics only: this runs as a signal handler.
  CancelRequested = true;
  CliInterrupted = true;
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

std::vector<std::string> ListSerialPorts() {
  return ListSerialPortsIn("/dev");
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
  return CreateWorker<TSDCommThread>(hWindow, cmd, sPort);
}
