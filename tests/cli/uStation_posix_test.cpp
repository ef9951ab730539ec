// The station with real children: the built pellory-cli, and pellory-sim serving loggers on
// pseudo-terminals.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "cli/uStation.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "sim/uSimLogger.h"
#include "station/uPortInfo.h"
#include "station/uStation.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::vector<std::string>> SummaryRows(const fs::path& file) {
  std::ifstream f(file, std::ios::binary);
  std::vector<std::vector<std::string>> rows;
  // The texts of these runs hold no comma, quote or line break: a plain split is enough here.
  for (std::string line; std::getline(f, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::stringstream in(line);
    for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
    rows.push_back(cells);
  }
  return rows;
}

std::map<std::string, std::vector<std::string>> ByPort(const std::vector<std::vector<std::string>>& rows) {
  std::map<std::string, std::vector<std::string>> out;
  for (size_t i = 1; i < rows.size(); ++i) out[rows[i][0]] = rows[i];
  return out;
}

// Whether nobody holds the port: the serial backend locks it while a run has it open.
bool Released(const std::string& pty) {
  const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

// What the controller holds, by record, for embedded image `image`: address and 64 data bytes in hex.
std::vector<std::string> ImageRecords(int32_t image) {
  const int32_t saved = SelectedImage;
  SelectedImage = image;
  std::vector<std::string> records;
  for (int32_t i = 0; i < GetImageLastLine(); ++i) {
    const std::string line = GetImageLine(i);  // ":40AAAA00<64 bytes>CC"
    if (line.size() == 1 + 2 * 69 && line.compare(1, 2, "40") == 0 && line.compare(7, 2, "00") == 0) {
      records.push_back(line.substr(3, 4) + " " + line.substr(9, 128));
    }
  }
  SelectedImage = saved;
  std::sort(records.begin(), records.end());
  return records;
}

class StationRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StationInterrupts = 0;
    // The process id keeps apart test runs of several work trees on one machine.
    dir = fs::temp_directory_path() /
          ("pellory_station_run_" + std::to_string(getpid()) + "_" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    stationProcs = CreatePlatformProcesses();
    // The host main() builds.
    stationHost = PlatformStationHost(stationProcs.get());
    host.Station = &stationHost;
    host.StationProgram = PELLORY_CLI_PATH;
  }
  void TearDown() override {
    StationInterrupts = 0;
    fs::remove_all(dir);
  }

  // Starts pellory-sim and returns its terminal.
  std::string Sim(std::vector<std::string> args) {
    args.insert(args.begin(), PELLORY_SIM_PATH);
    std::string error;
    const int id = sims->Spawn(args, error);
    EXPECT_NE(id, 0) << error;
    for (int i = 0; i < 100; ++i) {
      std::vector<TProcessEvent> events;
      sims->Poll(100, events);
      for (const auto& ev : events) {
        if (ev.Id == id && ev.Kind == TProcessEvent::TKind::Line) return ev.Text;
      }
    }
    ADD_FAILURE() << "pellory-sim gave no terminal";
    return {};
  }

  int Station(std::vector<std::string> args) {
    std::istringstream in;
    TCliIo io{out, err, in, false, false, false};
    args.insert(args.begin(), "station");
    return CliMain(args, io, host);
  }

  fs::path dir;
  std::unique_ptr<IProcesses> sims = CreatePlatformProcesses();
  std::unique_ptr<IProcesses> stationProcs;
  TStationHost stationHost;
  TCliHost host;
  std::ostringstream out, err;
};

TEST_F(StationRunTest, ThreeLoggersInParallelEachGetTheirImage) {
  std::vector<std::string> ptys;
  std::vector<std::string> args{"--yes", "--log-dir", (dir / "logs").string(), "--summary",
                                (dir / "s.csv").string()};
  for (int image = 1; image <= 3; ++image) {
    TBl3FileHeader h;
    GetImageHeader(image, h);
    ptys.push_back(
        Sim({"--once", "--platform", std::to_string(h.quor_platform), "--print", std::to_string(h.quor_print),
             "--programmed", (dir / std::to_string(image)).string()}));
    args.insert(args.end(), {"--port", ptys.back()});
  }
  EXPECT_EQ(Station(args), kExitOk) << out.str() << err.str();
  EXPECT_EQ(stationProcs->Running(), 0u);

  for (int i = 0; i < 100 && sims->Running() > 0; ++i) {
    std::vector<TProcessEvent> events;
    sims->Poll(100, events);
  }
  auto rows = ByPort(SummaryRows(dir / "s.csv"));
  ASSERT_EQ(rows.size(), 3u);
  for (int image = 1; image <= 3; ++image) {
    std::ifstream f(dir / std::to_string(image));
    std::vector<std::string> held;
    for (std::string line; std::getline(f, line);) held.push_back(line);
    EXPECT_FALSE(held.empty());
    EXPECT_EQ(held, ImageRecords(image)) << "image " << image;
    const auto& row = rows[ptys[image - 1]];
    EXPECT_EQ(row[4], "completed");
    TBl3FileHeader h;
    GetImageHeader(image, h);
    EXPECT_EQ(row[6].rfind("Update SD CARD V" + std::to_string(h.quor_verH) + ".", 0), 0u) << row[6];
  }
  size_t logs = 0;
  for (const auto& e : fs::directory_iterator(dir / "logs")) {
    ++logs;
    std::ifstream f(e.path());
    std::string first;
    std::getline(f, first);
    EXPECT_NE(first.find(" -> Start at serial port \"/dev/pts/"), std::string::npos) << first;
  }
  EXPECT_EQ(logs, 3u);
}

