#include "run/uRunControl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "device/uEventTexts.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using TLog = std::vector<std::string>;

// Every call of the run control on its view, in order, as one text each.
class TRecordingView : public IRunView {
 public:
  explicit TRecordingView(TLog& log) : Log(log) {}
  void ClearReport() override { Log.push_back("clear"); }
  void AddReport(const std::string& text) override { Log.push_back("report " + text); }
  void SetStatus(const std::string& text) override { Log.push_back("status " + text); }
  void SetProgress(int position) override {
    // Like the window's bar: the range is 0 to 100.
    Position = std::clamp(position, 0, 100);
    Log.push_back("bar " + std::to_string(position));
  }
  int ProgressPosition() override { return Position; }
  void SetTitle(const std::string& text) override { Log.push_back("title " + text); }
  void ShowInfoBox(const std::string& text) override { Log.push_back("box " + text); }
  void ShowError(const std::string& text) override { Log.push_back("error " + text); }
  void SetBusy(bool busy) override { Log.push_back(busy ? "busy" : "idle"); }
  void Beep() override { Log.push_back("beep"); }
  bool Confirm(const std::string& question) override {
    Log.push_back("ask " + question);
    if (Answers.empty()) return false;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  std::string PortText() override { return Port; }
  bool ReadInfoOnlyChecked() override { return InfoOnly; }

  TLog& Log;
  int Position = 0;
  std::string Port = "COM7";
  bool InfoOnly = false;
  std::deque<bool> Answers;
};

class TRecordingClock : public IClock {
 public:
  explicit TRecordingClock(TLog& log) : Log(log) {}
  void Sleep(uint32_t ms) override {
    Now += ms;
    Log.push_back("sleep " + std::to_string(ms));
    if (Hook) Hook();
  }
  std::function<void()> Hook;
  uint64_t NowMs() override { return Now; }
  TLog& Log;
  uint64_t Now = 0;
};

// A worker that is created and never run: the tests post its events by hand.
class TStubWorker : public TCommThread {
 public:
  using TCommThread::TCommThread;
};

struct TStart {
  intptr_t hWindow;
  TCmd Cmd;
  std::string Port;
  bool ReadInfoOnly;
  bool Cancel;
};
std::vector<TStart> gStarts;
std::vector<std::unique_ptr<TCommThread>> gWorkers;
TLog* gLog = nullptr;
bool gFactoryThrows = false;
bool gFactoryFails = false;

TCommThread* StubFactory(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  if (gFactoryThrows) throw std::runtime_error("no thread");
  if (gFactoryFails) return nullptr;
  gStarts.push_back({hWindow, cmd, sPort, ReadInfoOnly, CancelRequested});
  if (gLog != nullptr) gLog->push_back("worker " + sPort);
  gWorkers.push_back(std::make_unique<TStubWorker>(hWindow, cmd, sPort));
  return gWorkers.back().get();
}

constexpr intptr_t kWindow = 0x1234;

class RunControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServiceLevel = 0;
    ClearsMeasurements = false;
    CheckClass = true;
    CancelRequested = false;
    ReadInfoOnly = false;
    SelectedImage = -1;
    CommThreadClass = StubFactory;
    gStarts.clear();
    gWorkers.clear();
    gLog = &log;
    gFactoryThrows = false;
    gFactoryFails = false;
    dir = std::filesystem::temp_directory_path() /
          ("pellory_ui_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    gLog = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // A run started by Update in internal mode (no question), with the log emptied afterwards.
  void StartedRun() {
    ServiceLevel = 1;
    ASSERT_TRUE(control.UpdateClick());
    log.clear();
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  TLog log;
  TRecordingView view{log};
  TRecordingClock clock{log};
  TRunControl control{view, kWindow, clock};
  std::filesystem::path dir;
};

const char* kImage3Header =
    "bootloader=2\nbootloader version=1\nclass=26122\nversionH=4\nversionL=106\nplatform=25\nprint=52\n"
    "date=18.04.2024 11:42:26\n";

TEST_F(RunControlTest, UpdateAsksByTheSettingsAndANoChangesNothing) {
  // Normal mode: the saving question; No leaves the report and everything else alone.
  EXPECT_STREQ(TRunControl::UpdateQuestion(), kAskSaved);
  EXPECT_FALSE(control.UpdateClick());
  EXPECT_THAT(log, ElementsAre(std::string("ask ") + kAskSaved));
  EXPECT_FALSE(control.Busy());
  EXPECT_THAT(gStarts, IsEmpty());

  // Clearing the measurements asks its own question in every mode.
  ClearsMeasurements = true;
  for (int level : {0, 1, 2}) {
    ServiceLevel = level;
    log.clear();
    EXPECT_FALSE(control.UpdateClick());
    EXPECT_THAT(log, ElementsAre(std::string("ask ") + kAskClears));
  }

  // Internal mode: no question at all.
  ClearsMeasurements = false;
  ServiceLevel = 1;
  EXPECT_EQ(TRunControl::UpdateQuestion(), nullptr);
  log.clear();
  EXPECT_TRUE(control.UpdateClick());
  EXPECT_EQ(log.front(), "clear");
  EXPECT_EQ(gStarts.size(), 1u);
}

TEST_F(RunControlTest, UpdateWithYesPreparesAndStartsOneWorker) {
  view.Answers = {true};
  view.InfoOnly = true;
  SelectedImage = 2;
  CancelRequested = true;
  EXPECT_TRUE(control.UpdateClick());
  const std::string start = StartText("COM7");
  EXPECT_THAT(log, ElementsAre(std::string("ask ") + kAskSaved, "clear", "report " + start, "status " + start,
                               "bar 0", "busy", "worker COM7"));
  ASSERT_EQ(gStarts.size(), 1u);
  EXPECT_EQ(gStarts[0].hWindow, kWindow);
  EXPECT_EQ(gStarts[0].Cmd, TCmd::tCMD0);
  EXPECT_TRUE(gStarts[0].ReadInfoOnly);
  EXPECT_FALSE(gStarts[0].Cancel);
  EXPECT_EQ(SelectedImage, -1);
  EXPECT_EQ(control.Port(), "COM7");
  EXPECT_TRUE(control.Busy());
  // Buttons are disabled during a run; a second start is refused all the same.
  EXPECT_FALSE(control.UpdateClick());
  EXPECT_EQ(gStarts.size(), 1u);
}

TEST_F(RunControlTest, CompletedRunFillsTheBarGoesIdleAndShowsTheResult) {
  StartedRun();
  SelectedImage = 3;  // the worker's choice
  control.WorkerEvent(evCompleted, 0);
  const std::string text = "Update SD CARD V4.106 succesfully completed.";
  EXPECT_EQ(EventText(evCompleted, 0, "COM7"), text);
  EXPECT_THAT(log, ElementsAre("bar 100", "idle", "title Pellory", "report " + text, "status " + text,
                               "box " + text));
  EXPECT_FALSE(control.Busy());
  EXPECT_EQ(control.LastFinalCode(), 0);
}

TEST_F(RunControlTest, ProgressMovesBarAndTitleByTheBarsPosition) {
  StartedRun();
  control.WorkerEvent(evProgress, 57);
  EXPECT_THAT(log, ElementsAre("report Progress 57%", "bar 57", "title 57%"));
  log.clear();
  // The title follows the bar, which holds its range.
  control.WorkerEvent(evProgress, 150);
  EXPECT_THAT(log, ElementsAre("report Progress 150%", "bar 150", "title 100%"));
  EXPECT_TRUE(control.Busy());
}

TEST_F(RunControlTest, FailedRunsBeepGoIdleAndShowTheOutcomeWhereTheTableSays) {
  for (int32_t outcome : {10, 11, 20, 40, 41, 42, 47, 48, 70, 0, 99, -5}) {
    SCOPED_TRACE(outcome);
    StartedRun();
    view.Port = "COM9";  // the box's text now, not the run's port
    control.WorkerEvent(evFailed, outcome);
    const std::string text = OutcomeText(outcome, "COM9");
    EXPECT_THAT(
        log, ElementsAre("idle", "title Pellory", "beep", "report " + text, "status " + text, "box " + text));
    EXPECT_FALSE(control.Busy());
    EXPECT_EQ(control.LastFinalCode(), 10);
    EXPECT_EQ(control.LastFinalValue(), outcome);
    view.Port = "COM7";
  }
  EXPECT_EQ(OutcomeText(10, "COM9"), "Aborted because serial port \"COM9\" is not ready!");
  EXPECT_EQ(OutcomeText(99, ""), "Fatal Exception has occurred!");

  // A conversion failure: its line is already in the report, only the box follows.
  StartedRun();
  control.WorkerEvent(evFailed, 43);
  EXPECT_THAT(log, ElementsAre("idle", "title Pellory", "beep", "box Aborted because conversion error!"));
}

TEST_F(RunControlTest, ProgrammingFailureRestartsAtOnceWithoutBoxOrPreparation) {
  StartedRun();
  SelectedImage = 2;   // left by the failed run
  view.Port = "COM3";  // typed during the run: the repeat keeps the run's port
  control.WorkerEvent(evFailed, 44);
  const std::string text = "Repeat because programming error!";
  const std::string start = StartText("COM3");
  EXPECT_THAT(log, ElementsAre("idle", "title Pellory", "beep", "report " + text, "status " + text,
                               "report " + start, "status " + start, "bar 0", "busy", "worker COM7"));
  EXPECT_TRUE(control.Busy());
  EXPECT_EQ(SelectedImage, 2);
  EXPECT_EQ(clock.Now, 0u);
  ASSERT_EQ(gStarts.size(), 2u);
  EXPECT_EQ(gStarts[1].Cmd, TCmd::tCMD0);
  EXPECT_EQ(control.RepeatsExhausted(), 0);
}

TEST_F(RunControlTest, CommunicationFailureWaitsBusyThenRepeatsWithTheEventsCommand) {
  StartedRun();
  SelectedImage = 1;
  CancelRequested = true;  // Cancel pressed before the repeat
  control.WorkerEvent(evCommFailure, 0x102);
  const std::string text = "Repeat update because communication error!";
  const std::string start = StartText("COM7");
  // Never idle in between, no title reset, no report clearing.
  EXPECT_THAT(log, ElementsAre("status " + text, "report " + text, "sleep 1500", "report " + start,
                               "status " + start, "bar 0", "busy", "worker COM7"));
  ASSERT_EQ(gStarts.size(), 2u);
  EXPECT_EQ(gStarts[1].Cmd, TCmd::tCMD2);  // low byte of the value
  EXPECT_FALSE(gStarts[1].Cancel);         // StartRun cleared it ...
  EXPECT_TRUE(CancelRequested);            // ... and the Cancel was put back for the new run
  EXPECT_TRUE(control.Busy());
  EXPECT_EQ(SelectedImage, 1);

  // Without a Cancel the flag stays clear.
  CancelRequested = false;
  log.clear();
  control.WorkerEvent(evCommFailure, 0);
  EXPECT_FALSE(CancelRequested);
  EXPECT_EQ(clock.Now, 3000u);
  EXPECT_EQ(gStarts.size(), 3u);

  // A Cancel that arrives during the wait (a front end that can take one then) stops the new run too.
  clock.Hook = [this] { control.CancelClick(); };
  control.WorkerEvent(evCommFailure, 0);
  EXPECT_TRUE(CancelRequested);
  EXPECT_EQ(gStarts.size(), 4u);
}

TEST_F(RunControlTest, EventsInsideARunReachReportAndStatusAsListed) {
  StartedRun();
  control.WorkerEvent(evVerifyError, 17);
  EXPECT_THAT(log, ElementsAre("report Aborted because programming error at line 17 !",
                               "status Aborted because programming error at line 17 !"));
  log.clear();
  control.WorkerEvent(evConversionError, 5);
  control.WorkerEvent(evTxStatus, 0x31A);
  control.WorkerEvent(evRxStatus, 0x100);
  EXPECT_THAT(log, ElementsAre("report Aborted because conversion error at line  5 !",
                               "report Wrong answer from SD controller [TX 31A] !",
                               "report Wrong answer from SD controller [RX 100] !"));
  log.clear();
  for (uint32_t code : {evLoggerClass, evLoggerVersion, evPlatform, evPrint, evUpdateClass}) {
    control.WorkerEvent(code, 0x0600);
  }
  control.WorkerEvent(evCheckImage, 2);
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1], "report Version 6.0");
  EXPECT_EQ(log[0], "report " + EventText(evLoggerClass, 0x0600, "COM7"));
  EXPECT_EQ(log[5], "report " + EventText(evCheckImage, 2, "COM7"));
  log.clear();
  SelectedImage = 3;
  control.WorkerEvent(evUpdateStart, 0);
  const std::string update = EventText(evUpdateStart, 0, "COM7");
  EXPECT_EQ(update.rfind("Update SD CARD V4.106, ", 0), 0u);
  EXPECT_THAT(log, ElementsAre("report " + update, "status " + update));
  log.clear();
  for (uint32_t code : {2u, 16u, 24u, 28u, 0x400u, 0xFFFFFFFFu}) control.WorkerEvent(code, 1);
  EXPECT_THAT(log, IsEmpty());
  EXPECT_TRUE(control.Busy());
}

