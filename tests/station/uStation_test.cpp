// The station's core with scripted children in virtual time, built on the platform's own host.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "station/uStation.h"
#include "station/uText.h"
#include "tests/support/uFakeProcesses.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
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

// What the station told its view, one text per call.
class TRecordingView : public IStationView {
 public:
  std::vector<std::string> Calls;
  void RunStarted(const TStationRun& run) override { Calls.push_back("started " + run.Port); }
  void RunChanged(const TStationRun&) override {}
  void RunEvent(const TStationRun&, const std::string& json) override { Calls.push_back("event " + json); }
  void RunReport(const TStationRun&, const std::string&) override {}
  void RunOutput(const TStationRun& run, const std::string& line) override {
    Calls.push_back("output " + run.Port + ": " + line);
  }
  void RunEnded(const TStationRun& run) override { Calls.push_back("ended " + run.Port + ": " + run.Text); }
  void PortSkipped(const std::string& port, const std::string& why) override {
    Calls.push_back("skipped " + port + ": " + why);
  }
  void Problem(const std::string& text) override { Calls.push_back("problem " + text); }
  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& c : Calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }
};

class StationCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The clock keeps apart test runs of several work trees on one machine.
    dir = fs::temp_directory_path() /
          ("pellory_core_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    // The host main() builds, on virtual time.
    host = PlatformStationHost(&procs);
    host.NowMs = [this] { return procs.Now; };
    ParseIsoUtc("2026-03-01T09:00:00Z", wallStart);
    host.WallNow = [this] { return wallStart + std::chrono::milliseconds(procs.Now); };
    config.Program = "pellory-cli";
    config.LogDir = (dir / "logs").string();
    config.Summary = (dir / "s.csv").string();
    fs::create_directories(config.LogDir);
  }
  void TearDown() override { fs::remove_all(dir); }

  void RunDown(TStation& station, int steps = 1000) {
    for (int i = 0; i < steps && station.Busy(); ++i) station.Step(200);
  }
  std::vector<std::vector<std::string>> Summary() const { return ParseCsv(ReadFile(config.Summary)); }
  std::vector<std::string> Logs() const {
    std::vector<std::string> logs;
    for (const auto& e : fs::directory_iterator(config.LogDir)) logs.push_back(e.path().string());
    std::sort(logs.begin(), logs.end());
    return logs;
  }

  TFakeProcesses procs;
  TStationHost host;
  TStationConfig config;
  TRecordingView view;
  std::chrono::system_clock::time_point wallStart;
  fs::path dir;
};

TEST_F(StationCoreTest, EachRunEndsItsOwnWayAndEveryOneIsSummarisedAndLogged) {
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
  config.GraceMs = 1000;
  config.SimOptions = {{"--sim-pace", "9600"}};
  TStation station(config, host, view);
  for (const char* port : {"A", "B", "C", "sim7"}) EXPECT_TRUE(station.Start(port));
  for (int i = 0; i < 20; ++i) station.Step(200);
  station.Cancel();
  RunDown(station);

  // The runs: the same program's update, the simulated options for the simulated port only.
  ASSERT_EQ(procs.Spawned.size(), 4u);
  const std::vector<std::string> expectA{"pellory-cli",   "update", "--port",         "A", "--yes", "--json",
                                         "--max-repeats", "3",      "--station-child"};
  EXPECT_EQ(procs.Spawned[0], expectA);
  EXPECT_EQ(procs.Spawned[3].back(), "9600");
  // The cancel reached the two runs still going; the one that ignored it was killed after the grace.
  EXPECT_EQ(procs.Cancelled, (std::vector<std::string>{"C", "sim7"}));
  EXPECT_EQ(procs.Killed, std::vector<std::string>{"C"});
  EXPECT_EQ(view.Count("event "), 6u);
  const auto event = std::find_if(view.Calls.begin(), view.Calls.end(),
                                  [](const std::string& c) { return c.rfind("event ", 0) == 0; });
  EXPECT_NE(event->find(R"(,"port":"A"})"), std::string::npos) << *event;

  const auto rows = Summary();
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
  const TStation::TCounts counts = station.Counts();
  EXPECT_EQ(counts.Completed * 100 + counts.Failed * 10 + counts.Cancelled, 112);

  // One log per run holding its report lines and its program's own words; a run that could not write its
  // own end (crashed, killed) closes with the station's reason.
  const std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 4u);
  std::map<std::string, std::vector<std::string>> logOf;
  for (const std::string& log : logs) logOf[log.substr(log.rfind('_') + 1)] = Lines(ReadFile(log));
  EXPECT_EQ(logOf["A.log"].size(), 3u);
  EXPECT_EQ(logOf["A.log"].front(), "10-00-00 -> Start at serial port \"A\"");
  ASSERT_EQ(logOf["B.log"].size(), 3u);
  EXPECT_EQ(logOf["B.log"][1], "Segmentation fault");
  EXPECT_NE(logOf["B.log"][2].find(" -> The run's process ended abnormally: Segmentation fault"),
            std::string::npos);
  EXPECT_NE(logOf["C.log"].back().find(" -> Ended by the station: the run did not stop when cancelled"),
            std::string::npos);
  EXPECT_EQ(logOf["sim7.log"].back(), "10-00-09 -> Process cancelled!");
}