TEST_F(StationRunTest, FaultyLoggersEndTheirOwnWayBesideCleanOnes) {
  const std::string silent = Sim({"--silent-after", "10"});
  const std::string unplugged = Sim({"--vanish-after", "400"});
  const std::string refusing = Sim({"--identity-request-status", "5"});
  EXPECT_EQ(Station({"--yes", "--max-repeats", "1", "--summary", (dir / "s.csv").string(), "--port", "sim1",
                     "--port", silent, "--port", unplugged, "--port", "sim2", "--port", refusing}),
            kExitStationFailed)
      << out.str() << err.str();
  EXPECT_EQ(stationProcs->Running(), 0u);
  auto rows = ByPort(SummaryRows(dir / "s.csv"));
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows["sim1"][4], "completed");
  EXPECT_EQ(rows["sim2"][4], "completed");
  EXPECT_EQ(rows[silent][5], "30");
  EXPECT_EQ(rows[silent][13], "1");
  EXPECT_EQ(rows[unplugged][5], "11");
  EXPECT_EQ(rows[refusing][5], "48");
  EXPECT_EQ(rows[refusing][6], "Aborted because wrong answer from SD controller!");
  EXPECT_TRUE(Released(silent));
  EXPECT_TRUE(Released(refusing));
}

TEST_F(StationRunTest, WatchRunsOncePerPlugging) {
  const std::string pty = Sim({});
  const fs::path byId = dir / "dev" / "serial" / "by-id";
  fs::create_directories(byId);
  const fs::path link = byId / "usb-Kalvenor_Logger_0001-if00";
  const fs::path summary = dir / "s.csv";
  int rc = -1;
  std::thread station([&] {
    rc = Station({"--watch", "--dev-root", (dir / "dev").string(), "--yes", "--summary", summary.string(),
                  "--log-dir", (dir / "logs").string()});
  });
  auto waitRows = [&](size_t n) {
    for (int i = 0; i < 300 && SummaryRows(summary).size() < n + 1; ++i) std::this_thread::sleep_for(100ms);
    return SummaryRows(summary).size() - 1;
  };
  std::this_thread::sleep_for(700ms);
  fs::create_symlink(pty, link);
  EXPECT_EQ(waitRows(1), 1u);
  std::this_thread::sleep_for(1200ms);  // the link stays: no second run (a run's log is made at its start)
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "logs"), fs::directory_iterator()), 1);
  // The next logger: its by-id name carries its own serial number. (The same name back within seconds
  // would be the same logger after its own reset, which gets no run.)
  fs::remove(link);
  std::this_thread::sleep_for(1200ms);
  const fs::path next = byId / "usb-Kalvenor_Logger_0002-if00";
  fs::create_symlink(pty, next);
  EXPECT_EQ(waitRows(2), 2u);
  StationInterrupts = 1;
  station.join();
  EXPECT_EQ(rc, kExitOk) << out.str() << err.str();
  const auto rows = SummaryRows(summary);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1][0], link.string());
  EXPECT_EQ(rows[2][0], next.string());
  EXPECT_EQ(rows[2][4], "completed");
}

TEST_F(StationRunTest, CtrlCCancelsEveryRunAndLeavesNoChild) {
  const fs::path summary = dir / "s.csv";
  int rc = -1;
  std::thread station([&] {
    rc = Station({"--port", "sim1", "--port", "sim2", "--port", "sim3", "--yes", "--sim-pace", "9600",
                  "--summary", summary.string()});
  });
  std::this_thread::sleep_for(1500ms);
  StationInterrupts = 1;
  station.join();
  EXPECT_EQ(rc, kExitStationFailed);
  EXPECT_EQ(stationProcs->Running(), 0u);
  const auto rows = SummaryRows(summary);
  ASSERT_EQ(rows.size(), 4u);
  for (size_t i = 1; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][4], "cancelled");
    EXPECT_EQ(rows[i][5], "20");
    EXPECT_EQ(rows[i][6], "Process cancelled!");
  }
}

}  // namespace