TEST_F(RunControlTest, MaxRepeatsEndsAChainIdleWithTheTextShown) {
  control.SetMaxRepeats(2);
  StartedRun();
  control.WorkerEvent(evCommFailure, 0);
  control.WorkerEvent(evFailed, 44);  // programming repeats count in the same chain
  EXPECT_EQ(gStarts.size(), 3u);
  log.clear();
  control.WorkerEvent(evCommFailure, 0);
  const std::string text = "Repeat update because communication error!";
  EXPECT_THAT(
      log, ElementsAre("status " + text, "report " + text, "idle", "title Pellory", "beep", "box " + text));
  EXPECT_FALSE(control.Busy());
  EXPECT_EQ(control.RepeatsExhausted(), 30);
  EXPECT_EQ(control.RepeatsDone(), 2);
  EXPECT_EQ(gStarts.size(), 3u);

  // A new Update starts a new chain.
  control.SetMaxRepeats(0);
  ASSERT_TRUE(control.UpdateClick());
  EXPECT_EQ(control.RepeatsExhausted(), 0);
  log.clear();
  control.WorkerEvent(evFailed, 44);
  const std::string programming = "Repeat because programming error!";
  EXPECT_THAT(log, ElementsAre("idle", "title Pellory", "beep", "report " + programming,
                               "status " + programming, "box " + programming));
  EXPECT_EQ(control.RepeatsExhausted(), 44);
  EXPECT_FALSE(control.Busy());
}

