#include "device/uCommThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <stdexcept>

#include "device/uConvert1V0.h"
#include "device/uExceptions1V0.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "tests/support/uFakePortOps.h"
#include "tests/support/uRecordingSink.h"
#include "tests/support/uVirtualClock.h"

namespace {

using ::testing::ElementsAre;

constexpr intptr_t kWindow = 0x12345678;
const std::vector<uint8_t> kWakeFrame(8, 0);

// A worker whose procedure is the test's: the link operations are opened up to it.
class TScriptedWorker : public TCommThread {
 public:
  using TBody = std::function<void(TScriptedWorker&)>;
  TScriptedWorker(const TWorkerEnv& env, TBody body, TCmd cmd, std::function<void()> onDestroy = {})
      : TCommThread(kWindow, cmd, "COM7", env), FBody(std::move(body)), FOnDestroy(std::move(onDestroy)) {}
  ~TScriptedWorker() override {
    if (FOnDestroy) FOnDestroy();
  }

  using TCommThread::FRxBuffer;
  using TCommThread::SendCommand;
  using TCommThread::SetProgress;

 protected:
  void Process() override {
    if (FBody) FBody(*this);
  }

 private:
  TBody FBody;
  std::function<void()> FOnDestroy;
};

bool IsFinal(uint32_t code) {
  return code == 0 || code == 10 || code == 13;
}

// One run's world: the scripted port, the virtual clock and the events.
struct TRig {
  TRig() {
    CancelRequested = false;
    // Whether the port was still open at each final event: it must find it closed.
    sink.SetPostHook([this](const TWorkerEvent& ev) {
      if (IsFinal(ev.code)) openAtFinal.push_back(port.OpenHandles());
    });
  }
  ~TRig() { CancelRequested = false; }

  TWorkerEnv Env() { return TWorkerEnv{&port, &clock, &sink}; }
  void RunWorker(TScriptedWorker::TBody body = {}, TCmd cmd = TCmd::tCMD0) {
    (new TScriptedWorker(Env(), std::move(body), cmd))->RunHere();
  }
  // Exactly one final event, the last one, posted after the port was closed.
  void ExpectFinal(uint32_t code, int32_t value) {
    const auto events = sink.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (TWorkerEvent{code, value}));
    int finals = 0;
    for (const auto& ev : events) finals += IsFinal(ev.code) ? 1 : 0;
    EXPECT_EQ(finals, 1);
    EXPECT_THAT(openAtFinal, ElementsAre(0));
    EXPECT_EQ(port.StrayCalls(), 0);
    for (intptr_t w : sink.Windows()) EXPECT_EQ(w, kWindow);
  }
  // The frames written after the two wake frames.
  std::vector<std::vector<uint8_t>> FramesAfterWake() {
    auto frames = port.Frames();
    EXPECT_GE(frames.size(), 2u);
    if (frames.size() < 2) return {};
    EXPECT_EQ(frames[0], kWakeFrame);
    EXPECT_EQ(frames[1], kWakeFrame);
    return {frames.begin() + 2, frames.end()};
  }

  TFakePortOps port;
  TVirtualClock clock;
  TRecordingSink sink;
  std::vector<int> openAtFinal;
};

class CommThreadTest : public ::testing::Test, public TRig {};

std::vector<uint8_t> CommandFrame(std::initializer_list<uint8_t> first7) {
  return AnswerFrame(first7);
}

void Identify(TScriptedWorker& w) {
  w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0);
}

TEST_F(CommThreadTest, ARunOpensConfiguresWakesTwiceAndClosesBeforeItsFinalEvent) {
  RunWorker({}, TCmd::tCMD2);
  EXPECT_EQ(port.Ops(),
            (std::vector<TPortOp>{TPortOp::Open, TPortOp::Line, TPortOp::Queues, TPortOp::Timeouts,
                                  TPortOp::Dtr, TPortOp::Clear, TPortOp::Purge, TPortOp::Write,
                                  TPortOp::Clear, TPortOp::Purge, TPortOp::Write, TPortOp::Close}));
  EXPECT_EQ(port.Calls()[0].Name, "COM7");
  EXPECT_EQ(port.Calls()[1].Line.BaudRate, 9600u);
  // Wake frames: eight zero bytes, no answer read.
  EXPECT_THAT(port.Frames(), ElementsAre(kWakeFrame, kWakeFrame));
  EXPECT_THAT(clock.Pauses(), ElementsAre(100, 100));
  ExpectFinal(0, 2);
}

