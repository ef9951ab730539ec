#include "ui/uStationBoard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "station/uText.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

TPortIdentity At(const std::string& location, int latencyMs = -1, const std::string& interface = "") {
  TPortIdentity identity;
  identity.Location = location;
  identity.LatencyMs = latencyMs;
  identity.Interface = interface;
  return identity;
}

// Windows' location path of a USB device in `ports` of the hubs below the first controller.
std::string Path(const std::string& ports) {
  std::string path = "PCIROOT(0)#PCI(1400)#USBROOT(0)";
  size_t start = 0;
  for (size_t dot = ports.find('.'); start <= ports.size(); dot = ports.find('.', start)) {
    if (dot == std::string::npos) dot = ports.size();
    path += "#USB(" + ports.substr(start, dot - start) + ")";
    start = dot + 1;
  }
  return path;
}

std::vector<std::string> Ports(const TStationBoard& board) {
  std::vector<std::string> ports;
  for (const TBoardRow& row : board.Rows()) ports.push_back(row.Port);
  return ports;
}

TStationRun& NewRun(std::deque<TStationRun>& runs, const std::string& port, TRunStatus status,
                    const TPortIdentity& identity = {}) {
  runs.emplace_back();
  TStationRun& run = runs.back();
  run.Number = static_cast<int>(runs.size());
  run.Port = port;
  run.Identity = identity;
  run.Status = status;
  return run;
}

TEST(StationStart, OptionsSimulatedLoggersAndTheProgramBeside) {
  const TStationStart start =
      StationStartFromParams({"C:\\p\\pellory.exe", "ST:+", "sim:+", "log:D:\\Station logs", "st:-"});
  EXPECT_TRUE(start.Station);
  EXPECT_TRUE(start.Simulated);
  EXPECT_EQ(start.LogDir, "D:\\Station logs");
  const TStationStart none = StationStartFromParams({"pellory.exe", "st:-", "st:+", "mf:+"});
  EXPECT_FALSE(none.Station);  // the first "st:" decides, as for every option
  EXPECT_FALSE(none.Simulated);
  EXPECT_EQ(none.LogDir, "");

  EXPECT_THAT(SimulatedStationPorts(),
              ElementsAre("sim1", "sim2", "sim3", "sim4", "sim5", "sim6", "sim7", "sim8"));
  EXPECT_EQ(ProgramBeside("C:\\Program files\\Pellory\\pellory.exe", "pellory-cli.exe"),
            "C:\\Program files\\Pellory\\pellory-cli.exe");
  EXPECT_EQ(ProgramBeside("/opt/p/pellory", "pellory-cli"), "/opt/p/pellory-cli");
  EXPECT_EQ(ProgramBeside("pellory.exe", "pellory-cli.exe"), "pellory-cli.exe");
}

TEST(StationBoard, RowsKeepThePhysicalOrderThenThePortNames) {
  EXPECT_TRUE(NaturalLess("COM3", "COM12"));
  EXPECT_TRUE(NaturalLess("sim2", "sim10"));
  EXPECT_TRUE(NaturalLess("COM007", "COM8"));
  EXPECT_FALSE(NaturalLess("COM12", "COM12"));
  EXPECT_EQ(DurationText(7000), "0:07");
  EXPECT_EQ(DurationText(3723000), "1:02:03");

  // By hub port, whatever the COM numbers: port 10 of the hub after port 4, the hub's ports before the
  // controller's next port.
  TStationBoard board;
  board.Listed({{"sim10", {}},
                {"COM12", {}},
                {"COM20", At(Path("2"))},
                {"COM3", {}},
                {"COM21", At(Path("1.10"))},
                {"sim2", {}},
                {"COM22", At(Path("1.4"))}});
  EXPECT_THAT(Ports(board), ElementsAre("COM22", "COM21", "COM20", "COM3", "COM12", "sim2", "sim10"));
  EXPECT_EQ(RowTexts(board.Rows()[1], 0).Socket, "1.10");
  EXPECT_EQ(SocketLabel("1-1.4"), "1-1.4");
  EXPECT_EQ(SocketLabel("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(x)"), "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(x)");

  // A run changes no row's place.
  std::deque<TStationRun> runs;
  board.RunStarted(NewRun(runs, "COM12", TRunStatus::Running));
  board.RunStarted(NewRun(runs, "COM21", TRunStatus::Running, At(Path("1.10"))));
  EXPECT_THAT(Ports(board), ElementsAre("COM22", "COM21", "COM20", "COM3", "COM12", "sim2", "sim10"));
  EXPECT_EQ(board.RowOf(runs[0]), 4);
  EXPECT_EQ(board.RowOf(runs[1]), 1);
}

