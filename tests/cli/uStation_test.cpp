#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "cli/uStation.h"

namespace {

// Children that follow a script per port: lines, then an exit; or a hang until killed; or an end with
// "Process cancelled!" when cancelled.
class TFakeProcesses : public IProcesses {
 public:
  struct TScript {
    std::vector<std::string> Lines;
    int Exit = 0;
    bool Hang = false;          // no exit by itself
    bool HonoursCancel = true;  // ends cancelled when its input closes
  };
  std::map<std::string, TScript> Scripts;
  std::vector<std::vector<std::string>> Spawned;
  std::vector<std::string> Cancelled, Killed;
  uint64_t Now = 0;
  std::function<void()> OnPoll;

  int Spawn(const std::vector<std::string>& argv, std::string&) override {
    Spawned.push_back(argv);
    TChild c;
    c.Port = argv.at(3);
    c.Script = Scripts[c.Port];
    FChildren[++FLast] = c;
    return FLast;
  }
  void Poll(int timeoutMs, std::vector<TProcessEvent>& events) override {
    Now += static_cast<uint64_t>(timeoutMs);
    if (OnPoll) OnPoll();
    for (auto it = FChildren.begin(); it != FChildren.end();) {
      TChild& c = it->second;
      if (c.Next < c.Script.Lines.size()) {
        events.push_back({it->first, TProcessEvent::TKind::Line, c.Script.Lines[c.Next++], 0});
        ++it;
        continue;
      }
      if (c.Script.Hang && !c.Killed) {
        ++it;
        continue;
      }
      events.push_back({it->first, TProcessEvent::TKind::Exit, {}, c.Killed ? kCrashed : c.Script.Exit});
      it = FChildren.erase(it);
    }
  }
  void Cancel(int id) override {
    TChild& c = FChildren.at(id);
    Cancelled.push_back(c.Port);
    if (!c.Script.HonoursCancel) return;
    c.Script.Lines.push_back(R"({"report":"10-00-09 -> Process cancelled!"})");
    c.Script.Lines.push_back(R"({"final":"Process cancelled!"})");
    c.Script.Exit = 20;
    c.Script.Hang = false;
  }
  void Kill(int id) override {
    FChildren.at(id).Killed = true;
    Killed.push_back(FChildren.at(id).Port);
  }
  size_t Running() const override { return FChildren.size(); }

 private:
  struct TChild {
    std::string Port;
    TScript Script;
    size_t Next = 0;
    bool Killed = false;
  };
  std::map<int, TChild> FChildren;
  int FLast = 0;
};

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

// RFC 4180 rows as a reader that knows nothing of the writer sees them.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string cell;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().push_back(cell);
      cell.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.back().push_back(cell);
      cell.clear();
      rows.emplace_back();
      ++i;
    } else {
      cell += c;
    }
  }
  if (rows.back().empty()) rows.pop_back();
  return rows;
}

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StationInterrupts = 0;
    dir = std::filesystem::temp_directory_path() /
          ("pellory_station_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    host.Processes = &procs;
    host.Program = "pellory-cli";
    host.NowMs = [this] { return procs.Now; };
    host.ListPorts = [this](const std::string&) { return listed; };
    host.PortKey = [](const std::string& p) { return p == "/dev/serial/by-id/usb-Q" ? "/dev/ttyUSB0" : p; };
  }
  void TearDown() override {
    StationInterrupts = 0;
    std::filesystem::remove_all(dir);
  }
  int Run(std::vector<std::string> args, bool stdinTty = false) {
    std::istringstream in;
    out.str("");
    err.str("");
    TCliIo io{out, err, in, stdinTty, false, false};
    return StationCommand(args, io, host);
  }

  TFakeProcesses procs;
  TStationHost host;
  std::vector<std::string> listed;
  std::filesystem::path dir;
  std::ostringstream out, err;
};

