#include "device/uConvert1V0.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The CRC computed bit by bit, to hold the table against.
uint8_t BitwiseCrc8(const uint8_t* data, size_t count) {
  uint8_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  }
  return crc;
}

TEST(Crc8, KnownVectorsAndTableEntries) {
  const char* digits = "123456789";
  EXPECT_EQ(Crc8(reinterpret_cast<const uint8_t*>(digits), 9), 0xA1);
  const uint8_t one = 1, two = 2, all = 0xFF;
  EXPECT_EQ(Crc8(&one, 1), 0x5E);
  EXPECT_EQ(Crc8(&two, 1), 0xBC);
  EXPECT_EQ(Crc8(&all, 1), 0x35);
  EXPECT_EQ(Crc8(&all, 0), 0);
  EXPECT_EQ(Crc8(nullptr, 0), 0);
}

TEST(Crc8, EveryTableEntryAndLongInputsMatchTheBitwiseCrc) {
  for (int b = 0; b < 256; ++b) {
    const uint8_t byte = static_cast<uint8_t>(b);
    ASSERT_EQ(Crc8(&byte, 1), BitwiseCrc8(&byte, 1)) << "byte " << b;
  }
  // A count above 255 must not wrap inside the loop.
  uint8_t data[1000];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  EXPECT_EQ(Crc8(data, sizeof data), BitwiseCrc8(data, sizeof data));
}

TEST(BytesToWord, HighByteFirst) {
  EXPECT_EQ(BytesToWord(0x66, 0x01), 0x6601);
  EXPECT_EQ(BytesToWord(0xFF, 0xFF), 0xFFFF);
  EXPECT_EQ(BytesToWord(0, 0x0A), 10);
}

}  // namespace
