// pellory-sim on a real pseudo-terminal, driven by the worker over the POSIX serial port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device/uCommThread.h"
#include "device/uEventTexts.h"
#include "device/uEvents.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "tests/support/uVirtualClock.h"

extern char** environ;

namespace {

// Reads from `fd` until a newline (`untilNewline`) or the end, waiting at most `timeoutMs` in all.
std::string ReadFrom(int fd, bool untilNewline, int timeoutMs) {
  std::string text;
  for (int waited = 0; waited < timeoutMs; waited += 100) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c[256];
    const ssize_t n = read(fd, c, untilNewline ? 1 : sizeof c);
    if (n <= 0) break;
    text.append(c, static_cast<size_t>(n));
    if (untilNewline && text.back() == '\n') break;
  }
  return text;
}

// One pellory-sim process with its terminal path.
class TSimProcess {
 public:
  explicit TSimProcess(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    args.insert(args.begin(), PELLORY_SIM_PROGRAM);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, PELLORY_SIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    FOut = out[0];
    FErr = err[0];
    if (FPid > 0) {
      FPath = ReadFrom(FOut, true, 10000);
      if (!FPath.empty() && FPath.back() == '\n') FPath.pop_back();
    }
  }
  ~TSimProcess() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) close(FOut);
    if (FErr >= 0) close(FErr);
  }
  const std::string& Path() const { return FPath; }
  // Waits for the process to end (after `stop`, a SIGTERM) and returns its stderr; `status` its exit.
  std::string Finish(bool stop, int& status) {
    if (stop) kill(FPid, SIGTERM);
    const std::string err = ReadFrom(FErr, false, 20000);
    status = -1;
    int raw = 0;
    if (waitpid(FPid, &raw, 0) == FPid && WIFEXITED(raw)) status = WEXITSTATUS(raw);
    FPid = -1;
    return err;
  }

 private:
  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
  std::string FPath;
};

class SimPty : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    SelectedImage = -1;
    ReadInfoOnly = false;
    CheckClass = true;
    CancelRequested = false;
  }

  // A worker on the real port `path`, pauses in virtual time; returns its events.
  std::vector<TWorkerEvent> RunOn(const std::string& path) {
    TEventQueue queue;
    const TWorkerEnv env{&PlatformPortOps(), &FClock, &queue};
    (new TSDCommThread(0, TCmd::tCMD0, path, env))->RunHere();
    std::vector<TWorkerEvent> events;
    TWorkerEvent ev;
    while (queue.TryPop(ev)) events.push_back(ev);
    return events;
  }

  TVirtualClock FClock;
};

TEST_F(SimPty, CompleteRunOverTheTerminalEndsTheProgramWithOnce) {
  TSimProcess sim({"--once", "--platform", "11", "--print", "0x11", "--stats", "/dev/stderr"});
  ASSERT_FALSE(sim.Path().empty());
  const auto events = RunOn(sim.Path());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), (TWorkerEvent{evCompleted, 0}));
  EXPECT_EQ(EventText(events.back().code, events.back().value, sim.Path()),
            "Update SD CARD V2.102 succesfully completed.");
  int status = 0;
  const std::string err = sim.Finish(false, status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(err.find("259 records programmed, update finished, reset received"), std::string::npos) << err;
  EXPECT_NE(err.find("turnaround: count "), std::string::npos) << err;
}

TEST_F(SimPty, TerminalServesOneRunAfterAnotherAndFaultsReachTheHost) {
  TSimProcess sim({"--identity-wrong-layout"});
  ASSERT_FALSE(sim.Path().empty());
  for (int run = 0; run < 2; ++run) {
    const auto events = RunOn(sim.Path());
    ASSERT_EQ(events.size(), 4u) << "run " << run;
    EXPECT_EQ(events[2], (TWorkerEvent{evRxStatus, 0x100}));
    EXPECT_EQ(events[3], (TWorkerEvent{evFailed, 48}));
  }
  int status = 0;
  const std::string err = sim.Finish(true, status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(err.find("update not finished, reset not received"), std::string::npos) << err;
}

TEST_F(SimPty, RejectsUnknownOptionsAndBadNumbers) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--no-such-option"}, {"--class", "0x1FFFF"}, {"--pace", "fast"}, {"--version"}}) {
    TSimProcess sim(args);
    EXPECT_TRUE(sim.Path().empty());
    int status = 0;
    const std::string err = sim.Finish(false, status);
    EXPECT_EQ(status, 2) << args[0];
    EXPECT_NE(err.find("pellory-sim: "), std::string::npos);
  }
}

}  // namespace
