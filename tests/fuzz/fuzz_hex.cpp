// The HEX codec on any text and any record: a line the decoder accepts is encoded back to the very same
// text, and the encoder writes a well-formed line (or refuses with ":") without touching the record.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "firmware/uFlash.h"

namespace {

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_hex: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input as a line.
  const std::string line(reinterpret_cast<const char*>(data), size);
  HexLine = line;
  if (DecodeHexRecord()) {
    const unsigned n = HexRecord[0];
    Require(n <= 64 && line.size() == 2 * n + 11, "decoded a line of the wrong length");
    unsigned sum = 0;
    for (unsigned k = 0; k <= 4 + n; ++k) sum += HexRecord[k];
    Require(sum % 256 == 0, "decoded a record whose sum is not 0");
    Require(EncodeHexRecord(), "a decoded record does not encode");
    Require(HexLine == line, "a decoded line does not encode to itself");
  }

  // The input as record bytes.
  uint8_t record[sizeof HexRecord] = {};
  std::memcpy(record, data, size < sizeof record ? size : sizeof record);
  std::memcpy(HexRecord, record, sizeof record);
  const bool encoded = EncodeHexRecord();
  Require(std::memcmp(HexRecord, record, sizeof record) == 0, "the encoder changed the record");
  const unsigned n = record[0];
  if (!encoded) {
    Require(n > 64 && HexLine == ":", "refused encode without count above 64, or line not \":\"");
    return 0;
  }
  Require(n <= 64 && HexLine.size() == 2 * n + 11, "encoded line of the wrong length");
  const std::string encodedLine = HexLine;
  Require(DecodeHexRecord(), "an encoded line does not decode");
  Require(std::memcmp(HexRecord, record, 4 + n) == 0, "an encoded line decodes to other bytes");
  Require(std::memcmp(HexRecord + 5 + n, record + 5 + n, sizeof record - 5 - n) == 0,
          "the decoder wrote past the record");
  for (char c : encodedLine.substr(1)) {
    uint8_t v = 0xEE;
    Require(HexDigitValue(c, v) && NibbleToHex(v) == c, "encoded line holds a character that is no digit");
  }
  return 0;
}