TEST_F(StationCoreTest, LongPortNamesGetShortUniqueLogsAndAFileProblemEndsOnlyItsLog) {
  // udev builds by-id names from USB strings of up to 126 characters each.
  const std::string longName = "/dev/serial/by-id/usb-" + std::string(300, 'M') + "_Logger";
  TStation station(config, host, view);
  EXPECT_TRUE(station.Start(longName + "_0001-if00-port0"));
  EXPECT_TRUE(station.Start(longName + "_0002-if00-port0"));
  RunDown(station);
  const std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 2u);
  for (const std::string& log : logs) {
    const std::string name = fs::path(log).filename().string();
    EXPECT_LE(name.size(), 100u) << name;
    EXPECT_NE(name.find("-if00-port0.log"), std::string::npos) << name;
  }
  EXPECT_EQ(view.Count("problem "), 0u);
  EXPECT_EQ(station.Rows().size(), 2u);

  // The log folder gone in the middle of a session: that run has no log and says so; it runs on.
  fs::remove_all(config.LogDir);
  EXPECT_TRUE(station.Start("A"));
  RunDown(station);
  ASSERT_EQ(station.Rows().size(), 3u);
  const TStationRow& row = station.Rows().back();
  EXPECT_EQ(row.Result, "completed");
  EXPECT_NE(row.LogProblem.find("cannot create the log"), std::string::npos) << row.LogProblem;
  EXPECT_EQ(station.Runs().back().LogProblem, row.LogProblem);
  EXPECT_EQ(view.Count("problem cannot create the log"), 1u);
  EXPECT_EQ(Summary().back().back(), row.LogProblem);
}

TEST_F(StationCoreTest, SummaryTimesAreTheRunsOwnNotWhenTheStationReadThem) {
  procs.Scripts["A"].Lines = {
      R"({"report":"09-00-01 -> Start at serial port \"A\"","ts":"2026-03-01T09:00:01.250Z"})",
      R"({"report":"09-00-05 -> Update SD CARD V4.106 succesfully completed.","ts":"2026-03-01T09:00:05.000Z"})",
      R"({"final":"Update SD CARD V4.106 succesfully completed.","ts":"2026-03-01T09:00:05.500Z"})"};
  TStation station(config, host, view);
  station.Start("A");
  // The station was held up (its own output blocked) for a minute before it read the end.
  procs.OnPoll = [this] { procs.Now += 60000; };
  RunDown(station);
  ASSERT_EQ(station.Rows().size(), 1u);
  const TStationRow& row = station.Rows()[0];
  EXPECT_EQ(row.Started, "2026-03-01T09:00:00Z");
  EXPECT_EQ(row.Finished, "2026-03-01T09:00:05Z");
  EXPECT_DOUBLE_EQ(row.Seconds, 5.5);
}

