// Firmware image header and the image file format: eight key=value header lines, then Intel HEX lines.
#pragma once

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>

// The header of a firmware image. A plain value: copied whole, text included.
struct TBl3FileHeader {
  uint16_t quor_class = 0;
  uint16_t quor_verH = 0;
  uint16_t quor_verL = 0;
  uint16_t quor_platform = 0;
  uint16_t quor_print = 0;
  std::string quor_date;
  uint16_t quor_bl = 0;
  uint16_t quor_bl_ver = 0;

  bool operator==(const TBl3FileHeader&) const = default;
};

// Raised when an image file cannot be opened or read, or a header value is not an integer.
class EImageFile : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Image files are far smaller (a complete image is about 30 KB): a larger file is refused unread.
inline constexpr uint64_t kMaxImageFileBytes = 16 * 1024 * 1024;

// The value of `line` for `key`: the text after the first "=" when the text before it is exactly `key`,
// else the empty text.
std::string ValueOf(const std::string& line, const std::string& key);

// Reads the next eight lines of `file` into `header`, each field the moment its line is read.
// Returns true when complete; throws EImageFile on a read error or a value that is not an integer.
bool ReadFileHeader(std::istream& file, TBl3FileHeader& header);
// The same from the text of a whole image file.
bool ReadFileHeader(const std::string& text, TBl3FileHeader& header);

// The loading steps of PrepareImage for `fileName`: empties FileLines, reads the header into FileHeader,
// loads the HEX lines (lines containing "=" removed) into FileLines and sets SelectedImage to 0.
// Returns false with `reason` set when the file cannot be opened or read (a folder, a device, a FIFO or a
// file larger than kMaxImageFileBytes is refused unread) or its header cannot be read; then FileLines is
// empty and SelectedImage is untouched. Throws EImageFile when the lines cannot be loaded
// after the header was read (FileLines then empty again).
bool LoadImageFile(const std::string& fileName, std::string& reason);

// "File version": reads only the header of `fileName` into FileHeader and sets SelectedImage to 0.
// Throws EImageFile when the file cannot be opened or the header cannot be read (SelectedImage kept).
void ReadFileVersion(const std::string& fileName);

// The whole file checked once, as an update would use it, without touching the loaded image: a regular
// file of at most kMaxImageFileBytes, a readable header, and image lines that are each a HEX record the
// update can send, the last the end-of-file record. False with `reason` (naming the file) when unusable.
bool CheckImageFile(const std::string& fileName, std::string& reason);