TEST(StationBoard, EachPortOfAMultiPortAdapterHasItsRowAndAReplugInItsSocketTakesTheSameOne) {
  std::deque<TStationRun> runs;
  TStationBoard board;
  const std::string hub = Path("1.3");
  board.Listed({{"COM14", At(hub, 16, "MI_03")},
                {"COM11", At(hub, 16, "MI_00")},
                {"COM13", At(hub, 16, "MI_02")},
                {"COM12", At(hub, 16, "MI_01")}});
  EXPECT_THAT(Ports(board), ElementsAre("COM11", "COM12", "COM13", "COM14"));
  EXPECT_THAT(board.ToStart(), ElementsAre("COM11", "COM12", "COM13", "COM14"));
  EXPECT_THAT(board.NotSetUp(), ElementsAre("COM11", "COM12", "COM13", "COM14"));
  TStationRun& first = NewRun(runs, "COM12", TRunStatus::Completed, At(hub, 16, "MI_01"));
  board.RunStarted(first);
  EXPECT_EQ(board.RowOf(first), 1);

  // Its logger reset itself after the update and is back: the row stays completed. A logger plugged into
  // the second port afterwards, under the next COM number, takes the same row afresh.
  board.Listed({{"COM11", At(hub, 16, "MI_00")}});
  board.Listed({{"COM11", At(hub, 16, "MI_00")}, {"COM12", At(hub, 16, "MI_01"), true}});
  EXPECT_EQ(board.Rows()[1].Run, &first);
  EXPECT_EQ(RowTexts(board.Rows()[1], 0).Result, "completed \xC2\xB7 slow adapter (16 ms)");
  board.Listed({{"COM11", At(hub, 16, "MI_00")}});
  TPortIdentity setUp = At(hub, 1, "MI_01");
  setUp.SocketSetUp = true;
  board.Listed({{"COM11", At(hub, 16, "MI_00")}, {"COM40", setUp}});
  ASSERT_EQ(board.Rows().size(), 2u);
  EXPECT_EQ(board.Rows()[1].Port, "COM40");
  EXPECT_EQ(board.Rows()[1].Run, nullptr);
  EXPECT_EQ(RowTexts(board.Rows()[1], 0).Socket, "1.3 (set up)");
  EXPECT_EQ(RowTexts(board.Rows()[1], 0).Result, "waiting");
  EXPECT_THAT(board.NotSetUp(), ElementsAre("COM11"));
}

TEST(StationBoard, StartAndRepeatTakeTheRightSocketsAndAReplugIsANewLogger) {
  std::deque<TStationRun> runs;
  TStationBoard board;
  board.Listed({{"COM3", {}}, {"COM4", {}}, {"COM5", At("1-1.4")}, {"COM6", {}}});
  TStationRun& failed = NewRun(runs, "COM3", TRunStatus::Failed);
  TStationRun& running = NewRun(runs, "COM4", TRunStatus::Running);
  TStationRun& completed = NewRun(runs, "COM5", TRunStatus::Completed, At("1-1.4"));
  board.RunStarted(failed);
  board.RunStarted(running);
  board.RunStarted(completed);
  EXPECT_THAT(board.ToStart(), ElementsAre("COM5", "COM3", "COM6"));
  EXPECT_THAT(board.ToRepeat(), ElementsAre("COM3"));

  // Unplugged: the rows with a run stay and start nothing; the idle one goes.
  board.Listed({{"COM4", {}}});
  EXPECT_THAT(Ports(board), ElementsAre("COM5", "COM3", "COM4"));
  EXPECT_THAT(board.ToStart(), IsEmpty());
  EXPECT_THAT(board.ToRepeat(), IsEmpty());

  // Another logger in the same socket comes as another port; the failed port's row is a fresh one too.
  board.Listed({{"COM3", {}}, {"COM4", {}}, {"COM9", At("1-1.4")}});
  EXPECT_THAT(Ports(board), ElementsAre("COM9", "COM3", "COM4"));
  EXPECT_EQ(board.Rows()[0].Run, nullptr);
  EXPECT_EQ(board.Rows()[1].Run, nullptr);
  EXPECT_EQ(board.Rows()[2].Run, &running);  // still going: the same row
  EXPECT_THAT(board.ToStart(), ElementsAre("COM9", "COM3"));
  EXPECT_THAT(board.ToRepeat(), IsEmpty());
}

