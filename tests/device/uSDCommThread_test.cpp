#include "device/uSDCommThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "tests/support/uFakePortOps.h"
#include "tests/support/uRecordingSink.h"
#include "tests/support/uVirtualClock.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using TFrame = std::vector<uint8_t>;

constexpr uint8_t kPacket = 68;

// Answers like a logger with its controller, just far enough for the stage a test looks at: the logger's
// identity, the probe, the packet buffer (words written, the answer read back inverted) and a status per
// access that a test can choose.
struct TController {
  uint16_t LoggerClass = 0x6605;
  uint16_t LoggerVersion = 0x0700;
  uint8_t ProbeStatus = 0;
  std::array<uint8_t, 12> Identity = {6, 0, 0, 5, 0, 25, 0, 52, 0, 0, 0, 0};
  // RX[1] of a tunnelled access to `reg` with the answer size `n` (TX[6]); 0 accepts.
  std::function<uint8_t(uint8_t reg, uint8_t n)> Status;
  // May change the packet the controller gives back for a record.
  std::function<void(std::array<uint8_t, kPacket>&)> ReadBack;

  std::array<uint8_t, kPacket> Written{};
  std::array<uint8_t, kPacket> Answer{};

  TFrame operator()(const TFrame& f) {
    const uint8_t cmd = f[0] & 0x7F;
    if (f[0] == 0) return {};  // wake frame
    if (cmd == 1)
      return AnswerFrame({0, 0, static_cast<uint8_t>(LoggerClass >> 8), static_cast<uint8_t>(LoggerClass),
                          static_cast<uint8_t>(LoggerVersion >> 8), static_cast<uint8_t>(LoggerVersion), 0});
    const uint8_t reg = f[2];
    const uint8_t status = Status ? Status(reg, f[6]) : 0;
    std::array<uint8_t, 4> data{};
    if (reg >= 0x80 && reg < 0x80 + 17) {
      const int j = reg - 0x80;
      for (int b = 0; b < 4; ++b) {
        data[b] = Answer[4 * j + b];
        Written[4 * j + b] = f[3 + b];
      }
    } else if (reg == 10 && status == 0) {
      Answer = Written;
      if (f[6] == 10) std::copy(Identity.begin(), Identity.end(), Answer.begin());
      if (f[6] == kPacket && ReadBack) ReadBack(Answer);
    }
    return AnswerFrame({static_cast<uint8_t>(reg == 0 ? ProbeStatus : 0), status, reg,
                        static_cast<uint8_t>(~data[0]), static_cast<uint8_t>(~data[1]),
                        static_cast<uint8_t>(~data[2]), static_cast<uint8_t>(~data[3])});
  }
};

// A HEX line of `count` bytes at `address` of record `type`, the bytes counting up from `first`.
std::string HexLineOf(uint8_t count, uint16_t address, uint8_t type, uint8_t first) {
  HexRecord[0] = count;
  HexRecord[1] = static_cast<uint8_t>(address >> 8);
  HexRecord[2] = static_cast<uint8_t>(address);
  HexRecord[3] = type;
  for (int i = 0; i < count; ++i) HexRecord[4 + i] = static_cast<uint8_t>(first + i);
  EncodeHexRecord();
  return HexLine;
}

TFrame Access(uint8_t x, uint8_t s, uint8_t reg, uint8_t d0 = 0, uint8_t d1 = 0, uint8_t d2 = 0,
              uint8_t d3 = 0) {
  return AnswerFrame({x, s, reg, d0, d1, d2, d3});
}

class SDCommThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CancelRequested = false;
    ReadInfoOnly = false;
    CheckClass = true;
    SelectedImage = -1;
    FileHeader = TBl3FileHeader{};
    FileLines.clear();
    port.SetResponder([this](const TFrame& f) { return controller(f); });
  }
  void TearDown() override { SetUp(); }

  void RunWorker() {
    (new TSDCommThread(0x77, TCmd::tCMD0, "COM3", TWorkerEnv{&port, &clock, &sink}))->RunHere();
  }
  std::vector<TFrame> FramesAfterWake() {
    auto frames = port.Frames();
    return frames.size() < 2 ? std::vector<TFrame>{} : std::vector<TFrame>(frames.begin() + 2, frames.end());
  }
  // A file image that fits the default controller (platform 25, print 52).
  void UseFileImage(std::vector<std::string> lines) {
    FileHeader = TBl3FileHeader{0x660A, 1, 4, 25, 52, "01.01.2020", 2, 0};
    FileLines = std::move(lines);
    SelectedImage = 0;
  }

  TController controller;
  TFakePortOps port;
  TVirtualClock clock;
  TRecordingSink sink;
};