TEST_F(CommThreadTest, CommandFramesCarryTheCommandBitAndTheCrc) {
  port.QueueAnswer(AnswerFrame({0, 1, 2, 3, 4, 5, 6}));
  std::vector<uint8_t> rx;
  RunWorker([&rx](TScriptedWorker& w) {
    EXPECT_TRUE(w.SendCommand(true, 5, 0x14, 0x80, 1, 0, 0, 5));
    rx.assign(w.FRxBuffer, w.FRxBuffer + 8);
  });
  EXPECT_THAT(FramesAfterWake(), ElementsAre(CommandFrame({0x85, 0x14, 0x80, 1, 0, 0, 5})));
  EXPECT_EQ(rx, AnswerFrame({0, 1, 2, 3, 4, 5, 6}));
  ExpectFinal(0, 0);
}

TEST_F(CommThreadTest, FiveFailedAttemptsEndWithEvent13AndFourPausesBetweenThem) {
  // A silent logger: every read times out with nothing.
  RunWorker(Identify, TCmd::tCMD1);
  const auto frames = FramesAfterWake();
  ASSERT_EQ(frames.size(), 5u);
  for (const auto& f : frames) EXPECT_EQ(f, CommandFrame({0x81, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(port.CallCount(TPortOp::Read), 5);
  // Two wake pauses, then 100 ms between attempts and none after the fifth.
  EXPECT_THAT(clock.Pauses(), ElementsAre(100, 100, 100, 100, 100, 100));
  ExpectFinal(13, 1);
}

TEST_F(CommThreadTest, ShortReadsShortWritesAndBadCrcAreFailedAttemptsThatAreRepeated) {
  const auto good = AnswerFrame({0x00, 0x00, 0x66, 0x05, 0x07, 0x00, 0});
  auto badCrc = good;
  badCrc[7] ^= 0x01;
  port.QueueAnswer(std::vector<uint8_t>(good.begin(), good.begin() + 7));  // 7 bytes before the timeout
  port.QueueAnswer(badCrc);
  port.QueueAnswer(good);
  port.ShortWrite(6, 7);  // wake, wake, three attempts above, then a write cut short
  port.QueueAnswer(good);
  std::vector<uint8_t> rx;
  RunWorker([&rx](TScriptedWorker& w) {
    Identify(w);
    rx.assign(w.FRxBuffer, w.FRxBuffer + 8);
    Identify(w);
  });
  EXPECT_EQ(rx, good);
  const auto frames = FramesAfterWake();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[3].size(), 7u);
  EXPECT_EQ(frames[4], CommandFrame({0x81, 0, 0, 0, 0, 0, 0}));
  // The cut-short write reads nothing: its answer is not waited for.
  EXPECT_EQ(port.CallCount(TPortOp::Read), 4);
  EXPECT_THAT(clock.Pauses(), ElementsAre(100, 100, 100, 100, 100));
  ExpectFinal(0, 0);
}

TEST_F(CommThreadTest, AnAnswerWithBit0x20EndsTheRunAtOnceWithoutResending) {
  port.QueueAnswer(AnswerFrame({0x20, 0, 0, 0, 0, 0, 0}));
  port.QueueAnswer(AnswerFrame({0x00, 0, 0, 0, 0, 0, 0}));
  std::string message;
  RunWorker([&message](TScriptedWorker& w) {
    try {
      Identify(w);
    } catch (const EQuor& e) {
      message = e.Message;
      throw;
    }
  });
  EXPECT_EQ(FramesAfterWake().size(), 1u);
  EXPECT_EQ(message, "QUOR Exception!");
  EXPECT_THAT(clock.Pauses(), ElementsAre(100, 100));
  ExpectFinal(10, 41);
}

TEST_F(CommThreadTest, CancelBeforeAnyAttemptSendsNothing) {
  CancelRequested = true;
  RunWorker(Identify);
  EXPECT_TRUE(port.Frames().empty());
  ExpectFinal(10, 20);
}

TEST_F(CommThreadTest, CancelDuringTheRetryPauseStopsTheNextAttempt) {
  // The operator presses Cancel while the worker waits after its first failed attempt.
  clock.SetSleepHook([this](uint32_t) {
    if (clock.Pauses().size() == 3) CancelRequested = true;
  });
  RunWorker(Identify);
  EXPECT_EQ(FramesAfterWake().size(), 1u);
  ExpectFinal(10, 20);
}

TEST(CommThread, EveryFailingSerialOperationEndsTheRunWithOutcome11AndNoRetry) {
  struct TCase {
    TPortOp op;
    int k;
    const char* message;
    size_t frames;
  };
  const TCase cases[] = {
      {TPortOp::Clear, 3, "ClearCommError", 2}, {TPortOp::Purge, 3, "PurgeComm", 2},
      {TPortOp::Write, 3, "WriteFile", 2},      {TPortOp::Read, 1, "ReadFile", 3},
      {TPortOp::Write, 1, "WriteFile", 0},  // already the first wake frame
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(PortOpName(c.op)) + " #" + std::to_string(c.k));
    TRig rig;
    rig.port.FailOn(c.op, c.k);
    std::string message;
    rig.RunWorker([&message](TScriptedWorker& w) {
      try {
        Identify(w);
      } catch (const EQuor& e) {
        message = e.Message;
        throw;
      }
    });
    if (c.k > 1) {
      EXPECT_EQ(message, c.message);
    }
    EXPECT_EQ(rig.port.Frames().size(), c.frames);
    EXPECT_EQ(rig.clock.Pauses().size(), c.frames < 2 ? 0u : 2u);
    rig.ExpectFinal(10, 11);
  }
}

TEST_F(CommThreadTest, AnExceptionThatIsNotEQuorEndsWithOutcome0) {
  RunWorker([](TScriptedWorker&) { throw std::runtime_error("boom"); });
  ExpectFinal(10, 0);
}

TEST_F(CommThreadTest, APortThatDoesNotExistGivesOutcome10AndNothingIsClosed) {
  port.SetExistingPorts({"COM1"});
  RunWorker(Identify);
  EXPECT_EQ(port.Ops(), std::vector<TPortOp>{TPortOp::Open});
  ExpectFinal(10, 10);
}

TEST(CommThread, APortThatCannotBeConfiguredIsClosedAgainAndGivesOutcome10) {
  for (TPortOp step : {TPortOp::Line, TPortOp::Queues, TPortOp::Timeouts, TPortOp::Dtr}) {
    SCOPED_TRACE(PortOpName(step));
    TRig rig;
    rig.port.FailOn(step);
    rig.RunWorker(Identify);
    EXPECT_TRUE(rig.port.Frames().empty());
    EXPECT_EQ(rig.port.Ops().back(), TPortOp::Close);
    rig.ExpectFinal(10, 10);
  }
}

TEST_F(CommThreadTest, ProgressIsPostedOnlyWhenThePercentageChangesAndNeverReaches100) {
  RunWorker([](TScriptedWorker& w) {
    w.SetProgress(0, 10);                 // 0 at the start of a run: nothing
    w.SetProgress(7, 0);                  // count 0 gives 0
    w.SetProgress(1, 10);                 // 9
    w.SetProgress(1, 10);                 // repeated
    w.SetProgress(10, 10);                // 99, never 100
    w.SetProgress(30, 10);                // clamped to 99: repeated
    w.SetProgress(-5, 10);                // below 0 gives 0
    w.SetProgress(226, 227);              // 98
    w.SetProgress(INT32_MAX, INT32_MAX);  // no overflow: 99
    w.SetProgress(INT32_MIN, -1);         // no overflow: 99, repeated
  });
  EXPECT_THAT(sink.Events(), ElementsAre(TWorkerEvent{1, 9}, TWorkerEvent{1, 99}, TWorkerEvent{1, 0},
                                         TWorkerEvent{1, 98}, TWorkerEvent{1, 99}, TWorkerEvent{0, 0}));
}

TEST_F(CommThreadTest, AStartedWorkerRunsOnItsOwnThreadAndFreesItself) {
  TEventQueue events;
  std::atomic<bool> destroyed{false};
  port.QueueAnswer(AnswerFrame({0, 0, 0x66, 0x05, 7, 0, 0}));
  const TWorkerEnv env{&port, &clock, &events};
  (new TScriptedWorker(env, Identify, TCmd::tCMD1, [&destroyed] { destroyed = true; }))->Start();
  EXPECT_EQ(events.Wait(), (TWorkerEvent{0, 1}));
  WaitForWorkers();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(LiveWorkers(), 0);
  EXPECT_EQ(events.Size(), 0u);
  EXPECT_EQ(port.OpenHandles(), 0);
}

TEST(Settings, ValuesAtLoad) {
  EXPECT_EQ(CommThreadClass, nullptr);  // none until the program body sets it
  EXPECT_EQ(DefaultCommThreadClass(), &CreateWorker<TSDCommThread>);
  EXPECT_EQ(ServiceLevel, 0);
  EXPECT_TRUE(CheckClass);
  EXPECT_FALSE(ClearsMeasurements);
  EXPECT_TRUE(ReadInfoOnlyAllowed);
  EXPECT_EQ(DefaultWorkerEnv().Ports, &PlatformPortOps());
  EXPECT_EQ(DefaultWorkerEnv().Clock, &RealClock());
}

}  // namespace