TEST_F(RunControlTest, CancelOnlySetsTheFlagAndCloseAsksOnlyDuringARun) {
  EXPECT_TRUE(control.CloseQuery());
  EXPECT_THAT(log, IsEmpty());
  StartedRun();
  control.CancelClick();
  EXPECT_TRUE(CancelRequested);
  EXPECT_THAT(log, IsEmpty());
  view.Answers = {false, true};
  EXPECT_FALSE(control.CloseQuery());
  EXPECT_TRUE(control.CloseQuery());
  EXPECT_THAT(log, ElementsAre(std::string("ask ") + kAskClose, std::string("ask ") + kAskClose));
  control.WorkerEvent(evFailed, 20);
  log.clear();
  EXPECT_TRUE(control.CloseQuery());
  EXPECT_THAT(log, IsEmpty());
}

TEST_F(RunControlTest, FileThatCannotBeUsedStartsNothingAndSaysWhy) {
  ClearsMeasurements = true;  // File asks no question even so
  ServiceLevel = 2;
  EXPECT_FALSE(control.FileClick(""));  // dialog cancelled
  EXPECT_THAT(log, IsEmpty());

  EXPECT_FALSE(control.FileClick((dir / "missing.txt").string()));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "clear");
  EXPECT_EQ(log[1].rfind("error ", 0), 0u);
  EXPECT_GT(log[1].size(), 6u);
  EXPECT_THAT(gStarts, IsEmpty());
  EXPECT_EQ(SelectedImage, -1);
  EXPECT_FALSE(control.Busy());

  log.clear();
  EXPECT_FALSE(control.FileClick(WriteFile("bad.txt", "bootloader=2\nbootloader version=x\n")));
  EXPECT_THAT(gStarts, IsEmpty());
  EXPECT_EQ(log.back().rfind("error ", 0), 0u);

  // A folder chosen by mistake: the operator is told what it is, nothing is read or started.
  log.clear();
  EXPECT_FALSE(control.FileClick(dir.string()));
  EXPECT_EQ(log.back(), "error Cannot open image file \"" + dir.string() + "\": it is a folder");
  EXPECT_THAT(gStarts, IsEmpty());

  log.clear();
  const std::string good = WriteFile("good.txt", std::string(kImage3Header) + ":00000001FF\n");
  EXPECT_TRUE(control.FileClick(good));
  EXPECT_EQ(log.front(), "clear");
  EXPECT_EQ(SelectedImage, 0);
  EXPECT_EQ(FileHeader.quor_verL, 106);
  ASSERT_EQ(gStarts.size(), 1u);
  EXPECT_FALSE(control.FileClick(good));  // busy
  EXPECT_EQ(gStarts.size(), 1u);
}

