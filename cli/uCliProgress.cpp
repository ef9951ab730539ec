#include "cli/uCliProgress.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kBarCells = 30;
constexpr size_t kMinBarCells = 10;

}  // namespace

void TProgressEstimate::Start(uint64_t now) {
  if (FStarted) return;
  FStarted = true;
  FStartMs = now;
}

void TProgressEstimate::WriteStarted(uint64_t now) {
  FWriting = true;
  FWriteStartMs = now;
  FPercent = 0;
}

uint64_t TProgressEstimate::ElapsedMs(uint64_t now) const {
  return FStarted && now > FStartMs ? now - FStartMs : 0;
}

std::optional<uint64_t> TProgressEstimate::LeftMs(uint64_t now) const {
  // The worker's percentages run from 0 to 99 over the image's lines; 100 only marks the end.
  if (!FWriting || FPercent <= 0 || FPercent >= 99) return std::nullopt;
  const uint64_t spent = now > FWriteStartMs ? now - FWriteStartMs : 0;
  // Measured now rather than at the last step, so a stalled line (read-back retries) lengthens it.
  return spent * static_cast<uint64_t>(99 - FPercent) / static_cast<uint64_t>(FPercent);
}

std::string FormatDuration(uint64_t ms) {
  const uint64_t s = ms / 1000;
  char text[32];
  if (s < 3600) {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(s / 60), static_cast<unsigned>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
  }
  return text;
}

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
