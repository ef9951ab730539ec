// Names of device classes, platforms and prints; "?" for a code without a row.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint16_t kUnknownCode = 0xFFFF;
inline constexpr uint16_t kSdCardClass = 0x660A;

// The class text; 0x6617, 0x6621 and 0x6627 use the print code for their variants (pass 0xFFFF for none).
std::string ClassName(uint16_t classCode, uint16_t print);
std::string PlatformName(uint16_t platform);
std::string PrintName(uint16_t print);
// The code itself when its table names it, else 0xFFFF.
uint16_t CheckPlatform(uint16_t code);
uint16_t CheckPrint(uint16_t code);
