// Time taken and time left of a run, from the pace of its writing so far: shared by the command line's
// progress line and the station's rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Time taken and time left, in milliseconds of the caller's clock.
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