TEST(StationBoard, RowTextsNameTheStateInWordsAndKeepOutsideTextHarmless) {
  std::deque<TStationRun> runs;
  TStationBoard board;
  board.Listed({{"COM\x1b[2J", At("1-1\x1b[2J", 16)}});
  EXPECT_EQ(RowTexts(board.Rows()[0], 0).Result, "waiting \xC2\xB7 slow adapter (16 ms)");
  EXPECT_EQ(RowTexts(board.Rows()[0], 0).Port, "COM\\x1b[2J");

  TStationRun& run = NewRun(runs, "COM\x1b[2J", TRunStatus::Running, At("1-1\x1b[2J", 16));
  run.StartMs = 1000;
  run.Progress = 57;
  run.LeftMs = 66000;
  run.LoggerClass = "QDL 210";
  run.LoggerVersion = "7.0";
  run.Image = "SD CARD V4.106";
  board.RunStarted(run);
  TRowTexts t = RowTexts(board.Rows()[0], 66000);
  EXPECT_EQ(t.State, TRunStatus::Running);
  EXPECT_EQ(t.Progress, 57);
  EXPECT_EQ(t.Socket, "1-1\\x1b[2J");
  EXPECT_EQ(t.Logger, "QDL 210 7.0");
  EXPECT_EQ(t.Image, "SD CARD V4.106");
  EXPECT_EQ(t.Time, "1:05, 1:06 left");
  EXPECT_EQ(t.Result, "running \xC2\xB7 slow adapter (16 ms)");

  run.Status = TRunStatus::Failed;
  run.ElapsedMs = 70000;
  run.Text = "Aborted because wrong answer from the SD controller!\x07";
  t = RowTexts(board.Rows()[0], 99000);
  EXPECT_EQ(t.Time, "1:10");
  // What it means for the logger first: written in part, it must be updated again; then why.
  EXPECT_EQ(t.Result,
            "failed at 57 % \xE2\x80\x94 update it again: Aborted because wrong answer from the SD "
            "controller!\\x07 \xC2\xB7 slow adapter (16 ms)");
  run.Status = TRunStatus::Cancelled;
  EXPECT_EQ(RowTexts(board.Rows()[0], 0).Result,
            "cancelled at 57 % \xE2\x80\x94 update it again \xC2\xB7 slow adapter (16 ms)");
  run.Status = TRunStatus::Completed;
  EXPECT_EQ(RowTexts(board.Rows()[0], 0).Progress, 100);
  EXPECT_EQ(SlowAdapterNote(1), "");
  EXPECT_EQ(SlowAdapterNote(-1), "");
}

