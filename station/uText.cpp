#include "station/uText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>

std::string IsoUtc(std::chrono::system_clock::time_point t, bool millis) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  // Main thread only (the workers never format times), so gmtime's shared buffer is not contended.
  std::tm utc{};
  if (const std::tm* p = std::gmtime(&secs)) utc = *p;
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  if (!millis) return std::string(buf) + "Z";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  char frac[8];
  std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms));
  return std::string(buf) + frac;
}

bool ParseIsoUtc(const std::string& text, std::chrono::system_clock::time_point& t) {
  if (text.size() != 20 && text.size() != 24) return false;
  auto number = [&text](size_t at, size_t digits, int& value) {
    value = 0;
    for (size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
    }
    return true;
  };
  int year, month, day, hour, minute, second, millis = 0;
  if (!number(0, 4, year) || text[4] != '-' || !number(5, 2, month) || text[7] != '-' || !number(8, 2, day) ||
      text[10] != 'T' || !number(11, 2, hour) || text[13] != ':' || !number(14, 2, minute) ||
      text[16] != ':' || !number(17, 2, second) || text.back() != 'Z') {
    return false;
  }
  if (text.size() == 24 && (text[19] != '.' || !number(20, 3, millis))) return false;
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) return false;
  t = std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
      std::chrono::seconds(second) + std::chrono::milliseconds(millis);
  return true;
}

std::string FormatTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    out += line + '\n';
  }
  return out;
}

namespace {

// The length of the well-formed UTF-8 sequence at `i` and its code point; 0 when there is none.
size_t Utf8At(const std::string& s, size_t i, uint32_t& code) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80                 ? 1
               : c >= 0xC2 && c <= 0xDF ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
  if (len == 0 || i + len > s.size()) return 0;
  code = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    code = code << 6 | (b & 0x3F);
  }
  // Overlong forms, surrogates and code points beyond U+10FFFF are not UTF-8.
  if ((len == 3 && code < 0x800) || (len == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return len;
}

bool Unsafe(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E ||
         code == 0x200F || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// `text` with what a terminal would act on escaped: as text for people (`json` false), every control and
// invalid byte as "\x1b" and the like; as JSON text (`json` true), only what JSON encoders leave as it is.
std::string Escaped(const std::string& text, bool json) {
  std::string out;
  out.reserve(text.size());
  char buf[12];
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    const size_t len = Utf8At(text, i, code);
    // Outside its strings JSON text holds only ASCII, and C0 controls inside them are escaped already:
    // what is left to escape is a code point from DEL up, which can only stand inside a string.
    const bool unsafe = len > 0 ? Unsafe(code) && !(json && code < 0x7F) : !json;
    if (unsafe) {
      // A byte that is no UTF-8 (never in JSON text) or an ASCII control as a byte, the rest as code points.
      if (len == 0) code = static_cast<unsigned char>(text[i]);
      std::snprintf(buf, sizeof buf, !json && (len == 0 || code < 0x80) ? "\\x%02x" : "\\u%04x",
                    static_cast<unsigned>(code));
      out += buf;
    } else {
      out.append(text, i, len == 0 ? 1 : len);
    }
    i += len == 0 ? 1 : len;
  }
  return out;
}

}  // namespace

std::string TerminalSafe(const std::string& text) {
  return Escaped(text, false);
}

std::string JsonTerminalSafe(const std::string& json) {
  return Escaped(json, true);
}

bool NaturalLess(const std::string& a, const std::string& b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      // Leading zeros do not count; then the longer run is the larger number.
      size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int c = a.compare(si, ei - si, b, sj, ej - sj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
      continue;
    }
    if (lower(a[i]) != lower(b[j])) return lower(a[i]) < lower(b[j]);
    ++i;
    ++j;
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;  // equal but for case: still one order
}

std::string HintText(const std::string& line) {
  static const std::string kPrefix = "pellory-cli: ";
  return line.compare(0, kPrefix.size(), kPrefix) == 0 ? line.substr(kPrefix.size()) : line;
}

std::string OpenFailureHint(const std::string& port, int exitCode, const std::vector<std::string>& hints) {
  constexpr int kExitPortNotReady = 10;
  if (exitCode != kExitPortNotReady || port.empty()) return {};
  for (auto it = hints.rbegin(); it != hints.rend(); ++it) {
    std::string hint = HintText(*it);
    if (hint.compare(0, port.size(), port) == 0) return hint;
  }
  return {};
}
