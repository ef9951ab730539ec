#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "cli/uStation.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "station/uProcess.h"

namespace {

void OnInterrupt(int) {
  // Lock-free atomics only: this runs as a signal handler.
  CancelRequested = true;
  CliInterrupted = true;
}

void OnStationInterrupt(int) {
  const int saved = errno;
  StationInterrupts.fetch_add(1);
  WakeProcessPoll();
  errno = saved;
}

int Fd(TStdStream stream) {
  return stream == TStdStream::In ? STDIN_FILENO : stream == TStdStream::Out ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

bool IsTerminal(TStdStream stream) {
  return isatty(Fd(stream)) == 1;
}

int TerminalColumns(TStdStream stream) {
  winsize size{};
  if (ioctl(Fd(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int TerminalRows(TStdStream stream) {
  winsize size{};
  if (ioctl(Fd(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
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
  // SA_RESTART: a write to a full pipe or a slow terminal goes on after the signal instead of failing and
  // leaving the stream failed for good. The waits that must see the signal are woken otherwise: the runs'
  // poll by the self-pipe, the question by ppoll.
  action.sa_flags = SA_RESTART;
  // A closed terminal or a dropped SSH session ends the station as Ctrl-C does: runs cancelled, summary.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void StationFinished() {}

bool ReadAnswerLine(std::string& line) {
  // The interrupts stay blocked but while ppoll waits, so one that comes just before the wait still ends it.
  sigset_t block;
  sigset_t saved;
  sigemptyset(&block);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, signal);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  struct TRestore {
    sigset_t* Saved;
    ~TRestore() { pthread_sigmask(SIG_SETMASK, Saved, nullptr); }
  } restore{&saved};
  line.clear();
  for (;;) {
    if (CliInterrupted || StationInterrupts.load() > 0) return false;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (ppoll(&in, 1, nullptr, &saved) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

void CancelOnStdin() {
  // A station that is gone leaves no reader of this output: writes then fail (EPIPE) instead of ending the
  // run by SIGPIPE, and the run ends cancelled as its input tells it.
  signal(SIGPIPE, SIG_IGN);
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

void EnableTerminalRedraw() {}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}