TEST(StationBoard, AStoppedRowSaysWhatItsLoggerNeedsAndItsTipAndReportSayWhy) {
  std::deque<TStationRun> runs;
  TStationBoard board;
  board.Listed({{"COM5", {}}, {"COM6", {}}, {"COM7", {}}});
  // COM5 would not open: nothing was written; its program said why and what to do.
  TStationRun& refused = NewRun(runs, "COM5", TRunStatus::Failed);
  refused.Text = "Aborted because serial port \"COM5\" is not ready!";
  refused.Report = {"10-00-00 -> Start at serial port \"COM5\"",
                    "10-00-00 -> Aborted because serial port \"COM5\" is not ready!"};
  refused.Row.ExitCode = 10;
  refused.Hints = {"pellory-cli: The USB adapter of COM5 holds every answer up to 16 ms.",
                   "pellory-cli: COM5 is busy: another program has it open.\x1b[2J Close it and try again."};
  // COM6 was cancelled before the update began, COM7 pulled out half-way.
  TStationRun& early = NewRun(runs, "COM6", TRunStatus::Cancelled);
  early.Text = "Process cancelled!";
  TStationRun& pulled = NewRun(runs, "COM7", TRunStatus::Unplugged);
  pulled.Image = "SD CARD V4.106";
  pulled.Progress = 50;
  pulled.Text = "Aborted because of a communication failure!";
  for (const TStationRun* run : {&refused, &early, &pulled}) board.RunStarted(*run);

  // Where the port would not open, the hint that says why stands in the row; the tip has every hint.
  const std::string busy = "COM5 is busy: another program has it open.\\x1b[2J Close it and try again.";
  const TRowTexts t = RowTexts(board.Rows()[0], 0);
  EXPECT_EQ(t.Result, "failed \xE2\x80\x94 not updated: " + busy);
  EXPECT_EQ(t.Tip,
            "COM5: " + t.Result + "\nThe USB adapter of COM5 holds every answer up to 16 ms.\n" + busy);
  refused.Row.ExitCode = 48;
  EXPECT_EQ(RowTexts(board.Rows()[0], 0).Result,
            "failed \xE2\x80\x94 not updated: Aborted because serial port \"COM5\" is not ready!");
  refused.Row.ExitCode = 10;
  EXPECT_EQ(RowTexts(board.Rows()[1], 0).Result, "cancelled \xE2\x80\x94 not updated");
  EXPECT_EQ(RowTexts(board.Rows()[2], 0).Result,
            "unplugged at 50 % \xE2\x80\x94 update it again: Aborted because of a communication failure!");
  EXPECT_EQ(RowTexts(board.Rows()[2], 0).Tip, "COM7: " + RowTexts(board.Rows()[2], 0).Result);

  // The report: its lines, the hint, and at the end what the run means for the logger.
  EXPECT_THAT(RunReportLines(refused),
              ElementsAre(refused.Report[0], refused.Report[1],
                          "The USB adapter of COM5 holds every answer up to 16 ms.", busy, "", t.Result));
  refused.Report.clear();
  refused.LogPath = "C:\\logs\\20260301-101500_COM5.log";
  refused.Status = TRunStatus::Completed;
  refused.Hints.clear();
  EXPECT_THAT(RunReportLines(refused),
              ElementsAre("The report lines are in the log C:\\logs\\20260301-101500_COM5.log"));
  EXPECT_EQ(RunOutcome(refused), "completed");
}

TEST(StationBoard, CountersCountLoggersByTheirNewestRun) {
  std::deque<TStationRun> runs;
  TStationBoard board;
  board.Listed({{"COM5", At("1-1.1")}, {"COM6", At("1-1.2")}});
  // Both cancelled, then repeated: both complete.
  board.RunStarted(NewRun(runs, "COM5", TRunStatus::Cancelled, At("1-1.1")));
  board.RunStarted(NewRun(runs, "COM6", TRunStatus::Cancelled, At("1-1.2")));
  EXPECT_EQ(CountRuns(board.Loggers()), (TBoardCounts{0, 0, 2, 0, 2}));
  board.RunStarted(NewRun(runs, "COM5", TRunStatus::Completed, At("1-1.1")));
  board.RunStarted(NewRun(runs, "COM6", TRunStatus::Running, At("1-1.2")));
  EXPECT_EQ(CountRuns(board.Loggers()), (TBoardCounts{1, 0, 0, 1, 2}));
  runs.back().Status = TRunStatus::Completed;
  EXPECT_EQ(CountRuns(board.Loggers()), (TBoardCounts{2, 0, 0, 0, 2}));

  // COM6's logger is taken out and another one fails in its socket: a third logger; the first still counts.
  board.Listed({{"COM5", At("1-1.1")}});
  board.Listed({{"COM5", At("1-1.1")}, {"COM9", At("1-1.2")}});
  board.RunStarted(NewRun(runs, "COM9", TRunStatus::Failed, At("1-1.2")));
  EXPECT_EQ(CountRuns(board.Loggers()), (TBoardCounts{2, 1, 0, 0, 3}));
  EXPECT_EQ(runs.size(), 5u);
}

