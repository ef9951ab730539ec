// pellory-cli station with scripted children in virtual time: its options, Ctrl-C, and the terminal as the
// station's view.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "cli/uCliApp.h"
#include "cli/uStation.h"
#include "cli/uStationView.h"
#include "station/uStation.h"
#include "station/uStationSys.h"
#include "tests/support/uFakeProcesses.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StationInterrupts = 0;
    StationClosing = false;
    // The clock keeps apart test runs of several work trees on one machine.
    dir = std::filesystem::temp_directory_path() /
          ("pellory_station_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // The host main() builds, on virtual time.
    stationHost = PlatformStationHost(&procs);
    stationHost.NowMs = [this] { return procs.Now; };
    stationHost.PortKey = [](const std::string& p) {
      return p == "/dev/serial/by-id/usb-Q" ? std::string("/dev/ttyUSB0") : p;
    };
    host.Station = &stationHost;
    host.StationProgram = "pellory-cli";
    host.StationPorts = [this](const std::string&) { return listed; };
    host.PendingDir = (dir / "pending").string();
  }
  void TearDown() override {
    StationInterrupts = 0;
    StationClosing = false;
    std::filesystem::remove_all(dir);
  }
  int Run(std::vector<std::string> args, bool stdinTty = false) {
    std::istringstream in;
    out.str("");
    err.str("");
    TCliIo io{out, err, in, stdinTty, tty, tty, errColumns, columns, rows};
    args.insert(args.begin(), "station");
    return CliMain(args, io, host);
  }

  TFakeProcesses procs;
  TStationHost stationHost;
  TCliHost host;
  std::vector<std::string> listed;
  std::filesystem::path dir;
  std::ostringstream out, err;
  bool tty = false;
  int errColumns = 0;
  int columns = 0;
  int rows = 0;
};

TEST_F(StationTest, PlainOutputIsEveryLinePrefixedAndSafeForTheTerminalThenTheTable) {
  // A port name and a run's output carrying escape sequences (a USB string, a child's stray line).
  const std::string evil = "/dev/serial/by-id/usb-\x1b]0;owned\x07-if00";
  procs.Scripts["A"].Lines = {R"({"report":"10-00-00 -> Start at serial port \"A\""})",
                              "pellory-cli: \x1b[2Jcleared",
                              R"({"report":"10-00-02 -> Update SD CARD V4.106 succesfully completed."})",
                              R"({"final":"Update SD CARD V4.106 succesfully completed."})"};
  procs.Scripts[evil].Lines = {R"({"report":"10-00-00 -> Start at serial port \"x\""})"};
  procs.Scripts[evil].Exit = 10;
  const std::string summary = (dir / "s.csv").string();
  EXPECT_EQ(Run({"--port", "A", "--port", evil, "--yes", "--summary", summary}), kExitStationFailed);
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
  EXPECT_EQ(err.str().find('\x1b'), std::string::npos);
  const auto printed = Lines(out.str());
  EXPECT_EQ(printed.front(), "A: 10-00-00 -> Start at serial port \"A\"");
  EXPECT_NE(out.str().find("\n/dev/serial/by-id/usb-\\x1b]0;owned\\x07-if00: 10-00-00 -> Start"),
            std::string::npos);
  EXPECT_NE(out.str().find("\nA: Update SD CARD V4.106 succesfully completed.\n"), std::string::npos);
  EXPECT_EQ(err.str(), "A: pellory-cli: \\x1b[2Jcleared\n");
  // The table by port, then where every column is.
  ASSERT_GE(printed.size(), 4u);
  EXPECT_EQ(printed[printed.size() - 3].rfind("A  ", 0), 0u) << printed[printed.size() - 3];
  EXPECT_EQ(printed.back(), "All columns of every run are in " + summary + ".");
  // The summary keeps the bytes.
  EXPECT_NE(ReadFile(summary).find(evil), std::string::npos);
}