TEST_F(StationCoreTest, WatchRunsOncePerPortNameAndDeviceAndLeavesAReEnumeratedLoggerAlone) {
  std::map<std::string, std::string> device{
      {"P", "/dev/ttyUSB0"}, {"L", "/dev/ttyUSB1"}, {"M", "/dev/ttyUSB2"}};
  std::map<std::string, std::string> serial{{"L", "S1"}, {"M", "S2"}};
  host.PortKey = [&](const std::string& p) { return device[p]; };
  host.Identify = [&](const std::string& p) {
    TPortIdentity id;
    id.Key = device[p];
    id.UsbSerial = serial[p];
    return id;
  };
  procs.Scripts["L"].Lines.assign(10, R"({"code":1,"value":5})");
  procs.Scripts["L"].Lines.push_back(R"({"final":"Update SD CARD V4.106 succesfully completed."})");
  TStation station(config, host, view);
  station.PortsListed({"P"});
  station.SetWatching(true);
  station.PortsListed({"P"});
  EXPECT_TRUE(procs.Spawned.empty()) << "present before watching: no run";
  station.PortsListed({"P", "L"});
  ASSERT_EQ(procs.Spawned.size(), 1u);
  station.Step(200);

  // The logger re-enumerates while its run still holds the old tty: its by-id link points elsewhere. Its
  // name gets no second run; another logger plugged meanwhile gets its own at once.
  device["L"] = "/dev/ttyUSB3";
  station.PortsListed({"P", "L", "M"});
  ASSERT_EQ(procs.Spawned.size(), 2u);
  EXPECT_EQ(procs.Spawned[1][3], "M");
  EXPECT_FALSE(station.Start("L")) << "one run per port name at a time";
  RunDown(station);
  EXPECT_EQ(procs.Spawned.size(), 2u);
  ASSERT_EQ(view.Count("skipped L: no new run: back "), 1u);

  // Unplugged and plugged again later: a new run.
  station.PortsListed({"P", "M"});
  procs.Now += 6000;
  station.PortsListed({"P", "L", "M"});
  EXPECT_EQ(procs.Spawned.size(), 3u);
  RunDown(station);
  EXPECT_EQ(station.Counts().Completed, 3);
}

TEST_F(StationCoreTest, ALoggerBackAfterItsResetIsKnownByItsSerialInItsSocketAlsoWithoutOneOrWithAShared) {
  // A reports no serial number (Windows made its id up); B and C share one.
  std::map<std::string, TPortIdentity> ids;
  ids["A"].Location = "1-1.1";
  ids["B"].Location = "1-1.2";
  ids["B"].UsbSerial = "SAME";
  ids["C"].Location = "1-1.3";
  ids["C"].UsbSerial = "SAME";
  host.Identify = [&](const std::string& p) {
    TPortIdentity id = ids[p];
    id.Key = p;
    return id;
  };
  for (const char* port : {"A", "B", "C"})
    procs.Scripts[port].Lines = {R"({"final":"Update SD CARD V4.106 succesfully completed."})"};
  TStation station(config, host, view);
  station.PortsListed({});
  station.SetWatching(true);
  station.PortsListed({"A", "B"});
  ASSERT_EQ(procs.Spawned.size(), 2u);
  RunDown(station);

  // Both reset themselves after the update: gone, and back 1.5 s later. Neither plugging nor Start
  // updates them again, and their rows may say so.
  station.PortsListed({});
  procs.Now += 1500;
  station.PortsListed({"A"});
  EXPECT_FALSE(station.Start("A"));
  EXPECT_EQ(procs.Spawned.size(), 2u);
  EXPECT_EQ(view.Count("skipped A: no new run: back 1.5 s after its completed update in the same socket"),
            2u);
  EXPECT_TRUE(station.JustCompleted("A", host.Identify("A")));
  // Another logger with B's serial number, in another socket, is updated at once; B itself is left alone.
  station.PortsListed({"A", "C"});
  ASSERT_EQ(procs.Spawned.size(), 3u);
  EXPECT_EQ(procs.Spawned[2][3], "C");
  station.PortsListed({"A", "C", "B"});
  EXPECT_EQ(procs.Spawned.size(), 3u);
  EXPECT_EQ(
      view.Count("skipped B: no new run: back 1.5 s after its completed update with the same USB serial "
                 "number in the same socket"),
      1u);
  RunDown(station);

  // The next logger in A's socket, plugged in later, is a new one.
  station.PortsListed({"B", "C"});
  procs.Now += 6000;
  EXPECT_FALSE(station.JustCompleted("A", host.Identify("A")));
  station.PortsListed({"A", "B", "C"});
  ASSERT_EQ(procs.Spawned.size(), 4u);
  EXPECT_EQ(procs.Spawned[3][3], "A");
  RunDown(station);
}

TEST_F(StationCoreTest, AKillThatDoesNotEndTheProcessIsWaitedForABoundedTime) {
  procs.Scripts["A"] = {{R"({"report":"10-00-00 -> Start at serial port \"A\""})"}, 0, true, false, true};
  config.GraceMs = 1000;
  config.ReapWaitMs = 3000;
  TStation station(config, host, view);
  station.Start("A");
  station.Step(200);
  station.Cancel();
  RunDown(station);
  EXPECT_FALSE(station.Busy());
  EXPECT_LE(procs.Now, 200u + 1000u + 3000u + 400u);
  ASSERT_EQ(station.Rows().size(), 1u);
  EXPECT_EQ(station.Rows()[0].Result, "cancelled");
  EXPECT_NE(station.Rows()[0].Text.find("not reaped"), std::string::npos);
  EXPECT_TRUE(station.Runs()[0].Killed);
  EXPECT_TRUE(station.Runs()[0].Unreaped);
  EXPECT_NE(Lines(ReadFile(Logs().at(0))).back().find("not reaped"), std::string::npos);
}