TEST(StationBoard, QuestionsAndTheEmptyListSayWhatTheyAreAbout) {
  EXPECT_EQ(StartLine({"COM5"}, "the embedded images"),
            "This updates 1 logger with the embedded images: COM5.");
  EXPECT_EQ(StartLine({"COM3", "COM12\x1b"}, "the embedded images"),
            "This updates 2 loggers with the embedded images: COM3 and COM12\\x1b.");
  std::vector<std::string> many;
  for (int i = 1; i <= 30; ++i) many.push_back("COM" + std::to_string(i));
  EXPECT_EQ(
      StartLine(many, "the embedded images"),
      "This updates 30 loggers with the embedded images: COM1, COM2, COM3, COM4, COM5, COM6, COM7 and 23 "
      "more.");
  EXPECT_EQ(PlugLine("the embedded images"),
            "From now on, each logger plugged in is updated with the embedded images.");
  EXPECT_EQ(StopsLine(1),
            "This stops 1 running update. A logger stopped while it is being written must be "
            "updated again before it is used.");
  EXPECT_THAT(StopsLine(8), ::testing::StartsWith("This stops 8 running updates. "));

  const std::string empty = EmptyListText({}, false);
  EXPECT_THAT(empty,
              ::testing::StartsWith("No logger port is listed.\n\nThe list shows the serial ports of "
                                    "USB logger adapters, those the system names \"\\Device\\VCP...\"."));
  EXPECT_THAT(empty,
              ::testing::HasSubstr("Plug a logger in. If its port does not appear, check its adapter's "
                                   "driver"));
  EXPECT_THAT(empty,
              ::testing::EndsWith("Tick \"Start each logger when it is plugged in\", and each logger is "
                                  "updated as soon as it is plugged in."));
  const std::string waiting = EmptyListText({"COM1", "COM2\x1b"}, true);
  EXPECT_THAT(waiting,
              ::testing::HasSubstr(" This PC's other serial ports are left out: COM1 and COM2\\x1b."));
  EXPECT_THAT(waiting, ::testing::EndsWith("Each logger is updated as soon as it is plugged in (\"Start each "
                                           "logger when it is plugged in\" is on)."));
}

TEST(StationBoard, SpeedUpTakesIdleSlowAdaptersAndTheirRowsSayWhenAReplugIsDue) {
  std::deque<TStationRun> runs;
  TStationBoard board;
  board.Listed(
      {{"COM3", At("", 16)}, {"COM4", At("", 16)}, {"COM5", At("", 1)}, {"COM6", At("", 8)}, {"sim1", {}}});
  board.RunStarted(NewRun(runs, "COM4", TRunStatus::Running, At("", 16)));
  board.RunStarted(NewRun(runs, "COM6", TRunStatus::Failed, At("", 8)));
  // Not the one whose run goes, nor the fast one, nor the simulated logger without an adapter.
  EXPECT_THAT(board.ToSpeedUp(), ElementsAre("COM3", "COM6"));

  // COM3's adapter was restarted, COM6's takes its timer when plugged in again.
  board.Listed(
      {{"COM3", At("", 1)}, {"COM4", At("", 16)}, {"COM5", At("", 1)}, {"COM6", At("", 1)}, {"sim1", {}}});
  board.ReplugDue({"COM6", "COM9"});
  EXPECT_THAT(board.ToSpeedUp(), IsEmpty());
  EXPECT_EQ(RowTexts(board.Rows()[0], 0).Result, "waiting");
  EXPECT_EQ(RowTexts(board.Rows()[3], 0).Result,
            "failed \xE2\x80\x94 not updated \xC2\xB7 adapter set to 1 ms: plug it in again");
  // Listed again while still there: still due. Gone once and back: taken.
  board.Listed({{"COM4", At("", 16)}, {"COM6", At("", 1)}});
  EXPECT_TRUE(board.Rows()[1].ReplugDue);
  board.Listed({{"COM4", At("", 16)}});
  board.Listed({{"COM4", At("", 16)}, {"COM6", At("", 1)}});
  EXPECT_EQ(RowTexts(board.Rows()[1], 0).Result, "waiting");
}