TEST_F(StationTest, EachRunEndsItsOwnWayAndEveryOneIsSummarisedAndLogged) {
  procs.Scripts["A"].Lines = {
      R"({"report":"10-00-00 -> Start at serial port \"A\""})",
      R"({"code":20,"value":26117,"text":"Class 26117 [QDL 210]","time":"10-00-00","ts":"x"})",
      R"({"code":21,"value":1792,"text":"Version 7.0"})",
      R"({"code":26,"value":0,"text":"Update SD CARD V4.106, PB52C, BL2.1"})",
      R"({"code":11,"value":4,"text":"Aborted because programming error at line 4 !"})",
      R"({"code":14,"value":794,"text":"Wrong answer from SD controller [TX 31A] !"})",
      R"({"code":14,"value":5,"text":"Wrong answer from SD controller [TX 005] !"})",
      R"({"report":"10-00-01 -> Start at serial port \"A\""})",
      R"({"report":"10-00-02 -> Update SD CARD V4.106 succesfully completed."})",
      R"({"final":"Update SD CARD V4.106 succesfully completed."})"};
  procs.Scripts["B"].Lines = {R"({"report":"10-00-00 -> Start at serial port \"B\""})", "Segmentation fault"};
  procs.Scripts["B"].Exit = IProcesses::kCrashed;
  procs.Scripts["C"] = {{R"({"report":"10-00-00 -> Start at serial port \"C\""})"}, 0, true, false};
  procs.Scripts["sim7"] = {{}, 0, true, true};
  int polls = 0;
  procs.OnPoll = [&] {
    if (++polls == 20) StationInterrupts = 1;
  };
  const std::string summary = (dir / "s.csv").string();
  const int rc = Run({"--port", "A", "--port", "B", "--port", "C", "--port", "sim7", "--yes", "--log-dir",
                      (dir / "logs").string(), "--summary", summary, "--cancel-grace-ms", "1000",
                      "--sim-pace", "9600", "--sim-latency-ms", "16"});
  EXPECT_EQ(rc, kExitStationFailed);

  // The runs: the same program's update, the simulated options for the simulated port only.
  ASSERT_EQ(procs.Spawned.size(), 4u);
  const std::vector<std::string> expectA{"pellory-cli",   "update", "--port",         "A", "--yes", "--json",
                                         "--max-repeats", "3",      "--station-child"};
  EXPECT_EQ(procs.Spawned[0], expectA);
  const std::vector<std::string> simTail(procs.Spawned[3].end() - 4, procs.Spawned[3].end());
  EXPECT_EQ(simTail, (std::vector<std::string>{"--sim-pace", "9600", "--sim-latency-ms", "16"}));
  // Ctrl-C reached the two runs still going; the one that ignored it was killed after the grace.
  EXPECT_EQ(procs.Cancelled, (std::vector<std::string>{"C", "sim7"}));
  EXPECT_EQ(procs.Killed, std::vector<std::string>{"C"});
  EXPECT_GE(procs.Now, 1000u);

  const auto rows = ParseCsv(ReadFile(summary));
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0], SummaryHeader());
  std::map<std::string, std::vector<std::string>> byPort;
  for (size_t i = 1; i < rows.size(); ++i) byPort[rows[i][0]] = rows[i];
  const auto& a = byPort["A"];
  EXPECT_EQ(a[4], "completed");
  EXPECT_EQ(a[5], "0");
  EXPECT_EQ(a[6], "Update SD CARD V4.106 succesfully completed.");
  EXPECT_EQ(a[7], "QDL 210");
  EXPECT_EQ(a[8], "7.0");
  EXPECT_EQ(a[11], "SD CARD V4.106");
  EXPECT_EQ(a[12], "2");  // the refused command of stage 0 is no retry
  EXPECT_EQ(a[13], "1");
  EXPECT_EQ(byPort["B"][4], "failed");
  EXPECT_EQ(byPort["B"][5], "1");
  EXPECT_NE(byPort["B"][6].find("Segmentation fault"), std::string::npos);
  EXPECT_EQ(byPort["C"][4], "cancelled");
  EXPECT_EQ(byPort["sim7"][4], "cancelled");
  EXPECT_EQ(byPort["sim7"][6], "Process cancelled!");
  EXPECT_FALSE(std::filesystem::exists(summary + ".tmp"));

  // One log per run holding its report lines; plain output prefixed with the port; the table at the end.
  std::vector<std::string> logs;
  for (const auto& e : std::filesystem::directory_iterator(dir / "logs")) logs.push_back(e.path().string());
  ASSERT_EQ(logs.size(), 4u);
  for (const std::string& log : logs) {
    if (log.size() > 6 && log.compare(log.size() - 6, 6, "_A.log") == 0) {
      EXPECT_EQ(Lines(ReadFile(log)).size(), 3u);
      EXPECT_EQ(Lines(ReadFile(log)).front(), "10-00-00 -> Start at serial port \"A\"");
    }
  }
  const auto printed = Lines(out.str());
  EXPECT_EQ(printed.front(), "A: 10-00-00 -> Start at serial port \"A\"");
  EXPECT_NE(out.str().find("\nsim7: Process cancelled!\n"), std::string::npos);
  EXPECT_EQ(printed.back().rfind("C ", 0), 0u) << "the table ends with the last run to finish";
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
  listed = {"P"};
  EXPECT_EQ(Run({"--watch", "--all", "--yes"}), kExitOk);
  EXPECT_EQ(procs.Spawned.front()[3], "P");
}

TEST(StationFiles, CsvQuotesWhatNeedsItAndLogNamesAreSafe) {
  TStationRow row;
  row.Port = "COM5";
  row.Text = "Aborted because serial port \"COM5\" is not ready!, really\nsecond";
  const auto rows = ParseCsv(SummaryCsv({row, row}));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1][6], row.Text);
  EXPECT_EQ(rows[2].size(), SummaryHeader().size());

  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 2;
  t.tm_mday = 1;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 7;
  EXPECT_EQ(LogFileName("COM5", t), "20260301-090507_COM5.log");
  EXPECT_EQ(LogFileName("/dev/serial/by-id/usb-FTDI_x:1", t),
            "20260301-090507_serial_by-id_usb-FTDI_x_1.log");
  EXPECT_EQ(LogFileName("..", t), "20260301-090507_port...log");
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

}  // namespace
