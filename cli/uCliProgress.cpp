#include "cli/uCliProgress.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kBarCells = 30;
constexpr size_t kMinBarCells = 10;

}  // namespace

std::string ProgressLine(int percent, uint64_t elapsedMs, std::optional<uint64_t> leftMs,
                         const std::string& image, size_t width) {
  percent = std::clamp(percent, 0, 100);
  char head[8];
  std::snprintf(head, sizeof head, "%3d%%", percent);
  std::string figures = std::string(head) + "  " + FormatDuration(elapsedMs) + " elapsed";
  if (leftMs) figures += ", " + FormatDuration(*leftMs) + " left";

  // What room is left for the cells between "[" and "] ".
  auto cellsBeside = [width](size_t textSize) {
    const size_t fixed = 3 + textSize;
    return std::min(kBarCells, width > fixed ? width - fixed : 0);
  };
  std::string text = image.empty() ? figures : figures + "  " + image;
  size_t cells = cellsBeside(text.size());
  if (cells < kMinBarCells) {
    text = figures;
    cells = cellsBeside(text.size());
  }
  std::string line;
  if (cells < kMinBarCells) {
    // Too narrow for a bar: the figures alone, as many as fit.
    line = text.substr(0, width);
    while (!line.empty() && (line.back() == ' ' || line.back() == ',')) line.pop_back();
  } else {
    const size_t filled = static_cast<size_t>(percent) * cells / 100;
    line.reserve(cells + 3 + text.size());
    line += '[';
    line.append(filled, '#');
    line.append(cells - filled, '-');
    line += "] ";
    line += text;
  }
  return line;
}
