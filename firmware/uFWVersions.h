// The firmware catalogue: index 0 the loaded image file, 1 to 3 the embedded images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/uBl3File.h"

// -1 none chosen, 0 the file image, 1..3 an embedded image.
extern int32_t SelectedImage;
// Header and HEX lines of the file image.
extern TBl3FileHeader FileHeader;
extern std::vector<std::string> FileLines;

// Number of embedded images.
int32_t ImageCount();

// The single access routine. op 0 header, 1 last line index, 2 line `lineIndex`. Presets the header's
// class, platform and print to 0xFFFF, `lastIndex` to 0 and `line` to empty; false for an unknown image or
// operation, or for a line index outside 0 to the last index.
bool AccessImage(int32_t image, int32_t op, int32_t lineIndex, TBl3FileHeader& header, int32_t& lastIndex,
                 std::string& line);

// Thin forms of AccessImage.
void GetImageHeader(int32_t image, TBl3FileHeader& header);
int32_t GetImageLastLine(int32_t image);
int32_t GetImageLastLine();  // of SelectedImage
std::string GetImageLine(int32_t lineIndex);  // of SelectedImage
