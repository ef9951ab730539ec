// Intel HEX record codec on the module buffers HexLine and HexRecord (worker thread only).
#pragma once

#include <cstdint>
#include <string>

// One line of 8-bit text; the decoder reads it, the encoder replaces it.
extern std::string HexLine;
// Count, address high, address low, type, data, checksum; at most the first 69 bytes are used.
extern uint8_t HexRecord[260];

// "0".."9" and "A".."F" give 0..15 and true; anything else gives false and leaves `value` unchanged.
bool HexDigitValue(char c, uint8_t& value);
// The upper-case hex digit of the low four bits of `b`.
char NibbleToHex(uint8_t b);
// The record that ends every image; never sent itself.
inline constexpr const char* kEndOfFileLine = ":00000001FF";

// HexLine -> HexRecord; false when the line is not a record of at most 64 data bytes with a correct checksum.
bool DecodeHexRecord();
// The same for any line into `record` (at least 69 bytes), for checks away from the worker's buffers.
bool DecodeHexRecord(const std::string& line, uint8_t* record);
// HexRecord -> HexLine with a freshly computed checksum; false (HexLine ":") when the count exceeds 64.
bool EncodeHexRecord();
