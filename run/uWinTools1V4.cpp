#include "run/uWinTools1V4.h"

namespace {

constexpr size_t kMaxValueLength = 1000;

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HeadMatches(const std::string& param, const std::string& prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(param[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

}  // namespace

std::string GetParamValue(const std::string& prefix, const std::string& def,
                          const std::vector<std::string>& params) {
  // Parameter 0 is the program itself. A parameter that is only the prefix carries no value and never
  // matches; the first match wins.
  for (size_t i = 1; i < params.size(); ++i) {
    const std::string& p = params[i];
    if (p.size() > prefix.size() && HeadMatches(p, prefix)) return p.substr(prefix.size(), kMaxValueLength);
  }
  return def;
}