namespace {

// pellory-cli started as a user's shell would: standard input, output and error as given.
pid_t SpawnCli(const std::vector<std::string>& args, int in, int out, int err) {
  std::vector<std::string> argv{PELLORY_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  // The signals as a shell leaves them (this test program ignores SIGPIPE for its own children's sake).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGHUP, SIGTERM}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, raw[0], &actions, &attr, raw.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid;
}

// The wait status, or -1 when the process did not end within a minute (then it is killed).
int WaitFor(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 600; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(100ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

// Ctrl-C while standard output is blocked (a pipe whose reader is busy) and a hang-up (the terminal closed):
// neither cuts the output short nor skips the summary.
TEST_F(StationRunTest, SignalsNeitherCutTheOutputNorSkipTheSummary) {
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  const fs::path hungUpOut = dir / "hung-up.out";
  const int hungUpFd = open(hungUpOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t hungUp = SpawnCli({"station", "--port", "sim5", "--port", "sim6", "--yes", "--sim-pace", "9600",
                                 "--summary", (dir / "hup.csv").string()},
                                null, hungUpFd, null);
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  // A pipe of one page, all but full already: nobody reads, and the station soon blocks writing to it.
  fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
  const std::string filler(4000, '.');
  ASSERT_EQ(write(pipeFds[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
  const pid_t blocked = SpawnCli({"station", "--port", "sim1", "--port", "sim2", "--port", "sim3", "--port",
                                  "sim4", "--yes", "--summary", (dir / "int.csv").string()},
                                 null, pipeFds[1], null);
  close(pipeFds[1]);
  int queued = -1;
  for (int i = 0, last = -1, still = 0; i < 200 && still < 3; ++i, last = queued) {
    std::this_thread::sleep_for(100ms);
    ioctl(pipeFds[0], FIONREAD, &queued);
    still = queued == last && queued > 4000 ? still + 1 : 0;
  }
  EXPECT_GT(queued, 4000);
  kill(blocked, SIGINT);
  kill(hungUp, SIGHUP);
  std::this_thread::sleep_for(300ms);
  const std::string out = ReadAll(pipeFds[0]);
  close(pipeFds[0]);
  const int blockedStatus = WaitFor(blocked);
  const int hungUpStatus = WaitFor(hungUp);
  close(null);
  close(hungUpFd);

  ASSERT_TRUE(WIFEXITED(blockedStatus)) << blockedStatus;
  EXPECT_NE(out.find("\n\nport "), std::string::npos)
      << out.substr(out.size() - std::min<size_t>(out.size(), 300));
  EXPECT_EQ(SummaryRows(dir / "int.csv").size(), 5u);

  ASSERT_TRUE(WIFEXITED(hungUpStatus)) << "ended by the hang-up itself: " << hungUpStatus;
  EXPECT_EQ(WEXITSTATUS(hungUpStatus), kExitStationFailed);
  const auto rows = SummaryRows(dir / "hup.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1][6], "Process cancelled!");
  EXPECT_EQ(rows[2][6], "Process cancelled!");
}

TEST(StationChild, ARunWhoseStationIsGoneEndsCancelled) {
  int in[2];
  int out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const pid_t child =
      SpawnCli({"update", "--port", "sim", "--yes", "--json", "--sim-pace", "9600", "--station-child"}, in[0],
               out[1], out[1]);
  close(in[0]);
  close(out[1]);
  char first = 0;
  EXPECT_EQ(read(out[0], &first, 1), 1);
  // The station is gone: its end of both pipes closes.
  close(out[0]);
  close(in[1]);
  const int status = WaitFor(child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 20);
}

TEST(StationSignals, AreCountedAndEndTheQuestion) {
  int in[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  const int savedIn = dup(STDIN_FILENO);
  dup2(in[0], STDIN_FILENO);
  StationInterrupts = 0;
  InstallStationInterruptHandler();
  std::string line;
  ASSERT_EQ(write(in[1], "yes\n", 4), 4);
  EXPECT_TRUE(ReadAnswerLine(line));
  EXPECT_EQ(line, "yes");
  // The terminal is closed while the question waits.
  const pthread_t self = pthread_self();
  std::thread hangUp([self] {
    std::this_thread::sleep_for(100ms);
    pthread_kill(self, SIGHUP);
  });
  EXPECT_FALSE(ReadAnswerLine(line));
  hangUp.join();
  EXPECT_EQ(StationInterrupts.load(), 1);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
  StationInterrupts = 0;
  dup2(savedIn, STDIN_FILENO);
  close(savedIn);
  close(in[0]);
  close(in[1]);
}
