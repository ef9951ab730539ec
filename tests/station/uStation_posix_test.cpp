// The station's processes and files on POSIX, with real children.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "station/uProcess.h"
#include "station/uStation.h"
#include "station/uStationSys.h"

namespace {

namespace fs = std::filesystem;

class TQuietView : public IStationView {
 public:
  void RunStarted(const TStationRun&) override {}
  void RunChanged(const TStationRun&) override {}
  void RunEvent(const TStationRun&, const std::string&) override {}
  void RunReport(const TStationRun&, const std::string&) override {}
  void RunOutput(const TStationRun&, const std::string&) override {}
  void RunEnded(const TStationRun&) override {}
  void PortSkipped(const std::string&, const std::string&) override {}
  void Problem(const std::string&) override {}
};

TEST(StationPosix, ARunHoldsNoLogOfAnotherRun) {
  const fs::path dir = fs::temp_directory_path() / ("pellory_station_fds_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "logs");
  // A run's program that lists what it holds open, then ends.
  const fs::path program = dir / "list-fds";
  std::ofstream(program) << "#!/bin/sh\nls -l /proc/$$/fd\necho '{\"final\":\"listed\"}'\n";
  fs::permissions(program, fs::perms::owner_all);
  auto procs = CreatePlatformProcesses();
  TStationConfig config;
  config.Program = program.string();
  config.LogDir = (dir / "logs").string();
  TQuietView view;
  TStation station(config, PlatformStationHost(procs.get()), view);
  station.Start("A");
  station.Start("B");
  for (int i = 0; i < 200 && station.Busy(); ++i) station.Step(100);
  ASSERT_EQ(station.Rows().size(), 2u);
  for (const TStationRun& run : station.Runs()) {
    EXPECT_EQ(run.Text, "listed");
    bool pipe = false;
    for (const std::string& line : run.Hints) {
      pipe = pipe || line.find("pipe:") != std::string::npos;
      EXPECT_EQ(line.find(config.LogDir), std::string::npos) << run.Port << " holds " << line;
    }
    EXPECT_TRUE(pipe) << "the listing shows the run's own output pipe";
  }
  fs::remove_all(dir);
}

TEST(StationPosix, AWakeEndsTheWaitForTheRuns) {
  auto procs = CreatePlatformProcesses();
  std::thread waker([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WakeProcessPoll();
  });
  const auto start = std::chrono::steady_clock::now();
  std::vector<TProcessEvent> events;
  procs->Poll(30000, events);
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
}

TEST(StationPosix, AStationKilledOutrightBetweenTwoRunsEndsLosesNoRowAndLeavesEveryLineWhole) {
  const fs::path dir = fs::temp_directory_path() / ("pellory_record_kill_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "pending");
  TRecordOptions options;
  options.Summary = (dir / "summary.csv").string();
  options.PendingDir = (dir / "pending").string();
  options.LockWaitMs = 0;
  TStationRow row;
  row.Result = "completed";
  row.Text = "two\r\nlines";
  // The station writes one row; its second waits (another station holds the lock) when it is killed.
  int written[2], locked[2];
  ASSERT_EQ(pipe(written), 0);
  ASSERT_EQ(pipe(locked), 0);
  const pid_t station = fork();
  ASSERT_GE(station, 0);
  if (station == 0) {
    TRecord record(
        options, [] { return uint64_t{0}; }, nullptr, nullptr);
    row.Port = "COM5";
    record.Add(row);
    char c = 1;
    if (write(written[1], &c, 1) != 1 || read(locked[0], &c, 1) != 1) _exit(1);
    row.Port = "COM6";
    record.Add(row);
    raise(SIGKILL);
    _exit(1);
  }
  char c = 0;
  ASSERT_EQ(read(written[0], &c, 1), 1);
  {
    TRecordLock other;
    TFileError error;
    ASSERT_TRUE(other.Take(options.Summary + ".lock", 0, error)) << error.Text;
    ASSERT_EQ(write(locked[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(station, &status, 0), station);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  }
  for (int fd : {written[0], written[1], locked[0], locked[1]}) close(fd);
  // The next session writes the waiting row first.
  {
    TRecord next(
        options, [] { return uint64_t{0}; }, nullptr, nullptr);
    row.Port = "COM7";
    next.Add(row);
  }
  std::ifstream in(options.Summary, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  row.Port = "COM5";
  std::string expect = SummaryCsv({row});
  row.Port = "COM6";
  expect += SummaryLine(SummaryCells(row));
  row.Port = "COM7";
  expect += SummaryLine(SummaryCells(row));
  EXPECT_EQ(text, expect);
  fs::remove_all(dir);
}

}  // namespace

TEST(PosixProcesses, ChildrenThatFloodHangCrashOrWaitForCancelAreAllReaped) {
  auto procs = CreatePlatformProcesses();
  std::string error;
  auto sh = [&](const std::string& script) { return procs->Spawn({"/bin/sh", "-c", script}, error); };
  const int flood = sh("head -c 3000000 /dev/zero | tr '\\0' x; echo; echo last; exit 7");
  const int hang = sh("exec sleep 60");
  const int crash = sh("kill -SEGV $$");
  const int waits = sh("read line; exit 5");
  EXPECT_EQ(procs->Spawn({"/nonexistent/program"}, error), 0);
  EXPECT_FALSE(error.empty());
  procs->Cancel(waits);
  procs->Kill(hang);
  std::map<int, int> exits;
  std::map<int, std::vector<std::string>> lines;
  for (int i = 0; i < 5000 && procs->Running() > 0; ++i) {
    std::vector<TProcessEvent> events;
    procs->Poll(100, events);
    for (const auto& ev : events) {
      if (ev.Kind == TProcessEvent::TKind::Exit) exits[ev.Id] = ev.ExitCode;
      if (ev.Kind == TProcessEvent::TKind::Line) lines[ev.Id].push_back(ev.Text);
    }
  }
  EXPECT_EQ(procs->Running(), 0u);
  EXPECT_EQ(exits, (std::map<int, int>{{flood, 7}, {hang, -1}, {crash, -1}, {waits, 5}}));
  // The endless line is cut, not held whole; the lines after it still come.
  ASSERT_EQ(lines[flood].size(), 2u);
  EXPECT_LT(lines[flood][0].size(), 100000u);
  EXPECT_EQ(lines[flood][1], "last");
}

// The copy with more rights writes its results only into the plain file its caller made: a link put there
// in the meantime leads nowhere.
TEST(StationPosix, TheResultFileIsWrittenOnlyWhenItIsTheCallersOwnPlainFile) {
  const fs::path dir = fs::temp_directory_path() / ("pellory_result_file_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  auto read = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const fs::path own = dir / "result";
  std::ofstream(own, std::ios::binary) << "an older and longer text";
  std::string error;
  EXPECT_TRUE(WriteIntoOwnFile(own.string(), "[]\n", error)) << error;
  EXPECT_EQ(read(own), "[]\n");

  const fs::path target = dir / "precious";
  std::ofstream(target, std::ios::binary) << "keep";
  fs::create_symlink(target, dir / "symlink");
  fs::create_hard_link(target, dir / "hardlink");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const char* name : {"symlink", "hardlink", "fifo", "missing"}) {
    error.clear();
    EXPECT_FALSE(WriteIntoOwnFile((dir / name).string(), "[]\n", error)) << name;
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
  EXPECT_EQ(read(target), "keep");
  EXPECT_FALSE(fs::exists(dir / "missing"));
  fs::remove_all(dir);
}
