// The header reader on a stream, for callers that hold one. Kept apart from the file reader so that the
// programs, which never call it, link no stream code.
#include <iterator>

#include "firmware/uBl3File.h"

bool ReadFileHeader(std::istream& file, TBl3FileHeader& header) {
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) throw EImageFile("The image file cannot be read");
  return ReadFileHeader(text, header);
}