TEST_F(StationCoreTest, TheEndOfTheSessionEndsEveryRunInTimeWithItsRowAndItsLogsLastLine) {
  procs.Scripts["A"] = {{R"({"report":"10-00-00 -> Start at serial port \"A\""})"}, 0, true, true};
  procs.Scripts["B"] = {{R"({"report":"10-00-00 -> Start at serial port \"B\""})"}, 0, true, false};
  procs.Scripts["C"] = {{R"({"report":"10-00-00 -> Start at serial port \"C\""})"}, 0, true, false, true};
  TStation station(config, host, view);
  for (const char* port : {"A", "B", "C"}) station.Start(port);
  station.Step(200);
  const uint64_t before = procs.Now;
  station.EndWithin(2500, 4000);
  EXPECT_FALSE(station.Busy());
  EXPECT_LE(procs.Now - before, 4000u + 50u);
  EXPECT_EQ(procs.Killed, (std::vector<std::string>{"B", "C"}));
  // Every row on disk when it returns: the one that ended when asked, the killed one, the one not even a
  // kill ended; and every log closed with its end.
  const auto rows = Summary();
  ASSERT_EQ(rows.size(), 4u);
  std::map<std::string, std::string> text;
  for (size_t i = 1; i < rows.size(); ++i) text[rows[i][0]] = rows[i][4] + ": " + rows[i][6];
  EXPECT_EQ(text["A"], "cancelled: Process cancelled!");
  EXPECT_EQ(text["B"], "cancelled: Ended by the station: the run did not stop when cancelled");
  EXPECT_NE(text["C"].find("not reaped"), std::string::npos) << text["C"];
  const std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(Lines(ReadFile(logs[0])).back(), "10-00-09 -> Process cancelled!");
  EXPECT_NE(Lines(ReadFile(logs[1])).back().find(" -> Ended by the station"), std::string::npos);
  EXPECT_NE(Lines(ReadFile(logs[2])).back().find("not reaped"), std::string::npos);
}

TEST_F(StationCoreTest, RowsSayWhichLoggerWhereOnWhichComputerAndAnOlderSummaryIsLeftAlone) {
  host.Identify = [](const std::string& p) {
    TPortIdentity id;
    id.Key = p;
    id.UsbSerial = "A50285BI";
    id.Location = "1-1.4";
    return id;
  };
  EXPECT_EQ(host.Version, PELLORY_VERSION);
  host.HostName = "bench-3";
  // A summary of an earlier version, with fewer columns: left as it is, the rows go beside it.
  const std::string older =
      "port,started,finished,seconds,result,exit_code,text,logger_class,logger_version,platform,print,"
      "image,warnings,repeats\r\nCOM5,2026-02-01T08:00:00Z,2026-02-01T08:02:05Z,125.0,completed,0,ok,,,,,,"
      "0,0\r\n";
  std::ofstream(config.Summary, std::ios::binary) << older;
  {
    TStation station(config, host, view);
    EXPECT_EQ(station.Record().File, (dir / "s-2.csv").string());
    station.Start("COM7");
    RunDown(station);
  }
  EXPECT_EQ(ReadFile(config.Summary), older);
  const auto rows = ParseCsv(ReadFile(dir / "s-2.csv"));
  ASSERT_EQ(rows.size(), 2u);
  const std::vector<std::string> tail(rows[0].end() - 5, rows[0].end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"usb_serial", "location", "host", "pellory_version", "log_problem"}));
  EXPECT_EQ(rows[1][0], "COM7");
  EXPECT_EQ(std::vector<std::string>(rows[1].end() - 5, rows[1].end()),
            (std::vector<std::string>{"A50285BI", "1-1.4", "bench-3", PELLORY_VERSION, ""}));
  // The run's log names the file its row went to.
  EXPECT_NE(Lines(ReadFile(Logs().at(0))).back().find("the rows go to s-2.csv"), std::string::npos);
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
  // Long names keep both ends; names that differ only in the middle stay apart.
  const std::string a = LogFileName("usb-" + std::string(100, 'a') + "-if00", t);
  const std::string b = LogFileName("usb-" + std::string(50, 'a') + "b" + std::string(49, 'a') + "-if00", t);
  EXPECT_EQ(a.size(), b.size());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind("20260301-090507_usb-aaa", 0), 0u);
  EXPECT_EQ(a.substr(a.size() - 11), "aa-if00.log");
}

}  // namespace
