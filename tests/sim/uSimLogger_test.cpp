// The simulated logger on its own: answers, the controller's buffers and records, and the faults.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "sim/uSimLogger.h"

namespace {

using TFrame = std::array<uint8_t, 8>;

TFrame Frame(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6) {
  TFrame f{b0, b1, b2, b3, b4, b5, b6, 0};
  f[7] = SimCrc8(f.data(), 7);
  return f;
}

struct TAnswer {
  bool answered = false;
  uint32_t len = 0;
  TFrame bytes{};
};

TAnswer Send(TSimLogger& logger, const TFrame& frame) {
  TAnswer a;
  a.answered = logger.OnFrame(frame.data(), a.bytes.data(), a.len);
  return a;
}

// Register access through the 0x6605 tunnel (command 2, selector 200).
TAnswer Reg(TSimLogger& logger, uint8_t reg, uint8_t d0 = 0, uint8_t d1 = 0, uint8_t d2 = 0, uint8_t d3 = 0) {
  return Send(logger, Frame(0x82, 200, reg, d0, d1, d2, d3));
}

void Command(TSimLogger& logger, uint8_t code, uint8_t expectedStatus = 0) {
  Reg(logger, 0x80, 1, 0, 0, 5);
  Reg(logger, 0x81, code, 0, 0, 0);
  const TAnswer a = Reg(logger, 11, 0, 0, 0, 5);
  ASSERT_TRUE(a.answered);
  EXPECT_EQ(a.bytes[1], expectedStatus) << "command " << int(code);
}

std::array<uint8_t, 68> Record(uint16_t address, uint8_t fill) {
  std::array<uint8_t, 68> r{};
  r[0] = 0x40;
  r[1] = static_cast<uint8_t>(address >> 8);
  r[2] = static_cast<uint8_t>(address);
  r[3] = 0;
  for (int i = 0; i < 64; ++i) r[4 + i] = static_cast<uint8_t>(fill + i);
  return r;
}

// Writes the record's 17 words and hands them over; returns the status of register 11.
uint8_t HandOverRecord(TSimLogger& logger, const std::array<uint8_t, 68>& r) {
  for (int j = 0; j < 17; ++j)
    Reg(logger, static_cast<uint8_t>(0x80 + j), r[4 * j], r[4 * j + 1], r[4 * j + 2], r[4 * j + 3]);
  return Reg(logger, 11, 0, 0, 0, 68).bytes[1];
}

std::array<uint8_t, 68> ReadBack(TSimLogger& logger) {
  std::array<uint8_t, 68> r{};
  for (int j = 0; j < 17; ++j) {
    const TAnswer a = Reg(logger, static_cast<uint8_t>(0x80 + j));
    for (int k = 0; k < 4; ++k) r[4 * j + k] = static_cast<uint8_t>(~a.bytes[3 + k]);
  }
  return r;
}

TEST(SimCrc8, IsTheMaximCrc) {
  const char* digits = "123456789";
  EXPECT_EQ(SimCrc8(reinterpret_cast<const uint8_t*>(digits), 9), 0xA1);
  EXPECT_EQ(SimCrc8(nullptr, 0), 0);
  const uint8_t one = 1, ff = 0xFF;
  EXPECT_EQ(SimCrc8(&one, 1), 0x5E);
  EXPECT_EQ(SimCrc8(&ff, 1), 0x35);
}

TEST(SimLogger, AnswersCommandOneAndRegisterAccessesWithValidFrames) {
  TSimConfig config;
  config.LoggerClass = 0x6605;
  config.LoggerVersion = 0x0712;
  TSimLogger logger(config);

  TAnswer a = Send(logger, Frame(0x81, 0, 0, 0, 0, 0, 0));
  ASSERT_TRUE(a.answered);
  EXPECT_EQ(a.len, 8u);
  EXPECT_EQ(a.bytes, Frame(0, 0, 0x66, 0x05, 0x07, 0x12, 0));

  a = Reg(logger, 3, 0x12, 0x34, 0x56, 0x78);
  ASSERT_TRUE(a.answered);
  EXPECT_EQ(a.bytes, Frame(0, 0, 3, 0xED, 0xCB, 0xA9, 0x87));  // data inverted, status 0
  EXPECT_EQ(a.bytes[0] & 0xE0, 0);

  // An unknown register is refused, not ignored.
  a = Reg(logger, 0x50);
  ASSERT_TRUE(a.answered);
  EXPECT_EQ(a.bytes[1], TSimLogger::kStatusUnknownRegister);
}

TEST(SimLogger, IgnoresWakeBadCrcForeignTunnelAndResetButRecordsThem) {
  TSimLogger logger;  // class 0x6605: command 2, selector 200
  EXPECT_FALSE(Send(logger, TFrame{}).answered);
  TFrame bad = Frame(0x81, 0, 0, 0, 0, 0, 0);
  bad[7] ^= 1;
  EXPECT_FALSE(Send(logger, bad).answered);
  EXPECT_FALSE(Send(logger, Frame(0x85, 20, 0, 0, 0, 0, 0)).answered);  // the other tunnel
  EXPECT_FALSE(Send(logger, Frame(0x82, 201, 0, 0, 0, 0, 0)).answered);
  EXPECT_FALSE(Send(logger, Frame(0x85, 0x02, 0, 0xA5, 0x5A, 0, 0)).answered);
  EXPECT_FALSE(logger.ResetReceived());  // the reset of the other tunnel is not this logger's
  EXPECT_FALSE(Send(logger, Frame(0x82, 0x80, 0, 0x22, 0x11, 0, 0)).answered);
  EXPECT_TRUE(logger.ResetReceived());
  EXPECT_EQ(logger.FramesReceived(), 6u);
  ASSERT_EQ(logger.Frames().size(), 6u);
  EXPECT_EQ(logger.Frames()[1], bad);
}

TEST(SimLogger, TunnelFollowsClassAndVersion) {
  struct Case {
    uint16_t cls, ver;
    uint8_t cmd, sel;
  };
  for (const Case c :
       {Case{0x6601, 0x05FF, 5, 20}, Case{0x6601, 0x0600, 2, 200}, Case{0x6605, 0x0100, 2, 200},
        Case{0x6606, 0x0900, 5, 20}, Case{0x6607, 0x0600, 5, 20}}) {
    TSimConfig config;
    config.LoggerClass = c.cls;
    config.LoggerVersion = c.ver;
    TSimLogger logger(config);
    EXPECT_EQ(logger.TunnelCmd(), c.cmd) << std::hex << c.cls << " " << c.ver;
    EXPECT_EQ(logger.TunnelSelector(), c.sel);
    EXPECT_TRUE(Send(logger, Frame(0x80 | c.cmd, c.sel, 0, 0, 0, 0, 0)).answered);
    const uint8_t other = c.cmd == 2 ? 5 : 2;
    EXPECT_FALSE(Send(logger, Frame(0x80 | other, other == 2 ? 200 : 20, 0, 0, 0, 0, 0)).answered);
  }
}

TEST(SimLogger, IdentityAnswerCarriesPlatformAndPrintInTheAnswerBuffer) {
  TSimConfig config;
  config.Platform = 0x1234;
  config.Print = 0xABCD;
  TSimLogger logger(config);
  // Asking before the request has nothing to answer.
  EXPECT_EQ(Reg(logger, 10, 0, 0, 0, 10).bytes[1], TSimLogger::kStatusNoAnswer);
  Command(logger, 32);
  EXPECT_EQ(Reg(logger, 10, 0, 0, 0, 10).bytes[1], 0);
  const auto buffer = ReadBack(logger);
  const uint8_t expected[8] = {6, 0, 0, 5, 0x12, 0x34, 0xAB, 0xCD};
  EXPECT_EQ(std::memcmp(buffer.data(), expected, 8), 0);

  config.Faults.IdentityWrongLayout = true;
  TSimLogger wrong(config);
  Command(wrong, 32);
  Reg(wrong, 10, 0, 0, 0, 10);
  EXPECT_EQ(ReadBack(wrong)[3], 4);
}

TEST(SimLogger, RecordsCountOnlyBetweenBeginAndFinishAndReadBackUnchanged) {
  TSimLogger logger;
  const auto r1 = Record(0x0800, 0x10);
  EXPECT_EQ(HandOverRecord(logger, r1), TSimLogger::kStatusNotBegun);
  Command(logger, 50, TSimLogger::kStatusNotBegun);
  EXPECT_TRUE(logger.Programmed().empty());

  Command(logger, 49);
  EXPECT_EQ(HandOverRecord(logger, r1), 0);
  EXPECT_EQ(Reg(logger, 10, 0, 0, 0, 68).bytes[1], 0);
  EXPECT_EQ(ReadBack(logger), r1);

  // A zero word is stored as zeros: the read-back buffer does not leak into what the host wrote.
  auto r2 = Record(0x0840, 0x20);
  std::fill(r2.begin() + 8, r2.begin() + 12, 0);
  EXPECT_EQ(HandOverRecord(logger, r2), 0);
  Reg(logger, 10, 0, 0, 0, 68);
  EXPECT_EQ(ReadBack(logger), r2);

  // The last write of an address wins; a record of another length or type is refused.
  const auto r1b = Record(0x0800, 0x77);
  EXPECT_EQ(HandOverRecord(logger, r1b), 0);
  auto shortRecord = Record(0x0880, 0);
  shortRecord[0] = 0x10;
  EXPECT_EQ(HandOverRecord(logger, shortRecord), TSimLogger::kStatusBadRecord);

  ASSERT_EQ(logger.Programmed().size(), 2u);
  EXPECT_TRUE(std::equal(r1b.begin() + 4, r1b.end(), logger.Programmed().at(0x0800).begin()));
  EXPECT_TRUE(std::equal(r2.begin() + 4, r2.end(), logger.Programmed().at(0x0840).begin()));

  Command(logger, 50);
  EXPECT_TRUE(logger.UpdateFinished());
  EXPECT_EQ(HandOverRecord(logger, r1), TSimLogger::kStatusNotBegun);

  // A new begin starts over.
  Command(logger, 49);
  EXPECT_TRUE(logger.Programmed().empty());
  EXPECT_FALSE(logger.UpdateFinished());
}

TEST(SimLogger, StatusFaultsRefuseForTheirCountThenAccept) {
  TSimConfig config;
  config.Faults.Register11Status = 0x1A;
  config.Faults.Register11Refusals = 2;
  config.Faults.Register10Status = 0x07;
  config.Faults.Register10Refusals = 3;
  config.Faults.Command50Status = 0x09;  // no count: every try
  TSimLogger logger(config);
  Command(logger, 49);
  const auto r = Record(0x0000, 1);
  EXPECT_EQ(HandOverRecord(logger, r), 0x1A);
  EXPECT_EQ(HandOverRecord(logger, r), 0x1A);
  EXPECT_TRUE(logger.Programmed().empty());  // a refused record is not taken
  EXPECT_EQ(HandOverRecord(logger, r), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Reg(logger, 10, 0, 0, 0, 68).bytes[1], 0x07);
  EXPECT_EQ(Reg(logger, 10, 0, 0, 0, 68).bytes[1], 0);
  for (int i = 0; i < 7; ++i) Command(logger, 50, 0x09);
  EXPECT_FALSE(logger.UpdateFinished());

  TSimConfig stages;
  stages.Faults.IdentityRequestStatus = 3;
  stages.Faults.Command49Status = 5;
  TSimLogger refusing(stages);
  Command(refusing, 32, 3);
  Command(refusing, 49, 5);
  stages = {};
  stages.Faults.IdentityAnswerStatus = 0x44;
  TSimLogger answerRefused(stages);
  Command(answerRefused, 32);
  EXPECT_EQ(Reg(answerRefused, 10, 0, 0, 0, 10).bytes[1], 0x44);
}

TEST(SimLogger, ProbeBitsAndReadBackCorruption) {
  TSimConfig config;
  config.Faults.ProbeStatusBits = 0x40;
  config.Faults.ReadBackCorruptions = 2;
  TSimLogger logger(config);
  TAnswer probe = Reg(logger, 0);
  EXPECT_EQ(probe.bytes[0], 0x40);
  EXPECT_EQ(probe.bytes[7], SimCrc8(probe.bytes.data(), 7));
  EXPECT_EQ(Reg(logger, 1).bytes[0], 0);  // the probe alone

  Command(logger, 49);
  const auto r = Record(0x0100, 3);
  for (int i = 0; i < 3; ++i) {
    HandOverRecord(logger, r);
    Reg(logger, 10, 0, 0, 0, 68);
    const auto back = ReadBack(logger);
    int differing = 0;
    for (size_t k = 0; k < r.size(); ++k) differing += back[k] != r[k];
    EXPECT_EQ(differing, i < 2 ? 1 : 0) << "read-back " << i;
  }
  // What was programmed is what the host sent, whatever the read-back showed.
  EXPECT_TRUE(std::equal(r.begin() + 4, r.end(), logger.Programmed().at(0x0100).begin()));
}

// Counts of each kind of damaged answer over many frames.
struct TDamage {
  int lost = 0, shortened = 0, badCrc = 0, quorBit = 0, good = 0;
  std::vector<uint32_t> lengths;
  bool operator==(const TDamage& o) const {
    return lost == o.lost && shortened == o.shortened && badCrc == o.badCrc && quorBit == o.quorBit &&
           lengths == o.lengths;
  }
};

TDamage Exercise(const TSimFaults& faults, int frames) {
  TSimConfig config;
  config.Faults = faults;
  TSimLogger logger(config);
  TDamage d;
  for (int i = 0; i < frames; ++i) {
    const TAnswer a = Reg(logger, 3, static_cast<uint8_t>(i));
    d.lengths.push_back(a.answered ? a.len : 99);
    if (!a.answered) {
      ++d.lost;
    } else if (a.len < 8) {
      ++d.shortened;
    } else if (SimCrc8(a.bytes.data(), 7) != a.bytes[7]) {
      ++d.badCrc;
    } else if (a.bytes[0] & 0x20) {
      ++d.quorBit;
    } else {
      ++d.good;
    }
  }
  return d;
}

TEST(SimLogger, LinkFaultsFollowTheirRatesAndReplayFromTheRandomKey) {
  TSimFaults faults;
  faults.RandomKey = 42;
  faults.LostPpm = 100000;
  faults.ShortPpm = 100000;
  faults.BadCrcPpm = 100000;
  faults.QuorBitPpm = 50000;
  const TDamage a = Exercise(faults, 4000);
  EXPECT_TRUE(a == Exercise(faults, 4000));
  // Roughly the rates asked for (wide bounds: the point is that each kind happens, not the statistics).
  EXPECT_GT(a.lost, 250);
  EXPECT_LT(a.lost, 550);
  EXPECT_GT(a.shortened, 200);
  EXPECT_GT(a.badCrc, 200);
  EXPECT_GT(a.quorBit, 80);
  EXPECT_GT(a.good, 2500);
  faults.RandomKey = 43;
  EXPECT_FALSE(a == Exercise(faults, 4000));

  TSimFaults all;
  all.LostPpm = 1000000;
  EXPECT_EQ(Exercise(all, 50).lost, 50);
  EXPECT_EQ(Exercise(TSimFaults{}, 50).good, 50);
}

TEST(SimLogger, GoesSilentAndVanishesAfterItsFrameCounts) {
  TSimConfig config;
  config.Faults.SilentAfterFrames = 3;
  TSimLogger silent(config);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Reg(silent, 1).answered);
  EXPECT_FALSE(Reg(silent, 1).answered);
  EXPECT_FALSE(Send(silent, Frame(0x81, 0, 0, 0, 0, 0, 0)).answered);

  config = {};
  config.Faults.VanishAfterFrames = 2;
  TSimLogger vanishing(config);
  Reg(vanishing, 1);
  EXPECT_FALSE(vanishing.Vanished());
  Reg(vanishing, 1);
  EXPECT_TRUE(vanishing.Vanished());
}

}  // namespace