TEST_F(StationTest, UsageErrorsAreFoundBeforeAnyRunStarts) {
  std::ofstream(dir / "file") << "x";
  const std::vector<std::vector<std::string>> cases{
      {"--yes"},
      {"--port", "A", "--port", "A", "--yes"},
      {"--port", "/dev/ttyUSB0", "--port", "/dev/serial/by-id/usb-Q", "--yes"},
      {"--watch", "--port", "A", "--yes"},
      {"--port", "A", "--yes", "--log-dir", (dir / "file" / "logs").string()},
      {"--port", "A", "--yes", "--summary", (dir / "missing" / "s.csv").string()},
      {"--port", "A", "--yes", "--sim-pace", "fast"},
      {"--port", "A", "--yes", "--sim-latency-ms", "256"},
      {"--port", "A"},  // the question, and no terminal to answer it
      {"--all", "--yes"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), kExitUsage) << args[0] << " " << args[1];
    EXPECT_FALSE(err.str().empty());
  }
  // An image file every run would fail on starts none: checked whole once, the reason told.
  host.InternalMode = true;
  for (const std::string& file : {dir.string(), (dir / "file").string(), std::string("/dev/zero")}) {
    EXPECT_EQ(Run({"--port", "A", "--yes", "--file", file}), kExitUsage) << file;
    EXPECT_NE(err.str().find(file), std::string::npos) << err.str();
  }
  // A name in the error is shown, not obeyed.
  EXPECT_EQ(Run({"--port", "A\x1b[2J", "--port", "A\x1b[2J", "--yes"}), kExitUsage);
  EXPECT_NE(err.str().find("A\\x1b[2J"), std::string::npos) << err.str();
  EXPECT_EQ(err.str().find('\x1b'), std::string::npos);
  EXPECT_TRUE(procs.Spawned.empty());
}

TEST_F(StationTest, WatchGivesEachPluggingOneRun) {
  // Present at start: updated only with --all. X appears at 1 s, leaves at 3 s and comes back at 4 s
  // under two names of one device.
  listed = {"P"};
  procs.OnPoll = [&] {
    const uint64_t t = procs.Now;
    if (t >= 1000 && t < 3000) listed = {"P", "X"};
    if (t >= 3000 && t < 4000) listed = {"P"};
    if (t >= 4000) listed = {"/dev/serial/by-id/usb-Q", "P", "/dev/ttyUSB0"};
    if (t >= 7000) StationInterrupts = 1;
  };
  EXPECT_EQ(Run({"--watch", "--yes"}), kExitOk);
  std::vector<std::string> ports;
  for (const auto& argv : procs.Spawned) ports.push_back(argv[3]);
  EXPECT_EQ(ports, (std::vector<std::string>{"X", "/dev/serial/by-id/usb-Q"}));

  procs.Spawned.clear();
  procs.Now = 0;
  StationInterrupts = 0;
  listed = {"sim4"};
  EXPECT_EQ(Run({"--watch", "--all", "--yes", "--sim-pace", "9600", "--sim-latency-ms", "16"}), kExitOk);
  // The simulated loggers' options reach every run on a simulated port.
  const std::vector<std::string>& argv = procs.Spawned.front();
  EXPECT_EQ(argv[3], "sim4");
  EXPECT_EQ(std::vector<std::string>(argv.end() - 4, argv.end()),
            (std::vector<std::string>{"--sim-pace", "9600", "--sim-latency-ms", "16"}));
}

