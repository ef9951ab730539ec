// The HEX codec: what it accepts, what it refuses, and that accepted lines encode back unchanged.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "firmware/uFlash.h"

namespace {

// A valid type-00 line of 64 data bytes 0x00, 0x11, ... at 0x1240.
std::string SixtyFourByteLine() {
  std::string line = ":40124000";
  int sum = 0x40 + 0x12 + 0x40;
  for (int i = 0; i < 64; ++i) {
    const int b = (i * 0x11 + 3) & 0xFF;
    sum += b;
    line += "0123456789ABCDEF"[b >> 4];
    line += "0123456789ABCDEF"[b & 0x0F];
  }
  const int checksum = (0x100 - (sum & 0xFF)) & 0xFF;
  line += "0123456789ABCDEF"[checksum >> 4];
  line += "0123456789ABCDEF"[checksum & 0x0F];
  return line;
}

bool Decode(const std::string& line) {
  HexLine = line;
  return DecodeHexRecord();
}

class HexCodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(HexRecord, 0xA5, sizeof HexRecord);
    HexLine.clear();
  }
};

TEST_F(HexCodecTest, DigitsAreUpperCaseHexOnlyAndRefusalsKeepTheOutput) {
  for (int c = 0; c < 256; ++c) {
    uint8_t value = 0x77;
    const bool ok = HexDigitValue(static_cast<char>(c), value);
    if (c >= '0' && c <= '9') {
      EXPECT_TRUE(ok);
      EXPECT_EQ(value, c - '0');
    } else if (c >= 'A' && c <= 'F') {
      EXPECT_TRUE(ok);
      EXPECT_EQ(value, c - 'A' + 10);
    } else {
      EXPECT_FALSE(ok) << "character " << c;
      EXPECT_EQ(value, 0x77);
    }
  }
  EXPECT_EQ(NibbleToHex(0x00), '0');
  EXPECT_EQ(NibbleToHex(0x09), '9');
  EXPECT_EQ(NibbleToHex(0x0A), 'A');
  EXPECT_EQ(NibbleToHex(0xFA), 'A');  // high bits ignored
  EXPECT_EQ(NibbleToHex(0xFF), 'F');
}

TEST_F(HexCodecTest, EndOfFileRecordDecodesAndEncodesBack) {
  ASSERT_TRUE(Decode(":00000001FF"));
  EXPECT_EQ(HexRecord[0], 0);
  EXPECT_EQ(HexRecord[1], 0);
  EXPECT_EQ(HexRecord[2], 0);
  EXPECT_EQ(HexRecord[3], 1);
  EXPECT_EQ(HexRecord[4], 0xFF);
  ASSERT_TRUE(EncodeHexRecord());
  EXPECT_EQ(HexLine, ":00000001FF");
}

TEST_F(HexCodecTest, FullRecordRoundTripsAndKeepsBytesAsDecoded) {
  const std::string line = SixtyFourByteLine();
  ASSERT_EQ(line.size(), 139u);
  ASSERT_TRUE(Decode(line));
  EXPECT_EQ(HexRecord[0], 0x40);
  EXPECT_EQ(HexRecord[1], 0x12);
  EXPECT_EQ(HexRecord[2], 0x40);
  EXPECT_EQ(HexRecord[3], 0x00);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(HexRecord[4 + i], (i * 0x11 + 3) & 0xFF);
  ASSERT_TRUE(EncodeHexRecord());
  EXPECT_EQ(HexLine, line);

  // Types are not interpreted: a type-04 record decodes like data.
  ASSERT_TRUE(Decode(":020000040800F2"));
  EXPECT_EQ(HexRecord[3], 0x04);
  ASSERT_TRUE(EncodeHexRecord());
  EXPECT_EQ(HexLine, ":020000040800F2");
}

