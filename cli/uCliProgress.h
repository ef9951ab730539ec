// The progress line of a run on a terminal: the bar, the time taken, an estimate of the time left and the
// image being written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Time taken and time left, in milliseconds of the run control's clock.
class TProgressEstimate {
 public:
  // The command's first run starts; the time taken counts from here across every repeat.
  void Start(uint64_t now);
  // An image starts being written, afresh after a repeat: the pace is measured from here.
  void WriteStarted(uint64_t now);
  void Progress(int percent) { FPercent = percent; }
  uint64_t ElapsedMs(uint64_t now) const;
  // Empty until the writing has made progress, and once it is complete.
  std::optional<uint64_t> LeftMs(uint64_t now) const;

 private:
  bool FStarted = false;
  uint64_t FStartMs = 0;
  bool FWriting = false;
  uint64_t FWriteStartMs = 0;
  int FPercent = 0;
};

// "m:ss", from an hour on "h:mm:ss".
std::string FormatDuration(uint64_t ms);

// "[#####-----]  45%  1:23 elapsed, 1:40 left  SD CARD V4.106", at most `width` characters: the bar
// narrows first, then the image is left out, then the bar, then the line is cut.
std::string ProgressLine(int percent, uint64_t elapsedMs, std::optional<uint64_t> leftMs,
                         const std::string& image, size_t width);
