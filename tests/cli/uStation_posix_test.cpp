// The station with real children: the built pellory-cli, and pellory-sim serving loggers on
// pseudo-terminals.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "cli/uCliPlatform.h"
#include "station/uPortInfo.h"
#include "cli/uStation.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "sim/uSimLogger.h"

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
    dir = fs::temp_directory_path() /
          ("pellory_station_run_" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    stationProcs = CreatePlatformProcesses();
    host.Processes = stationProcs.get();
    host.Program = PELLORY_CLI_PATH;
    host.ListPorts = [](const std::string& root) { return ListSerialPortsIn(root); };
    host.PortKey = [](const std::string& p) {
      return TPortRouter::IsSimPortName(p) ? p : CanonicalPortKey(p);
    };
    host.NowMs = [] {
      return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
    };
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
    return StationCommand(args, io, host);
  }

  fs::path dir;
  std::unique_ptr<IProcesses> sims = CreatePlatformProcesses();
  std::unique_ptr<IProcesses> stationProcs;
  TStationHost host;
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
  fs::remove(link);
  std::this_thread::sleep_for(1200ms);
  fs::create_symlink(pty, link);
  EXPECT_EQ(waitRows(2), 2u);
  StationInterrupts = 1;
  station.join();
  EXPECT_EQ(rc, kExitOk) << out.str() << err.str();
  const auto rows = SummaryRows(summary);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1][0], link.string());
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