TEST_F(StationTest, SecondCtrlCEndsEveryRunAtOnce) {
  procs.Scripts["A"] = {{}, 0, true, false};
  procs.Scripts["B"] = {{}, 0, true, false};
  int polls = 0;
  procs.OnPoll = [&] { StationInterrupts = ++polls >= 4 ? 2 : polls >= 2 ? 1 : 0; };
  EXPECT_EQ(Run({"--port", "A", "--port", "B", "--yes"}), kExitStationFailed);
  EXPECT_EQ(procs.Cancelled, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(procs.Killed, (std::vector<std::string>{"A", "B"}));
  EXPECT_LT(procs.Now, 10000u) << "killed without waiting for the grace period";
  EXPECT_EQ(procs.Running(), 0u);
}

TEST_F(StationTest, AClosingConsoleWindowGetsEveryRunEndedAndTheSummaryInTime) {
  procs.Scripts["A"] = {{}, 0, true, true};   // ends when cancelled
  procs.Scripts["B"] = {{}, 0, true, false};  // has to be killed
  int polls = 0;
  procs.OnPoll = [&] {
    if (++polls == 3) {
      StationClosing = true;
      StationInterrupts = 1;
    }
  };
  const std::string summary = (dir / "s.csv").string();
  const uint64_t closedBefore = 3 * 200;
  EXPECT_EQ(Run({"--port", "A", "--port", "B", "--yes", "--summary", summary}), kExitStationFailed);
  EXPECT_EQ(procs.Killed, std::vector<std::string>{"B"});
  EXPECT_LT(procs.Now - closedBefore, 4500u) << "within the time Windows leaves a closing console";
  EXPECT_EQ(Lines(ReadFile(summary)).size(), 3u);
}

TEST_F(StationTest, RowsThatWaitAreToldTriedAgainAndWrittenByTheNextSessionAndTheExitCodeSaysSo) {
  const std::string done = R"({"final":"Update SD CARD V4.106 succesfully completed."})";
  procs.Scripts["A"].Lines = {done};
  procs.Scripts["B"].Lines = {done};
  const std::string summary = (dir / "s.csv").string();
  {
    // Another station holds the summary's lock for longer than the station waits.
    TRecordLock other;
    TFileError error;
    ASSERT_TRUE(other.Take(summary + ".lock", 0, error)) << error.Text;
    EXPECT_EQ(Run({"--port", "A", "--yes", "--json", "--summary", summary}), kExitRowsWaiting);
    const std::string json = out.str(), jsonErr = err.str();
    // Without --json: the table's pointer to the summary does not claim rows that are not there yet.
    EXPECT_EQ(Run({"--port", "B", "--yes", "--summary", summary}), kExitRowsWaiting);
    EXPECT_NE(out.str().find("\nAll columns of every run go to " + summary +
                             " once the rows that wait are written.\n"),
              std::string::npos)
        << out.str();
    EXPECT_NE(
        err.str().find("station: 2 rows wait: s.csv is being written by another station: they are kept in "),
        std::string::npos)
        << err.str();
    out.str(json);
    err.str(jsonErr);
  }
  EXPECT_GE(procs.Now, 15000u) << "tried again for a while before the end";
  EXPECT_NE(out.str().find(R"("rows_waiting":1,"reason":"is being written by another station")"),
            std::string::npos)
      << out.str();
  const std::string said = err.str();
  EXPECT_NE(said.find("station: 1 row waits: s.csv is being written by another station (kept in "),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("; trying again for 15 s (Ctrl-C ends the wait)"), std::string::npos);
  EXPECT_NE(said.find(": it is kept in \""), std::string::npos) << said;
  EXPECT_NE(said.find("and the next station that writes to \"" + summary + "\" writes it first"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(summary));

  // The next session on the same summary writes them first, in order, then its own.
  procs.Scripts["C"].Lines = {done};
  EXPECT_EQ(Run({"--port", "C", "--yes", "--summary", summary}), kExitOk);
  const std::vector<std::string> lines = Lines(ReadFile(summary));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].rfind("A,", 0), 0u);
  EXPECT_EQ(lines[2].rfind("B,", 0), 0u);
  EXPECT_EQ(lines[3].rfind("C,", 0), 0u);
}

