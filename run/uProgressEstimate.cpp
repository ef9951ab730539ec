#include "run/uProgressEstimate.h"

#include <cstdio>

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
