// The firmware catalogue: index 0 the loaded image file, 1 to 3 the images compiled into the program.
#include "firmware/uFWVersions.h"

#include "firmware/uNames.h"
#include "firmware/uSD_V1_04_P3_PR3_BL2_0.h"
#include "firmware/uSD_V2_102_P11_PR17_BL2_1.h"
#include "firmware/uSD_V4_106_P25_PR52_BL2_1.h"

int32_t SelectedImage = -1;
TBl3FileHeader FileHeader;
std::vector<std::string> FileLines;

namespace {

struct TEmbeddedImage {
  const TBl3FileHeader* header;
  const char* const* lines;
  int32_t lastIndex;
};

// The last indices are constants of the catalogue; they must agree with the image modules.
constexpr int32_t kLastIndex1 = 227;
constexpr int32_t kLastIndex2 = 259;
constexpr int32_t kLastIndex3 = 195;
static_assert(kLastIndex1 == uSD_V1_04_P3_PR3_BL2_0::LineCount - 1);
static_assert(kLastIndex2 == uSD_V2_102_P11_PR17_BL2_1::LineCount - 1);
static_assert(kLastIndex3 == uSD_V4_106_P25_PR52_BL2_1::LineCount - 1);

// Built on first use, so the image headers are certainly constructed by then.
const TEmbeddedImage* EmbeddedImage(int32_t image) {
  static const TEmbeddedImage images[3] = {
      {&uSD_V1_04_P3_PR3_BL2_0::Header, uSD_V1_04_P3_PR3_BL2_0::Lines, kLastIndex1},
      {&uSD_V2_102_P11_PR17_BL2_1::Header, uSD_V2_102_P11_PR17_BL2_1::Lines, kLastIndex2},
      {&uSD_V4_106_P25_PR52_BL2_1::Header, uSD_V4_106_P25_PR52_BL2_1::Lines, kLastIndex3},
  };
  if (image < 1 || image > 3) return nullptr;
  return &images[image - 1];
}

}  // namespace

int32_t ImageCount() {
  return 3;
}

bool AccessImage(int32_t image, int32_t op, int32_t lineIndex, TBl3FileHeader& header, int32_t& lastIndex,
                 std::string& line) {
  header.quor_class = kUnknownCode;
  header.quor_platform = kUnknownCode;
  header.quor_print = kUnknownCode;
  lastIndex = 0;
  line.clear();
  if (image < 0 || image > ImageCount() || op < 0 || op > 2) return false;

  if (image == 0) {
    switch (op) {
      case 0:
        header = FileHeader;
        return true;
      case 1:
        lastIndex = static_cast<int32_t>(FileLines.size()) - 1;
        return true;
      default:
        // A line outside the list is refused rather than read past its end.
        if (lineIndex < 0 || static_cast<std::size_t>(lineIndex) >= FileLines.size()) return false;
        line = FileLines[static_cast<std::size_t>(lineIndex)];
        return true;
    }
  }

  const TEmbeddedImage& embedded = *EmbeddedImage(image);
  switch (op) {
    case 0:
      header = *embedded.header;
      return true;
    case 1:
      lastIndex = embedded.lastIndex;
      return true;
    default:
      if (lineIndex < 0 || lineIndex > embedded.lastIndex) return false;
      line = embedded.lines[lineIndex];
      return true;
  }
}

void GetImageHeader(int32_t image, TBl3FileHeader& header) {
  int32_t lastIndex = 0;
  std::string line;
  AccessImage(image, 0, 0, header, lastIndex, line);
}

int32_t GetImageLastLine(int32_t image) {
  TBl3FileHeader header;
  int32_t lastIndex = 0;
  std::string line;
  AccessImage(image, 1, 0, header, lastIndex, line);
  return lastIndex;
}

int32_t GetImageLastLine() {
  return GetImageLastLine(SelectedImage);
}

std::string GetImageLine(int32_t lineIndex) {
  TBl3FileHeader header;
  int32_t lastIndex = 0;
  std::string line;
  AccessImage(SelectedImage, 2, lineIndex, header, lastIndex, line);
  return line;
}