TEST_F(SDCommThreadTest, IdentifiesLoggerAndControllerThenStopsAfterTheMatchWhenOnlyReadingInfo) {
  ReadInfoOnly = true;
  RunWorker();
  const uint8_t X = 0x82, S = 200;
  EXPECT_THAT(FramesAfterWake(),
              ElementsAre(AnswerFrame({0x81, 0, 0, 0, 0, 0, 0}), Access(X, S, 0), Access(X, S, 1),
                          Access(X, S, 3), Access(X, S, 2), Access(X, S, 0x80, 1, 0, 0, 5),
                          Access(X, S, 0x81, 32), Access(X, S, 11, 0, 0, 0, 5), Access(X, S, 10, 0, 0, 0, 10),
                          Access(X, S, 0x80), Access(X, S, 0x81), Access(X, S, 0x82)));
  // The controller gets 2000 ms after register 1.
  EXPECT_THAT(clock.Pauses(), ElementsAre(100, 100, 2000));
  EXPECT_EQ(port.Calls()[port.Calls().size() - 2].Op, TPortOp::Read);  // the last access, then Close
  EXPECT_THAT(sink.Events(),
              ElementsAre(TWorkerEvent{20, 0x6605}, TWorkerEvent{21, 0x0700}, TWorkerEvent{22, 25},
                          TWorkerEvent{23, 52}, TWorkerEvent{25, 0x660A}, TWorkerEvent{27, 1},
                          TWorkerEvent{27, 2}, TWorkerEvent{27, 3}, TWorkerEvent{10, 70}));
  EXPECT_EQ(SelectedImage, 3);  // V4.106 for platform 25, print 52
}

TEST_F(SDCommThreadTest, TheTunnelDependsOnTheLoggerClassAndVersion) {
  struct TCase {
    uint16_t cls, version;
    uint8_t x, s;
  };
  for (const TCase& c :
       {TCase{0x6601, 0x05FF, 0x85, 20}, TCase{0x6601, 0x0600, 0x82, 200}, TCase{0x6605, 0x0000, 0x82, 200},
        TCase{0x6606, 0xFFFF, 0x85, 20}, TCase{0x6607, 0x0700, 0x85, 20}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.cls << " " << c.version);
    TFakePortOps p;
    TRecordingSink events;
    SetUp();
    ReadInfoOnly = true;
    controller.LoggerClass = c.cls;
    controller.LoggerVersion = c.version;
    p.SetResponder([this](const TFrame& f) { return controller(f); });
    (new TSDCommThread(1, TCmd::tCMD0, "COM3", TWorkerEnv{&p, &clock, &events}))->RunHere();
    const auto frames = p.Frames();
    ASSERT_GE(frames.size(), 4u);
    EXPECT_EQ(frames[3], Access(c.x, c.s, 0));
    EXPECT_EQ(events.Events().back(), (TWorkerEvent{10, 70}));
  }
}

TEST_F(SDCommThreadTest, ALoggerNotServedGetsItsEventsThenOutcome40AndNoFurtherFrame) {
  controller.LoggerClass = 0x6608;
  RunWorker();
  EXPECT_EQ(FramesAfterWake().size(), 1u);
  EXPECT_THAT(sink.Events(),
              ElementsAre(TWorkerEvent{20, 0x6608}, TWorkerEvent{21, 0x0700}, TWorkerEvent{10, 40}));
}

TEST_F(SDCommThreadTest, AProbeAnswerWithAnyOfTheTopThreeBitsEndsWithOutcome41) {
  for (uint8_t bits : {0x40, 0x80, 0x20}) {
    TFakePortOps p;
    TRecordingSink events;
    controller.ProbeStatus = bits;
    p.SetResponder([this](const TFrame& f) { return controller(f); });
    (new TSDCommThread(1, TCmd::tCMD0, "COM3", TWorkerEnv{&p, &clock, &events}))->RunHere();
    EXPECT_EQ(p.Frames().size(), 4u) << int(bits);  // two wake frames, identify, probe once
    EXPECT_EQ(events.Events().back(), (TWorkerEvent{10, 41}));
  }
}

TEST_F(SDCommThreadTest, RefusedOrMisshapenIdentityGivesItsStageEventAndOutcome48) {
  struct TCase {
    uint8_t reg, n, status;
    bool wrongLayout;
    TWorkerEvent warning;
  };
  for (const TCase& c : {TCase{11, 5, 3, false, {14, 3}}, TCase{10, 10, 7, false, {15, 7}},
                         TCase{0, 0, 0, true, {15, 0x100}}}) {
    TFakePortOps p;
    TRecordingSink events;
    SetUp();
    controller.Status = [c](uint8_t reg, uint8_t n) { return reg == c.reg && n == c.n ? c.status : 0; };
    if (c.wrongLayout) controller.Identity[3] = 4;
    p.SetResponder([this](const TFrame& f) { return controller(f); });
    (new TSDCommThread(1, TCmd::tCMD0, "COM3", TWorkerEnv{&p, &clock, &events}))->RunHere();
    const auto ev = events.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], c.warning);
    EXPECT_EQ(ev.back(), (TWorkerEvent{10, 48}));
  }
}

