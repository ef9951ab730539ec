#pragma once

#include <cstdint>

// CRC-8/MAXIM (reflected polynomial 0x8C, init 0, no final XOR), table-driven; count 0 gives 0.
uint8_t Crc8(const uint8_t* data, uint16_t count);
// high * 256 + low.
uint16_t BytesToWord(uint8_t high, uint8_t low);