// A terminal of 8 rows and 80 columns on standard output (standard error is wider): a watch session of
// 20 loggers, plugged one after the other, five at a time running.
TEST_F(StationTest, TerminalLinesNeverOutgrowTheTerminal) {
  tty = true;
  rows = 8;
  columns = 80;
  errColumns = 200;
  listed = {};
  for (int n = 0; n < 20; ++n) {
    const std::string port = "/dev/ttyUSB" + std::to_string(n);
    procs.Scripts[port].Lines.assign(8, R"({"code":1,"value":40})");
    procs.Scripts[port].Lines.push_back(R"({"final":"Update SD CARD V4.106 succesfully completed."})");
  }
  procs.OnPoll = [&] {
    const int n = static_cast<int>(procs.Now / 400);
    listed.clear();
    for (int i = std::max(0, n - 4); i <= std::min(n, 19); ++i)
      listed.push_back("/dev/ttyUSB" + std::to_string(i));
    if (procs.Now >= 12000) StationInterrupts = 1;
  };
  EXPECT_EQ(Run({"--watch", "--yes"}, true), kExitOk);
  EXPECT_EQ(procs.Spawned.size(), 20u);
  const std::string text = out.str();
  // The redrawn lines, then a blank line and the table.
  const size_t end = text.find("\nport ");
  ASSERT_NE(end, std::string::npos);
  const std::string drawn = text.substr(0, end);
  const std::string table = text.substr(end + 1);
  // Every move up stays within the terminal's rows; every line within its columns.
  const std::regex up("\x1b\\[(\\d+)F");
  size_t frames = 0;
  for (auto it = std::sregex_iterator(drawn.begin(), drawn.end(), up); it != std::sregex_iterator(); ++it) {
    EXPECT_LE(std::stoi((*it)[1]), rows - 1);
    ++frames;
  }
  EXPECT_GT(frames, 20u);
  for (std::string line : Lines(std::regex_replace(drawn, std::regex("\x1b\\[(\\d+F|K|J)"), ""))) {
    EXPECT_LE(line.size(), static_cast<size_t>(columns - 1)) << line;
  }
  EXPECT_NE(drawn.rfind("completed 20  failed 0  cancelled 0  running 0  (15 earlier runs not shown)"),
            std::string::npos)
      << drawn.substr(drawn.size() - std::min<size_t>(drawn.size(), 600));
  for (const std::string& line : Lines(table))
    EXPECT_LE(line.size(), static_cast<size_t>(columns - 1)) << line;
}

TEST_F(StationTest, OnATerminalAFailedOpensHintFollowsTheTable) {
  tty = true;
  columns = 70;
  const std::string hint = "pellory-cli: /dev/ttyUSB9: no such port, and no serial port is present.";
  procs.Scripts["/dev/ttyUSB9"].Lines = {
      R"({"report":"10-00-00 -> Aborted because serial port \"/dev/ttyUSB9\" is not ready!"})", hint,
      R"({"final":"Aborted because serial port \"/dev/ttyUSB9\" is not ready!"})"};
  procs.Scripts["/dev/ttyUSB9"].Exit = 10;
  const std::string logs = (dir / "logs").string();
  EXPECT_EQ(Run({"--port", "/dev/ttyUSB9", "--yes", "--log-dir", logs}, true), kExitStationFailed);
  EXPECT_EQ(err.str(), "\n/dev/ttyUSB9: " + hint + "\n");
  const std::string log = std::filesystem::directory_iterator(logs)->path().string();
  EXPECT_EQ(Lines(ReadFile(log)).at(1), hint);
  // One table within the width: the port's row says why it would not open.
  const std::vector<std::string> table = Lines(out.str().substr(out.str().find("\nport ") + 1));
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[0], "port          result  time  outcome");
  EXPECT_EQ(
      table[1],
      std::string("/dev/ttyUSB9  failed  0:00  /dev/ttyUSB9: no such port, and no serial ").substr(0, 69));
  EXPECT_EQ(table[3], "All columns of every run: add --summary FILE (or --json).");
}

