#include "cli/uCliNumber.h"

#include <cctype>

bool ParseCliNumber(const std::string& text, uint64_t max, uint64_t& value) {
  size_t pos = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    pos = 2;
  }
  if (pos >= text.size() || text.size() - pos > 16) return false;
  uint64_t v = 0;
  for (; pos < text.size(); ++pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    int digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = std::tolower(c) - 'a' + 10;
    } else {
      return false;
    }
    v = v * base + digit;
    if (v > max) return false;
  }
  value = v;
  return true;
}
