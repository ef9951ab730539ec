// Numbers on pellory-cli's command line, shared by every command's options.
#pragma once

#include <cstdint>
#include <string>

// A number as decimal or 0x-prefixed hex, within 0..max; false for anything else.
bool ParseCliNumber(const std::string& text, uint64_t max, uint64_t& value);
