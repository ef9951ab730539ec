// Image files: eight key=value header lines, then the Intel HEX lines. Files are read as bytes and split
// on LF by hand, so a file loads the same on Windows and Linux whatever its line ends.
#include "firmware/uBl3File.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "firmware/uRegularFile.h"

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

std::string CannotOpen(const std::string& fileName, TFileProblem problem) {
  const std::string head = "Cannot open image file \"" + fileName + "\"";
  switch (problem) {
    case TFileProblem::Folder:
      return head + ": it is a folder";
    case TFileProblem::NotRegular:
      return head + ": it is not a regular file";
    case TFileProblem::TooLarge:
      return head + ": it is larger than 16 MiB, far more than any firmware image";
    default:
      return head;
  }
}

std::string CannotReadHeader(const std::string& fileName, const std::string& what) {
  return "Cannot read the header of image file \"" + fileName + "\": " + what;
}

// Reads `fileName` whole as bytes, past a UTF-8 byte-order mark at its very start, which editors on
// Windows like to write and which would otherwise become part of the first key. C stdio rather than
// file streams: the streams would pull the whole locale machinery into the statically linked programs.
// Only regular files of at most kMaxImageFileBytes are read, and never more than that: a device, a FIFO
// or an endless file is refused unread. False with `reason` when the file cannot be used.
bool ReadImageFile(const std::string& fileName, std::string& text, std::string& reason) {
  text.clear();
  TFileProblem problem = TFileProblem::None;
  std::FILE* file = OpenRegularFile(fileName, kMaxImageFileBytes, problem);
  if (file == nullptr) {
    reason = CannotOpen(fileName, problem);
    return false;
  }
  char block[16384];
  std::size_t got;
  // Bounded again while reading: the file may grow after it was measured.
  while (text.size() <= kMaxImageFileBytes && (got = std::fread(block, 1, sizeof block, file)) > 0) {
    text.append(block, got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed || text.size() > kMaxImageFileBytes) {
    reason =
        failed ? "Cannot read image file \"" + fileName + "\"" : CannotOpen(fileName, TFileProblem::TooLarge);
    text.clear();
    return false;
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  return true;
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

// The image lines of a whole file: every line without "=", wherever it stands (blank lines included),
// with their line numbers in the file when `numbers` is given.
std::vector<std::string> ImageLines(const std::string& text, std::vector<std::size_t>* numbers) {
  std::vector<std::string> lines;
  TLineCursor cursor{text};
  std::string line;
  for (std::size_t number = 1; ReadTextLine(cursor, line); ++number) {
    if (line.find('=') != std::string::npos) continue;
    lines.push_back(line);
    if (numbers != nullptr) numbers->push_back(number);
  }
  return lines;
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
  if (!ReadImageFile(fileName, text, reason)) return false;
  try {
    ReadFileHeader(text, FileHeader);
  } catch (const EImageFile& e) {
    reason = CannotReadHeader(fileName, e.what());
    return false;
  }
  // The lines go to a list of our own first, so that a failure leaves FileLines empty.
  std::vector<std::string> lines = ImageLines(text, nullptr);
  FileLines = std::move(lines);
  SelectedImage = 0;
  return true;
}

void ReadFileVersion(const std::string& fileName) {
  std::string text;
  std::string reason;
  if (!ReadImageFile(fileName, text, reason)) throw EImageFile(reason);
  try {
    ReadFileHeader(text, FileHeader);
  } catch (const EImageFile& e) {
    throw EImageFile(CannotReadHeader(fileName, e.what()));
  }
  SelectedImage = 0;
}

bool CheckImageFile(const std::string& fileName, std::string& reason) {
  std::string text;
  if (!ReadImageFile(fileName, text, reason)) return false;
  try {
    TBl3FileHeader header;
    ReadFileHeader(text, header);
  } catch (const EImageFile& e) {
    reason = CannotReadHeader(fileName, e.what());
    return false;
  }
  std::vector<std::size_t> numbers;
  const std::vector<std::string> lines = ImageLines(text, &numbers);
  const std::string head = "Image file \"" + fileName + "\"";
  // What the update demands of the lines, checked here so that no run starts only to fail on them.
  if (lines.empty() || lines.back() != kEndOfFileLine) {
    reason = head + " does not end with the end-of-file record " + kEndOfFileLine;
    return false;
  }
  if (lines.size() < 2) {
    reason = head + " holds no record before the end-of-file record";
    return false;
  }
  uint8_t record[260];
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (!DecodeHexRecord(lines[i], record)) {
      reason =
          head + ", line " + std::to_string(numbers[i]) + ": not an Intel HEX record the update can send";
      return false;
    }
  }
  return true;
}
