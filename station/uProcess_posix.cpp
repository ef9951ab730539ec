#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "station/uProcess.h"

extern char** environ;

namespace {

// The self-pipe behind WakeProcessPoll: written from signal handlers, so its ends are plain atomics.
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};

void OpenWakePipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      gWakeRead = fds[0];
      gWakeWrite = fds[1];
    }
  });
}

struct TChild {
  pid_t Pid = -1;
  int Out = -1;  // read end: the child's standard output and error
  int In = -1;   // write end: the child's standard input
  std::string Partial;
};

class TPosixProcesses : public IProcesses {
 public:
  TPosixProcesses() {
    // A child that ends before reading its input must not take the station down with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    OpenWakePipe();
  }
  ~TPosixProcesses() override {
    for (auto& [id, child] : FChildren) kill(child.Pid, SIGKILL);
    // A child in an uninterruptible sleep ignores even SIGKILL for as long as its driver call lasts: wait a
    // bounded time, then leave it to init rather than hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto& [id, child] : FChildren) {
      int status = 0;
      for (;;) {
        const pid_t done = waitpid(child.Pid, &status, WNOHANG);
        if (done != 0 && !(done < 0 && errno == EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      CloseFd(child.Out);
      CloseFd(child.In);
    }
  }

  int Spawn(const std::vector<std::string>& argv, std::string& error) override {
    int out[2];
    int in[2];
    // O_CLOEXEC: no other child inherits these ends; the file actions below give the child its own.
    if (pipe2(out, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return 0;
    }
    if (pipe2(in, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      close(out[0]);
      close(out[1]);
      return 0;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A process group of its own: the terminal's Ctrl-C reaches the station only, which ends its runs.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
      error = argv[0] + ": " + std::strerror(rc);
      close(in[1]);
      close(out[0]);
      return 0;
    }
    const int id = ++FLastId;
    FChildren[id] = TChild{pid, out[0], in[1], {}};
    return id;
  }

  void Poll(int timeoutMs, std::vector<TProcessEvent>& events) override {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    bool waitingForExit = false;
    for (auto& [id, child] : FChildren) {
      if (child.Out >= 0) {
        fds.push_back(pollfd{child.Out, POLLIN, 0});
        ids.push_back(id);
      } else {
        waitingForExit = true;
      }
    }
    // A child that closed its output but has not ended yet is looked at again soon.
    if (waitingForExit && timeoutMs > 50) timeoutMs = 50;
    const int wake = gWakeRead.load();
    if (wake >= 0) fds.push_back(pollfd{wake, POLLIN, 0});
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (wake >= 0) {
      if (fds.back().revents != 0) {
        char drain[64];
        while (read(wake, drain, sizeof drain) > 0) {
        }
      }
      fds.pop_back();
    }
    if (ready > 0) {
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        TChild& child = FChildren[ids[i]];
        const ssize_t n = read(child.Out, FBuffer, sizeof FBuffer);
        if (n > 0) {
          Split(ids[i], child, FBuffer, static_cast<size_t>(n), events);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          if (!child.Partial.empty())
            events.push_back({ids[i], TProcessEvent::TKind::Line, child.Partial, 0});
          child.Partial.clear();
          CloseFd(child.Out);
        }
      }
    }
    Reap(events);
  }

  void Cancel(int id) override {
    auto it = FChildren.find(id);
    if (it != FChildren.end()) CloseFd(it->second.In);
  }

  void Kill(int id) override {
    auto it = FChildren.find(id);
    if (it != FChildren.end()) kill(it->second.Pid, SIGKILL);
  }

  size_t Running() const override { return FChildren.size(); }

 private:
  static void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  static void Split(int id, TChild& child, const char* data, size_t n, std::vector<TProcessEvent>& events) {
    for (size_t i = 0; i < n; ++i) {
      if (data[i] == '\n') {
        if (!child.Partial.empty() && child.Partial.back() == '\r') child.Partial.pop_back();
        events.push_back({id, TProcessEvent::TKind::Line, std::move(child.Partial), 0});
        child.Partial.clear();
      } else if (child.Partial.size() < kMaxLine) {
        // A child that floods one endless line cannot make the station's memory grow without bound.
        child.Partial += data[i];
      }
    }
  }

  void Reap(std::vector<TProcessEvent>& events) {
    for (auto it = FChildren.begin(); it != FChildren.end();) {
      TChild& child = it->second;
      if (child.Out >= 0) {
        ++it;
        continue;
      }
      int status = 0;
      const pid_t done = waitpid(child.Pid, &status, WNOHANG);
      if (done != child.Pid) {
        ++it;
        continue;
      }
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kCrashed;
      CloseFd(child.In);
      events.push_back({it->first, TProcessEvent::TKind::Exit, {}, code});
      it = FChildren.erase(it);
    }
  }

  static constexpr size_t kMaxLine = 64 * 1024;
  std::map<int, TChild> FChildren;
  int FLastId = 0;
  char FBuffer[64 * 1024];
};

}  // namespace

void WakeProcessPoll() {
  const int fd = gWakeWrite.load();
  if (fd < 0) return;
  const int saved = errno;
  const char byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
  errno = saved;
}

std::unique_ptr<IProcesses> CreatePlatformProcesses() {
  return std::make_unique<TPosixProcesses>();
}

std::string SelfExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}