TEST_F(RunControlTest, FileVersionReadsTheHeaderOnlyWhileIdle) {
  const std::string good = WriteFile("good.txt", kImage3Header);
  EXPECT_TRUE(control.FileVersion(good));
  EXPECT_EQ(SelectedImage, 0);
  EXPECT_EQ(FileHeader.quor_platform, 25);
  EXPECT_THAT(log, IsEmpty());

  SelectedImage = 2;
  EXPECT_FALSE(control.FileVersion(WriteFile("bad.txt", "bootloader=2\n")));
  EXPECT_EQ(SelectedImage, 2);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("error ", 0), 0u);

  // During a run the worker owns the catalogue.
  StartedRun();
  SelectedImage = 3;
  EXPECT_FALSE(control.FileVersion(good));
  EXPECT_THAT(log, ElementsAre(std::string("error ") + kFileVersionBusy));
  EXPECT_EQ(SelectedImage, 3);
}

TEST_F(RunControlTest, AWorkerThatCannotBeCreatedLeavesTheWindowIdle) {
  ServiceLevel = 1;
  gFactoryThrows = true;
  EXPECT_TRUE(control.UpdateClick());
  EXPECT_FALSE(control.Busy());
  EXPECT_NE(std::find(log.begin(), log.end(), "error no thread"), log.end());
  EXPECT_EQ(log.back(), "title Pellory");
  gFactoryThrows = false;
  gFactoryFails = true;
  log.clear();
  control.UpdateClick();
  EXPECT_FALSE(control.Busy());
  EXPECT_EQ(log.back(), "title Pellory");
}

TEST(ReportLineTest, StampsHoursMinutesSecondsAndKeepsTheText) {
  std::tm t{};
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(ReportLine("  Progress 5% \"x\"", t), "14-05-09 ->   Progress 5% \"x\"");
  t.tm_hour = 0;
  t.tm_min = 0;
  t.tm_sec = 0;
  EXPECT_EQ(ReportLine("", t), "00-00-00 -> ");
  const std::string now = ReportLine("a");
  ASSERT_EQ(now.size(), 13u);
  EXPECT_EQ(now.substr(2, 1), "-");
  EXPECT_EQ(now.substr(8), " -> a");
}

}  // namespace
