// The firmware overview's table: its columns and the row of one image, shared by the window's list and
// the command line's table.
#pragma once

#include <string>
#include <vector>

#include "firmware/uBl3File.h"

// Firmware, Version, Platform, Print, Date, BL.
std::vector<std::string> ImageTableHeader();
// The cells of `header` in the order of the columns.
std::vector<std::string> ImageRow(const TBl3FileHeader& header);
