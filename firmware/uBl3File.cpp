// Image files: eight key=value header lines, then the Intel HEX lines. Files are read as bytes and split
// on LF by hand, so a file loads the same on Windows and Linux whatever its line ends.
#include "firmware/uBl3File.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "firmware/uFWVersions.h"

namespace {

constexpr uint16_t kUnknownBootloader = 0xFFFF;

// A whole image file in memory, handed out line by line.
struct TLineCursor {
  const std::string& Text;
  std::size_t Pos = 0;
};

// Reads the next line without its LF, and without the CR before that LF (files written on Windows).
// False at the end of the text, `line` then empty: a missing line reads as an empty one.
bool ReadTextLine(TLineCursor& cursor, std::string& line) {
  line.clear();
  if (cursor.Pos >= cursor.Text.size()) return false;
  const std::size_t lf = cursor.Text.find('\n', cursor.Pos);
  if (lf == std::string::npos) {  // the last line has no LF, so a CR there stays
    line.assign(cursor.Text, cursor.Pos);
    cursor.Pos = cursor.Text.size();
    return true;
  }
  line.assign(cursor.Text, cursor.Pos, lf - cursor.Pos);
  cursor.Pos = lf + 1;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// Reads `fileName` whole as bytes, past a UTF-8 byte-order mark at its very start, which editors on
// Windows like to write and which would otherwise become part of the first key. C stdio rather than
// file streams: the streams would pull the whole locale machinery into the statically linked programs.
// False when the file cannot be opened or read (a directory included).
bool ReadImageFile(const std::string& fileName, std::string& text) {
  text.clear();
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
  if (file == nullptr) return false;
  char block[16384];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return false;
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  return true;
}

std::string CannotOpen(const std::string& fileName) {
  return "Cannot open image file \"" + fileName + "\"";
}

std::string CannotReadHeader(const std::string& fileName, const std::string& what) {
  return "Cannot read the header of image file \"" + fileName + "\": " + what;
}

// The whole value text as a signed 32-bit decimal integer, an optional leading minus allowed, low 16 bits
// kept (-1 gives 0xFFFF, 65536 gives 0).
uint16_t IntegerValue(const std::string& value, const std::string& key) {
  std::size_t pos = 0;
  const bool negative = !value.empty() && value[0] == '-';
  if (negative) pos = 1;
  if (pos == value.size()) throw EImageFile("No integer value for \"" + key + "\"");
  int64_t magnitude = 0;
  for (; pos < value.size(); ++pos) {
    const char c = value[pos];
    if (c < '0' || c > '9')
      throw EImageFile("The value \"" + value + "\" of \"" + key + "\" is not an integer");
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > int64_t{1} << 31) {
      throw EImageFile("The value \"" + value + "\" of \"" + key + "\" is out of range");
    }
  }
  const int64_t number = negative ? -magnitude : magnitude;
  if (number > INT32_MAX) throw EImageFile("The value \"" + value + "\" of \"" + key + "\" is out of range");
  return static_cast<uint16_t>(static_cast<uint64_t>(number) & 0xFFFF);
}

uint16_t ReadIntegerLine(TLineCursor& file, const std::string& key) {
  std::string line;
  ReadTextLine(file, line);
  return IntegerValue(ValueOf(line, key), key);
}

}  // namespace

std::string ValueOf(const std::string& line, const std::string& key) {
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return std::string();
  if (line.compare(0, equals, key) != 0) return std::string();
  return line.substr(equals + 1);
}

bool ReadFileHeader(const std::string& text, TBl3FileHeader& header) {
  TLineCursor file{text};
  std::string line;
  ReadTextLine(file, line);
  const std::string bootloader = ValueOf(line, "bootloader");
  header.quor_bl = bootloader == "2" ? 2 : bootloader == "3" ? 3 : kUnknownBootloader;
  header.quor_bl_ver = ReadIntegerLine(file, "bootloader version");
  header.quor_class = ReadIntegerLine(file, "class");
  header.quor_verH = ReadIntegerLine(file, "versionH");
  header.quor_verL = ReadIntegerLine(file, "versionL");
  header.quor_platform = ReadIntegerLine(file, "platform");
  header.quor_print = ReadIntegerLine(file, "print");
  ReadTextLine(file, line);
  header.quor_date = ValueOf(line, "date");
  return true;
}

bool LoadImageFile(const std::string& fileName, std::string& reason) {
  FileLines.clear();
  std::string text;
  if (!ReadImageFile(fileName, text)) {
    reason = CannotOpen(fileName);
    return false;
  }
  try {
    ReadFileHeader(text, FileHeader);
  } catch (const EImageFile& e) {
    reason = CannotReadHeader(fileName, e.what());
    return false;
  }

  // The lines go to a list of our own first, so that a failure leaves FileLines empty.
  std::vector<std::string> lines;
  TLineCursor cursor{text};
  std::string line;
  while (ReadTextLine(cursor, line)) lines.push_back(line);
  // Every line with "=" is a header line, wherever it stands; blank lines are image lines.
  std::erase_if(lines, [](const std::string& l) { return l.find('=') != std::string::npos; });
  FileLines = std::move(lines);
  SelectedImage = 0;
  return true;
}

void ReadFileVersion(const std::string& fileName) {
  std::string text;
  if (!ReadImageFile(fileName, text)) throw EImageFile(CannotOpen(fileName));
  try {
    ReadFileHeader(text, FileHeader);
  } catch (const EImageFile& e) {
    throw EImageFile(CannotReadHeader(fileName, e.what()));
  }
  SelectedImage = 0;
}
