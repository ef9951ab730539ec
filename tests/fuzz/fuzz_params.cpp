// Option lookup on any parameters: the first parameter longer than the prefix whose head matches it (ASCII
// case ignored) gives its tail, at most 1000 characters; otherwise the default.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run/uWinTools1V4.h"

namespace {

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_params: %s\n", what);
  std::abort();
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HeadMatches(const std::string& param, const std::string& prefix) {
  if (param.size() <= prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(param[i]) != Lower(prefix[i])) return false;
  return true;
}

}  // namespace

// Input: prefix, NUL, then the parameters separated by NUL (the first is the program path).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      pieces.emplace_back();
    else
      pieces.back() += static_cast<char>(data[i]);
  }
  const std::string prefix = pieces[0];
  const std::vector<std::string> params(pieces.begin() + 1, pieces.end());
  const std::string def = "\x01no such option";

  std::string expected = def;
  for (size_t i = 1; i < params.size(); ++i)
    if (HeadMatches(params[i], prefix)) {
      expected = params[i].substr(prefix.size(), 1000);
      break;
    }
  const std::string got = GetParamValue(prefix, def, params);
  Require(got.size() <= 1000 || got == def, "value longer than 1000 characters");
  Require(got == expected, "not the tail of the first matching parameter, nor the default");
  return 0;
}
