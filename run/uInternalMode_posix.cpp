#include <cstdlib>
#include <fstream>
#include <string>

#include "run/uInternalMode.h"

namespace {

std::string InternFilePath() {
  // A relative XDG_CONFIG_HOME is to be ignored, as the base-directory convention says.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/pellory/intern";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return "";
  return std::string(home) + "/.config/pellory/intern";
}

}  // namespace

bool ReadInternalMode() {
  const std::string path = InternFilePath();
  if (path.empty()) return false;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  // Only a short file is looked at; a trailing line break (as editors write it) is allowed.
  std::string text;
  char c;
  while (text.size() < 64 && file.get(c)) text += c;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text == "8147";
}
