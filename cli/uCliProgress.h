// The progress line of a run on a terminal: the bar, the time taken, an estimate of the time left and the
// image being written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "run/uProgressEstimate.h"

// "[#####-----]  45%  1:23 elapsed, 1:40 left  SD CARD V4.106", at most `width` characters: the bar
// narrows first, then the image is left out, then the bar, then the line is cut.
std::string ProgressLine(int percent, uint64_t elapsedMs, std::optional<uint64_t> leftMs,
                         const std::string& image, size_t width);