TEST_F(SDCommThreadTest, ImageSelectionHonoursTheFileImageTheClassCheckAndTheBootloader) {
  ReadInfoOnly = true;
  // Only the loaded file is a candidate when it is selected.
  UseFileImage({":00000001FF"});
  RunWorker();
  EXPECT_EQ(sink.Codes(), (std::vector<uint32_t>{20, 21, 22, 23, 25, 27, 10}));
  EXPECT_EQ(sink.Events()[5], (TWorkerEvent{27, 0}));
  EXPECT_EQ(sink.Events().back(), (TWorkerEvent{10, 70}));
  EXPECT_EQ(SelectedImage, 0);

  auto runWith = [this](uint16_t cls, uint16_t bl, bool checkClass) {
    TFakePortOps p;
    TRecordingSink events;
    UseFileImage({":00000001FF"});
    FileHeader.quor_class = cls;
    FileHeader.quor_bl = bl;
    CheckClass = checkClass;
    p.SetResponder([this](const TFrame& f) { return controller(f); });
    (new TSDCommThread(1, TCmd::tCMD0, "COM3", TWorkerEnv{&p, &clock, &events}))->RunHere();
    return events.Events().back().value;
  };
  EXPECT_EQ(runWith(0x6605, 2, true), 47);
  EXPECT_EQ(SelectedImage, -1);
  // Another class passes without the class check; a bootloader other than 2 never does.
  EXPECT_EQ(runWith(0x6605, 2, false), 70);
  EXPECT_EQ(runWith(0x660A, 3, false), 47);
}

TEST_F(SDCommThreadTest, AnUnknownPlatformIsReportedAs65535AndMatchesNoEmbeddedImage) {
  controller.Identity[4] = 0x12;  // platform 0x1219: not named
  RunWorker();
  EXPECT_THAT(sink.Events(),
              ElementsAre(TWorkerEvent{20, 0x6605}, TWorkerEvent{21, 0x0700}, TWorkerEvent{22, 0xFFFF},
                          TWorkerEvent{23, 52}, TWorkerEvent{25, 0x660A}, TWorkerEvent{27, 1},
                          TWorkerEvent{27, 2}, TWorkerEvent{27, 3}, TWorkerEvent{10, 47}));
}

TEST_F(SDCommThreadTest, TheLastLineMustBeTheExactEndOfFileRecord) {
  for (const std::vector<std::string>& lines :
       {std::vector<std::string>{":00000001FF"},
        std::vector<std::string>{HexLineOf(64, 0, 0, 0), ":00000001ff"},
        std::vector<std::string>{HexLineOf(64, 0, 0, 0), ":00000001FF "}, std::vector<std::string>{}}) {
    TFakePortOps p;
    TRecordingSink events;
    UseFileImage(lines);
    p.SetResponder([this](const TFrame& f) { return controller(f); });
    (new TSDCommThread(1, TCmd::tCMD0, "COM3", TWorkerEnv{&p, &clock, &events}))->RunHere();
    EXPECT_EQ(events.Events().back(), (TWorkerEvent{10, 42}));
    EXPECT_EQ(events.Codes().size(), 7u);  // 20 21 22 23 25 27, no 26
  }
}

