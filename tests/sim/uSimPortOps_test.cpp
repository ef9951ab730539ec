// The simulated logger behind the port interface, and the router that picks it by name.
#include <gtest/gtest.h>

#include <algorithm>

#include <stdexcept>
#include <vector>

#include "sim/uSimLogger.h"
#include "tests/support/uFakePortOps.h"
#include "tests/support/uVirtualClock.h"

namespace {

std::vector<uint8_t> Identify() {
  std::vector<uint8_t> f = {0x81, 0, 0, 0, 0, 0, 0, 0};
  f[7] = SimCrc8(f.data(), 7);
  return f;
}

TTimeouts LinkTimeouts() {
  TTimeouts t;
  t.ReadTotalTimeoutMultiplier = 1;
  t.ReadTotalTimeoutConstant = 200;
  t.WriteTotalTimeoutMultiplier = 1;
  return t;
}

TEST(SimPortOps, OpensExclusivelyAndRefusesStaleHandles) {
  TSimLogger logger;
  TVirtualClock clock;
  TSimPortOps ports(logger, clock);
  const TPortHandle h = ports.Open("sim");
  ASSERT_NE(h, kInvalidPort);
  EXPECT_EQ(ports.Open("anything"), kInvalidPort);
  EXPECT_EQ(ports.OpenError("anything").Failure, TPortFailure::Busy);
  TLineSettings line;
  line.BaudRate = 9600;
  EXPECT_TRUE(ports.SetLine(h, line));
  EXPECT_TRUE(ports.SetQueues(h, 1000, 1000));
  EXPECT_TRUE(ports.SetTimeouts(h, LinkTimeouts()));
  EXPECT_TRUE(ports.RaiseDtr(h));
  EXPECT_TRUE(ports.ClearErrors(h));
  EXPECT_EQ(ports.LineSettings(), line);
  EXPECT_EQ(ports.Timeouts(), LinkTimeouts());
  ports.Close(h);
  EXPECT_FALSE(ports.IsOpen());
  uint32_t n = 0;
  EXPECT_FALSE(ports.Write(h, Identify().data(), 8, n));
  EXPECT_FALSE(ports.Purge(h));

  const TPortHandle again = ports.Open("other name");
  ASSERT_NE(again, kInvalidPort);
  EXPECT_NE(again, h);
  EXPECT_FALSE(ports.ClearErrors(h));
  EXPECT_TRUE(ports.ClearErrors(again));
  EXPECT_EQ(ports.OpenCount(), 2u);
  EXPECT_TRUE(logger.Frames().empty());
}

TEST(SimPortOps, AnswersFramesWrittenWholeOrInPiecesAndPurgeDropsThem) {
  TSimLogger logger;
  TVirtualClock clock;
  TSimPortOps ports(logger, clock);
  const TPortHandle h = ports.Open("sim");
  ports.SetTimeouts(h, LinkTimeouts());
  const auto frame = Identify();
  uint32_t written = 0, got = 0;
  ASSERT_TRUE(ports.Write(h, frame.data(), 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_TRUE(logger.Frames().empty());
  ASSERT_TRUE(ports.Write(h, frame.data() + 3, 5, written));
  ASSERT_EQ(logger.Frames().size(), 1u);
  uint8_t answer[8];
  ASSERT_TRUE(ports.Read(h, answer, 8, got));
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(answer[2], 0x66);
  EXPECT_EQ(answer[3], 0x05);
  EXPECT_TRUE(clock.Pauses().empty());  // an answer that is there costs no time unpaced

  ports.Write(h, frame.data(), 8, written);
  ASSERT_TRUE(ports.Purge(h));
  ASSERT_TRUE(ports.Read(h, answer, 8, got));
  EXPECT_EQ(got, 0u);
  // A missing answer costs the whole read timeout: 1 ms per byte asked for plus 200 ms.
  EXPECT_EQ(clock.Pauses(), std::vector<uint32_t>{208});

  // A half frame left by a purge does not join the next one.
  ports.Write(h, frame.data(), 4, written);
  ports.Purge(h);
  ports.Write(h, frame.data(), 8, written);
  EXPECT_EQ(logger.Frames().size(), 3u);
  EXPECT_EQ(logger.Frames().back()[0], 0x81);
}

TEST(SimPortOps, ShortAnswerIsReadAsFarAsItGoesThenTimesOut) {
  TSimConfig config;
  config.Faults.ShortPpm = 1000000;
  TSimLogger logger(config);
  TVirtualClock clock;
  TSimPortOps ports(logger, clock);
  const TPortHandle h = ports.Open("sim");
  TTimeouts t = LinkTimeouts();
  t.ReadTotalTimeoutConstant = 50;
  ports.SetTimeouts(h, t);
  const auto frame = Identify();
  uint32_t written = 0, got = 99;
  ports.Write(h, frame.data(), 8, written);
  uint8_t answer[8];
  ASSERT_TRUE(ports.Read(h, answer, 8, got));
  EXPECT_LT(got, 8u);
  EXPECT_EQ(clock.Pauses(), std::vector<uint32_t>{58});
}

TEST(SimPortOps, PacingChargesTenBitsPerByteEachWay) {
  TSimConfig config;
  config.PaceBaud = 9600;
  TSimLogger logger(config);
  TVirtualClock clock;
  TSimPortOps ports(logger, clock);
  const TPortHandle h = ports.Open("sim");
  ports.SetTimeouts(h, LinkTimeouts());
  const auto frame = Identify();
  uint32_t written = 0, got = 0;
  uint8_t answer[8];
  for (int i = 0; i < 3; ++i) {
    ports.Write(h, frame.data(), 8, written);
    ports.Read(h, answer, 8, got);
  }
  // Six frames of 8333 us: the fractions are carried, so the total is whole.
  EXPECT_EQ(clock.TotalSleptMs(), 49u);
  EXPECT_EQ(clock.NowMs(), 49u);
  const auto times = ports.FrameTimes();
  ASSERT_EQ(times.size(), 3u);
  EXPECT_EQ(times[0], 8u);  // the frame is complete once its bytes are on the line

  // A clock whose every sleep overruns by 1 ms (Wine's timers, a busy machine): the line keeps its pace
  // on average, the overruns taken off the waits that follow.
  clock.SetSleepHook([&clock](uint32_t) { clock.Advance(1); });
  const uint64_t start = clock.NowMs();
  for (int i = 0; i < 60; ++i) {
    ports.Write(h, frame.data(), 8, written);
    ports.Read(h, answer, 8, got);
  }
  EXPECT_GE(clock.NowMs() - start, 1000u);  // 120 frames of 8333 us
  EXPECT_LE(clock.NowMs() - start, 1002u);
}

TEST(SimPortOps, VanishedPortFailsEveryOperationAndBrokenDriverThrows) {
  TSimConfig config;
  config.Faults.VanishAfterFrames = 1;
  TSimLogger logger(config);
  TVirtualClock clock;
  TSimPortOps ports(logger, clock);
  const TPortHandle h = ports.Open("sim");
  uint32_t written = 0, got = 0;
  const auto frame = Identify();
  ASSERT_TRUE(ports.Write(h, frame.data(), 8, written));  // this frame still went out
  uint8_t answer[8];
  EXPECT_FALSE(ports.Read(h, answer, 8, got));
  EXPECT_FALSE(ports.ClearErrors(h));
  EXPECT_FALSE(ports.Purge(h));
  EXPECT_FALSE(ports.Write(h, frame.data(), 8, written));
  EXPECT_FALSE(ports.SetLine(h, TLineSettings{}));
  ports.Close(h);
  EXPECT_EQ(ports.Open("sim"), kInvalidPort);
  EXPECT_EQ(ports.OpenError("sim").Failure, TPortFailure::NotFound);  // a vanished port is gone

  config = {};
  config.Faults.ThrowAfterFrames = 1;
  TSimLogger broken(config);
  TSimPortOps brokenPorts(broken, clock);
  const TPortHandle b = brokenPorts.Open("sim");
  ASSERT_TRUE(brokenPorts.Write(b, frame.data(), 8, written));
  EXPECT_THROW(brokenPorts.Write(b, frame.data(), 8, written), std::runtime_error);
  EXPECT_TRUE(brokenPorts.Purge(b));  // the lock was not left held
}

TEST(PortRouter, RoutesByNameAndKeepsHandlesApart) {
  // Both fakes hand out the same handle values; the router's own handles must still differ.
  TFakePortOps real, sim;
  TPortRouter router(real, sim);
  const TPortHandle r = router.Open("COM3");
  const TPortHandle s = router.Open(TPortRouter::kSimPortName);
  ASSERT_NE(r, kInvalidPort);
  ASSERT_NE(s, kInvalidPort);
  EXPECT_NE(r, s);
  ASSERT_EQ(real.Calls().size(), 1u);
  EXPECT_EQ(real.Calls()[0].Name, "COM3");
  ASSERT_EQ(sim.Calls().size(), 1u);
  EXPECT_EQ(sim.Calls()[0].Name, "sim");

  const uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint8_t b[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  uint32_t written = 0;
  EXPECT_TRUE(router.Write(r, a, 8, written));
  EXPECT_TRUE(router.Write(s, b, 8, written));
  EXPECT_EQ(real.Frames(), (std::vector<std::vector<uint8_t>>{{a, a + 8}}));
  EXPECT_EQ(sim.Frames(), (std::vector<std::vector<uint8_t>>{{b, b + 8}}));
  EXPECT_TRUE(router.SetTimeouts(s, LinkTimeouts()));
  EXPECT_TRUE(router.SetLine(r, TLineSettings{}));

  router.Close(s);
  EXPECT_EQ(sim.OpenHandles(), 0);
  EXPECT_EQ(real.OpenHandles(), 1);
  EXPECT_FALSE(router.Purge(s));
  EXPECT_TRUE(router.Purge(r));
  uint8_t buf[8];
  uint32_t got = 7;
  EXPECT_FALSE(router.Read(s, buf, 8, got));
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(router.ClearErrors(kInvalidPort));
  router.Close(s);  // twice: harmless, and nothing reaches a backend
  router.Close(r);
  EXPECT_EQ(real.OpenHandles(), 0);
  EXPECT_EQ(real.StrayCalls() + sim.StrayCalls(), 0);

  real.SetExistingPorts({"COM1"});
  EXPECT_EQ(router.Open("COM2"), kInvalidPort);

  // The numbered simulated loggers; anything else that begins with "sim" is a real port's name.
  for (const char* name : {"sim1", "sim42", "sim99"}) EXPECT_TRUE(TPortRouter::IsSimPortName(name)) << name;
  for (const char* name : {"sim0", "sim01", "sim100", "simx", "sim1a", "Sim1"})
    EXPECT_FALSE(TPortRouter::IsSimPortName(name)) << name;
  router.Close(router.Open("sim7"));
  const auto calls = sim.Calls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const auto& c) { return c.Name == "sim7"; }), 1);
}

}  // namespace