// Runs end in another order than their ports': the closing table is one line per run by port, cut to the
// terminal, the hint in place of the outcome where a port would not open; with --json every column.
TEST_F(StationTest, TheClosingTableIsOneLinePerRunByPort) {
  tty = true;
  columns = 61;
  auto finish = [&](const std::string& port, size_t lines) {
    procs.Scripts[port].Lines.assign(lines, R"({"code":1,"value":40})");
    procs.Scripts[port].Lines.push_back(R"({"final":"Update SD CARD V4.106 succesfully completed."})");
  };
  finish("COM12", 1);
  finish("sim10", 2);
  finish("sim2", 5);
  // A slow adapter's hint, then the port gone at a repeat: the hint that names the port says why.
  procs.Scripts["COM3"].Lines = {
      "pellory-cli: The USB adapter of COM3 holds every answer up to 16 ms.",
      "pellory-cli: COM3: no such port. The ports present:", "pellory-cli:   COM12",
      R"({"final":"Aborted because serial port \"COM3\" is not ready!"})"};
  procs.Scripts["COM3"].Exit = 10;
  const std::string summary = (dir / "runs.csv").string();
  const std::vector<std::string> args{"--port", "COM12", "--port", "sim2",      "--port", "COM3",
                                      "--port", "sim10", "--yes",  "--summary", summary};
  EXPECT_EQ(Run(args, true), kExitStationFailed);
  const std::vector<std::string> table = Lines(out.str().substr(out.str().find("\nport ") + 1));
  EXPECT_THAT(table, ::testing::ElementsAre("port   result     time  outcome",
                                            "COM3   failed     0:01  COM3: no such port. The ports presen",
                                            "COM12  completed  0:00  Update SD CARD V4.106 succesfully co",
                                            "sim2   completed  0:01  Update SD CARD V4.106 succesfully co",
                                            "sim10  completed  0:00  Update SD CARD V4.106 succesfully co",
                                            "", "All columns of every run are in " + summary + "."));

  tty = false;
  EXPECT_EQ(Run({"--port", "COM12", "--port", "sim2", "--yes", "--json"}), kExitOk);
  EXPECT_EQ(out.str().find("All columns"), std::string::npos);
  EXPECT_THAT(err.str(), ::testing::HasSubstr("exit_code  text"));
  EXPECT_THAT(err.str(), ::testing::HasSubstr("pellory_version  log_problem"));
}

TEST_F(StationTest, TheSocketIsShownWhereTheTerminalIsWideEnough) {
  tty = true;
  stationHost.Identify = [](const std::string& p) {
    TPortIdentity id;
    id.Key = p;
    id.Location = "1-1.4.2";
    return id;
  };
  procs.Scripts["COM5"].Lines = {R"({"code":1,"value":40})"};
  for (int width : {40, 120}) {
    columns = width;
    Run({"--port", "COM5", "--yes"});
    const std::string drawn = out.str().substr(0, out.str().find("\nport "));
    EXPECT_EQ(drawn.find("COM5  1-1.4.2  -  -  [####"), width == 40 ? std::string::npos : 0u) << drawn;
  }
}

TEST(StationView, FoldTableKeepsEveryColumnWithinTheWidth) {
  const std::vector<std::vector<std::string>> rows{{"port", "a", "bb", "ccc"}, {"COM5", "1", "22", "333"}};
  EXPECT_EQ(FoldTable(rows, 80), "port  a  bb  ccc\nCOM5  1  22  333\n");
  EXPECT_EQ(FoldTable(rows, 12), "port  a  bb\nCOM5  1  22\n\nport  ccc\nCOM5  333\n");
  EXPECT_EQ(FoldTable({{"port", "a-very-long-cell"}}, 12), "port  a-very\n");
}

}  // namespace