TEST_F(HexCodecTest, RefusesLinesOutsideTheNarrowForm) {
  const std::string line = SixtyFourByteLine();
  std::string lower = line;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_NE(lower, line);
  EXPECT_FALSE(Decode(lower));
  EXPECT_FALSE(Decode(":00000001ff"));

  EXPECT_FALSE(Decode(line + " "));
  EXPECT_FALSE(Decode(line + "\r"));
  EXPECT_FALSE(Decode(line + "\n"));
  EXPECT_FALSE(Decode(" " + line));
  EXPECT_FALSE(Decode(":00000001FF\r\n"));

  // One pair of digits too many or too few.
  EXPECT_FALSE(Decode(line + "00"));
  EXPECT_FALSE(Decode(line.substr(0, line.size() - 2)));
  EXPECT_FALSE(Decode(":0000000100FF"));
  EXPECT_FALSE(Decode(""));
}

TEST_F(HexCodecTest, ShortLinesAndMissingColonAreRefusedBeforeTheCountIsStored) {
  for (const char* line : {":40000000F", ":0000000", "", "0000000001FF", "x00000001FF"}) {
    HexRecord[0] = 0xA5;
    EXPECT_FALSE(Decode(line)) << line;
    EXPECT_EQ(HexRecord[0], 0xA5) << line;
  }
}

TEST_F(HexCodecTest, CountAboveSixtyFourIsRefusedAfterItWasStored) {
  // 65 zero data bytes at 0: a well-formed record of the published format, 141 characters.
  std::string line = ":41000000" + std::string(130, '0');
  line += "BF";  // 0x100 - 0x41
  ASSERT_EQ(line.size(), 141u);
  EXPECT_FALSE(Decode(line));
  EXPECT_EQ(HexRecord[0], 0x41);
  EXPECT_EQ(HexRecord[1], 0xA5);  // nothing after the count was decoded
}

TEST_F(HexCodecTest, ChecksumAndDigitFailuresLeaveTheBytesDecodedSoFar) {
  std::string line = SixtyFourByteLine();
  line[20] = line[20] == '0' ? '1' : '0';  // a data digit changed, old checksum kept
  EXPECT_FALSE(Decode(line));

  std::memset(HexRecord, 0xA5, sizeof HexRecord);
  std::string bad = SixtyFourByteLine();
  // ":" at 0, count 1-2, address 3-6, type 7-8, data byte 0 at 9-10, data byte 1 at 11-12.
  bad[11] = 'g';
  EXPECT_FALSE(Decode(bad));
  EXPECT_EQ(HexRecord[0], 0x40);
  EXPECT_EQ(HexRecord[1], 0x12);
  EXPECT_EQ(HexRecord[3], 0x00);
  EXPECT_EQ(HexRecord[4], 0x03);  // data byte 0 stored
  EXPECT_EQ(HexRecord[5], 0xA5);  // data byte 1 not
}

TEST_F(HexCodecTest, EncoderComputesTheChecksumAndRefusesLargeCounts) {
  ASSERT_TRUE(Decode(":0400100001020304E2"));
  HexRecord[8] = 0x00;  // stale checksum byte
  ASSERT_TRUE(EncodeHexRecord());
  EXPECT_EQ(HexLine, ":0400100001020304E2");
  HexRecord[5] = 0x12;  // a changed data byte gets its own checksum
  ASSERT_TRUE(EncodeHexRecord());
  EXPECT_EQ(HexLine, ":0400100001120304D2");
  ASSERT_TRUE(Decode(HexLine));

  for (int count : {65, 0x80, 0xFF}) {
    HexLine = ":00000001FF";
    HexRecord[0] = static_cast<uint8_t>(count);
    EXPECT_FALSE(EncodeHexRecord());
    EXPECT_EQ(HexLine, ":");
  }
  HexRecord[0] = 64;
  EXPECT_TRUE(EncodeHexRecord());
  EXPECT_EQ(HexLine.size(), 139u);
}

}  // namespace
