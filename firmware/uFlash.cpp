// Intel HEX record codec. Narrower than the published format on purpose: upper-case digits only and at
// most 64 data bytes, so that every accepted line encodes back to the identical text (the update's
// read-back check compares texts).
#include "firmware/uFlash.h"

#include <cstddef>

std::string HexLine;
uint8_t HexRecord[260] = {};

namespace {

constexpr uint8_t kMaxDataBytes = 64;
constexpr std::size_t kMinLineLength = 11;  // ":" and count, address, type, checksum

}  // namespace

bool HexDigitValue(char c, uint8_t& value) {
  if (c >= '0' && c <= '9') {
    value = static_cast<uint8_t>(c - '0');
    return true;
  }
  if (c >= 'A' && c <= 'F') {
    value = static_cast<uint8_t>(c - 'A' + 10);
    return true;
  }
  return false;
}

char NibbleToHex(uint8_t b) {
  return "0123456789ABCDEF"[b & 0x0F];
}

bool DecodeHexRecord(const std::string& line, uint8_t* record) {
  if (line.size() < kMinLineLength) return false;
  if (line[0] != ':') return false;
  uint8_t high = 0;
  uint8_t low = 0;
  if (!HexDigitValue(line[1], high) || !HexDigitValue(line[2], low)) return false;
  record[0] = static_cast<uint8_t>(high * 16 + low);
  const std::size_t count = record[0];
  if (count > kMaxDataBytes) return false;
  if (line.size() != 2 * count + kMinLineLength) return false;
  // Byte k sits at text positions 2k+1 and 2k+2 (0-based, after the ":").
  for (std::size_t k = 1; k <= count + 4; ++k) {
    if (!HexDigitValue(line[2 * k + 1], high) || !HexDigitValue(line[2 * k + 2], low)) return false;
    record[k] = static_cast<uint8_t>(high * 16 + low);
  }
  uint8_t sum = 0;
  for (std::size_t k = 0; k <= count + 4; ++k) sum = static_cast<uint8_t>(sum + record[k]);
  return sum == 0;
}

bool DecodeHexRecord() {
  return DecodeHexRecord(HexLine, HexRecord);
}

bool EncodeHexRecord() {
  HexLine.assign(1, ':');
  const std::size_t count = HexRecord[0];
  if (count > kMaxDataBytes) return false;
  HexLine.reserve(2 * count + kMinLineLength);
  uint8_t sum = 0;
  // The stored checksum byte is never read: the line carries the checksum of the bytes actually present.
  for (std::size_t k = 0; k <= count + 3; ++k) {
    const uint8_t b = HexRecord[k];
    sum = static_cast<uint8_t>(sum + b);
    HexLine += NibbleToHex(static_cast<uint8_t>(b >> 4));
    HexLine += NibbleToHex(b);
  }
  const uint8_t checksum = static_cast<uint8_t>(0x100 - sum);
  HexLine += NibbleToHex(static_cast<uint8_t>(checksum >> 4));
  HexLine += NibbleToHex(checksum);
  return true;
}