TEST_F(SDCommThreadTest, RecordsAreSentVerifiedAndRepeatedWithTheirOwnBytesThenFinishedAndReset) {
  const std::string line0 = HexLineOf(64, 0x0000, 0, 0x10);
  const std::string line3 = HexLineOf(64, 0x0040, 0, 0x90);
  UseFileImage({line0, HexLineOf(16, 0x0080, 0, 1), HexLineOf(2, 0, 4, 0), line3, ":00000001FF"});
  // The first read-back of line 3 comes back with one byte changed; command 50 is refused twice.
  int readBacks = 0;
  controller.ReadBack = [&readBacks](std::array<uint8_t, kPacket>& a) {
    if (++readBacks == 2) a[40] ^= 0x01;
  };
  int finishTries = 0;
  controller.Status = [&finishTries, this](uint8_t reg, uint8_t n) -> uint8_t {
    if (reg == 11 && n == 5 && controller.Written[4] == 50) return ++finishTries <= 2 ? 9 : 0;
    return 0;
  };
  RunWorker();

  EXPECT_THAT(
      sink.Events(),
      ElementsAre(TWorkerEvent{20, 0x6605}, TWorkerEvent{21, 0x0700}, TWorkerEvent{22, 25},
                  TWorkerEvent{23, 52}, TWorkerEvent{25, 0x660A}, TWorkerEvent{27, 0}, TWorkerEvent{26, 0},
                  TWorkerEvent{1, 24}, TWorkerEvent{1, 49}, TWorkerEvent{11, 3}, TWorkerEvent{1, 74},
                  TWorkerEvent{14, 0x409}, TWorkerEvent{14, 0x409}, TWorkerEvent{0, 0}));
  EXPECT_THAT(clock.Pauses(), ElementsAre(100, 100, 2000, 500, 500, 500, 2000));

  const uint8_t X = 0x82, S = 200;
  auto recordFrames = [&](const std::string& line) {
    HexLine = line;
    EXPECT_TRUE(DecodeHexRecord());
    std::vector<TFrame> frames;
    for (int j = 0; j < 17; ++j)
      frames.push_back(Access(X, S, static_cast<uint8_t>(0x80 + j), HexRecord[4 * j], HexRecord[4 * j + 1],
                              HexRecord[4 * j + 2], HexRecord[4 * j + 3]));
    frames.push_back(Access(X, S, 11, 0, 0, 0, kPacket));
    frames.push_back(Access(X, S, 10, 0, 0, 0, kPacket));
    for (int j = 0; j < 17; ++j) frames.push_back(Access(X, S, static_cast<uint8_t>(0x80 + j)));
    return frames;
  };
  std::vector<TFrame> expected = {Access(X, S, 0x80, 1, 0, 0, 5), Access(X, S, 0x81, 49),
                                  Access(X, S, 11, 0, 0, 0, 5)};
  for (const std::string& line : {line0, line3, line3}) {
    const auto r = recordFrames(line);
    expected.insert(expected.end(), r.begin(), r.end());
  }
  for (int i = 0; i < 3; ++i) {
    for (const TFrame& f :
         {Access(X, S, 0x80, 1, 0, 0, 5), Access(X, S, 0x81, 50), Access(X, S, 11, 0, 0, 0, 5)})
      expected.push_back(f);
  }
  expected.push_back(Access(X, S, 1));
  expected.push_back(AnswerFrame({0x82, 0x80, 0x00, 0x22, 0x11, 0x00, 0x00}));  // reset

  const auto frames = FramesAfterWake();
  ASSERT_GE(frames.size(), 12u);
  EXPECT_THAT(std::vector<TFrame>(frames.begin() + 12, frames.end()), ElementsAreArray(expected));
  // No answer is read after the reset frame.
  const auto ops = port.Ops();
  EXPECT_THAT(std::vector<TPortOp>(ops.end() - 3, ops.end()),
              ElementsAre(TPortOp::Purge, TPortOp::Write, TPortOp::Close));
}

TEST_F(SDCommThreadTest, ARecordRefusedFiveTimesEndsWithOutcome44) {
  UseFileImage({HexLineOf(64, 0, 0, 0), ":00000001FF"});
  // Register 10 accepts on the fifth access of the first attempt, then never again.
  int answerAccesses = 0;
  controller.Status = [&answerAccesses](uint8_t reg, uint8_t n) -> uint8_t {
    if (reg != 10 || n != kPacket) return 0;
    ++answerAccesses;
    return answerAccesses == 5 ? 0 : 0x21;
  };
  controller.ReadBack = [](std::array<uint8_t, kPacket>& a) { a[0] = 0x41; };  // cannot be encoded
  RunWorker();
  std::vector<TWorkerEvent> expected = {{11, 0}};
  for (int i = 0; i < 4; ++i) expected.push_back({15, 0x321});
  expected.push_back({10, 44});
  const auto events = sink.Events();
  ASSERT_GE(events.size(), expected.size());
  EXPECT_EQ(std::vector<TWorkerEvent>(events.end() - static_cast<long>(expected.size()), events.end()),
            expected);
  EXPECT_EQ(answerAccesses, 5 + 4 * 5);
}

TEST_F(SDCommThreadTest, ALineThatDoesNotDecodeEndsWithEvent12AndOutcome43AfterTheLinesBefore) {
  std::string bad = HexLineOf(64, 0x40, 0, 0);
  bad[bad.size() - 1] = bad.back() == '0' ? '1' : '0';  // wrong checksum
  UseFileImage({HexLineOf(64, 0, 0, 0), bad, ":00000001FF"});
  RunWorker();
  const auto events = sink.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], (TWorkerEvent{12, 1}));
  EXPECT_EQ(events.back(), (TWorkerEvent{10, 43}));
  // Command 49 and line 0 went out, nothing for line 1.
  EXPECT_EQ(FramesAfterWake().size(), 12u + 3u + 36u);
}

}  // namespace