TEST(StationBoard, SpeedUpReportSaysPortByPortWhatBecameOfItsAdapter) {
  auto result = [](const std::string& port, TTimerOutcome outcome, int was, int now,
                   std::vector<std::string> notes) {
    TTimerResult r;
    r.Port = port;
    r.Outcome = outcome;
    r.WasMs = was;
    r.TimerMs = now;
    r.Notes = std::move(notes);
    return r;
  };
  const std::vector<TTimerResult> results{
      result("COM7", TTimerOutcome::NotPermitted, 16, 16,
             {"COM7: the elevation was declined; its latency timer stays as it was."}),
      result("COM3", TTimerOutcome::Set, 16, 1, {"The adapter was restarted and uses it now."}),
      result("COM4", TTimerOutcome::SetPending, 16, 1,
             {"Windows restarts this adapter only with the system\x1b[2J"}),
      result("COM5", TTimerOutcome::NotPermitted, 8, 1,
             {"restarting the adapter needs administrator rights"}),
      result("COM6", TTimerOutcome::NoTimer, -1, -1, {"COM6: no such port."}),
      result("COM99", TTimerOutcome::Set, 16, 1, {}),  // not asked about: not shown
  };
  const TSpeedUpReport report =
      SpeedUpReport({"COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}, &results, 5, {}, "pellory-cli.exe");
  EXPECT_EQ(report.Summary,
            "Adapters: COM3 now at 1 ms; COM4 and COM5 at 1 ms once plugged in again; COM6 not changed (no "
            "adapter latency timer found); COM7 not changed (not permitted); COM8 not changed.");
  EXPECT_TRUE(report.Problem);
  EXPECT_THAT(report.ReplugDue, ElementsAre("COM4", "COM5"));
  EXPECT_THAT(report.Details,
              ElementsAre("COM3: now 1 ms (was 16 ms).", "    The adapter was restarted and uses it now.",
                          "COM4: set to 1 ms (was 16 ms); the adapter takes it when it is plugged in again.",
                          "    Windows restarts this adapter only with the system\\x1b[2J",
                          "COM5: set to 1 ms (was 8 ms); the adapter takes it when it is plugged in again.",
                          "    restarting the adapter needs administrator rights",
                          "COM6: not changed: no adapter latency timer found.", "    COM6: no such port.",
                          "COM7: not changed, still 16 ms: not permitted.",
                          "    COM7: the elevation was declined; its latency timer stays as it was.",
                          "COM8: not changed: pellory-cli.exe did not report it."));

  const std::vector<TTimerResult> set{result("COM3", TTimerOutcome::Set, 16, 1, {})};
  EXPECT_EQ(SpeedUpReport({"COM3"}, &set, 0, {}, "pellory-cli.exe").Summary, "Adapters: COM3 now at 1 ms.");
  EXPECT_FALSE(SpeedUpReport({"COM3"}, &set, 0, {}, "pellory-cli.exe").Problem);

  // No result to read: what the helper said instead, harmless.
  const TSpeedUpReport none =
      SpeedUpReport({"COM3", "COM\x1b"}, nullptr, 2, {"latency: unknown option\x07"}, "pellory-cli.exe");
  EXPECT_TRUE(none.Problem);
  EXPECT_EQ(none.Summary,
            "The adapters' timers: pellory-cli.exe ended with exit code 2 and reported nothing; COM3 and "
            "COM\\x1b may be unchanged.");
  EXPECT_THAT(none.Details, ElementsAre(none.Summary, "    latency: unknown option\\x07"));
  EXPECT_THAT(SpeedUpReport({"COM3"}, nullptr, IProcesses::kCrashed, {}, "h").Summary,
              ::testing::HasSubstr("h ended abnormally"));
}

TEST(StationBoard, CountersAndWhenTheLastRunEnds) {
  std::deque<TStationRun> runs;
  std::vector<const TStationRun*> all;
  for (TRunStatus s : {TRunStatus::Completed, TRunStatus::Completed, TRunStatus::Failed,
                       TRunStatus::Unplugged, TRunStatus::Cancelled}) {
    all.push_back(&NewRun(runs, "p", s));
  }
  runs[0].ElapsedMs = 100000;
  runs[1].ElapsedMs = 120000;
  EXPECT_EQ(LastEndsInMs(all, 0), std::nullopt);  // nothing runs

  TStationRun& fresh = NewRun(runs, "q", TRunStatus::Running);
  fresh.StartMs = 10000;
  TStationRun& estimated = NewRun(runs, "r", TRunStatus::Running);
  estimated.LeftMs = 30000;
  all.push_back(&fresh);
  all.push_back(&estimated);
  EXPECT_EQ(CountRuns(all), (TBoardCounts{2, 2, 1, 2, 7}));
  // The fresh run, 20 s in, is taken to last as long as the completed ones did: 110 s.
  EXPECT_EQ(LastEndsInMs(all, 30000), 90000u);
  // Without a completed run nothing tells how long the fresh one will take.
  EXPECT_EQ(LastEndsInMs({&fresh, &estimated}, 30000), std::nullopt);
  EXPECT_EQ(LastEndsInMs({&estimated}, 30000), 30000u);
}

}  // namespace
