// Image files: eight key=value header lines, then the Intel HEX lines. Files are read as bytes and split
// on LF by hand, so a file loads the same on Windows and Linux whatever its line ends.
#include "firmware/uBl3File.h"

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <vector>

#include "firmware/uFWVersions.h"

namespace {

constexpr uint16_t kUnknownBootloader = 0xFFFF;

// Reads the next line without its LF, and without the CR before that LF (files written on Windows).
// False at the end of the stream, `line` then empty: a missing line reads as an empty one.
// Throws EImageFile when the stream reports a read error.
bool ReadTextLine(std::istream& file, std::string& line) {
  line.clear();
  if (file.bad()) throw EImageFile("The image file cannot be read");
  if (!file.good()) return false;
  std::getline(file, line, '\n');
  if (file.bad()) throw EImageFile("The image file cannot be read");
  if (file.fail()) {  // nothing extracted: the end of the stream
    line.clear();
    return false;
  }
  const bool endedByLf = !file.eof();
  if (endedByLf && !line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// Opens `fileName` for reading as bytes, past a UTF-8 byte-order mark at its very start, which editors
// on Windows like to write and which would otherwise become part of the first key.
bool OpenImageFile(const std::string& fileName, std::ifstream& file) {
  file.open(fileName, std::ios::in | std::ios::binary);
  if (!file.is_open()) return false;
  char mark[3] = {};
  file.read(mark, 3);
  if (file.gcount() == 3 && mark[0] == '\xEF' && mark[1] == '\xBB' && mark[2] == '\xBF') return true;
  file.clear();
  file.seekg(0);
  return !file.fail();
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

uint16_t ReadIntegerLine(std::istream& file, const std::string& key) {
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

bool ReadFileHeader(std::istream& file, TBl3FileHeader& header) {
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
  {
    std::ifstream file;
    if (!OpenImageFile(fileName, file)) {
      reason = CannotOpen(fileName);
      return false;
    }
    try {
      ReadFileHeader(file, FileHeader);
    } catch (const EImageFile& e) {
      reason = CannotReadHeader(fileName, e.what());
      return false;
    }
  }

  // The lines go to a list of our own first, so that a failure leaves FileLines empty.
  std::vector<std::string> lines;
  {
    std::ifstream file;
    if (!OpenImageFile(fileName, file)) throw EImageFile(CannotOpen(fileName));
    std::string line;
    while (ReadTextLine(file, line)) lines.push_back(line);
  }
  // Every line with "=" is a header line, wherever it stands; blank lines are image lines.
  std::erase_if(lines, [](const std::string& l) { return l.find('=') != std::string::npos; });
  FileLines = std::move(lines);
  SelectedImage = 0;
  return true;
}

void ReadFileVersion(const std::string& fileName) {
  std::ifstream file;
  if (!OpenImageFile(fileName, file)) throw EImageFile(CannotOpen(fileName));
  try {
    ReadFileHeader(file, FileHeader);
  } catch (const EImageFile& e) {
    throw EImageFile(CannotReadHeader(fileName, e.what()));
  }
  SelectedImage = 0;
}
