#include "station/uUsbDescriptor.h"

namespace {

constexpr uint8_t kStringDescriptor = 3;

void AppendUtf8(uint32_t code, std::string& text) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | (code >> 6));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (code >> 18));
    text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The descriptor's own length, within what was handed over; 0 when it is no string descriptor.
size_t StringDescriptorLength(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 2 || data[1] != kStringDescriptor) return 0;
  const size_t length = data[0];
  return length >= 2 && length <= size ? length : 0;
}

}  // namespace

bool ParseUsbStringDescriptor(const uint8_t* data, size_t size, std::string& text) {
  text.clear();
  const size_t length = StringDescriptorLength(data, size);
  if (length == 0 || length % 2 != 0) return false;
  std::string out;
  for (size_t i = 2; i < length; i += 2) {
    uint32_t code = data[i] | (static_cast<uint32_t>(data[i + 1]) << 8);
    if (code == 0) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate with no high one before it
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 3 >= length) return false;
      const uint32_t low = data[i + 2] | (static_cast<uint32_t>(data[i + 3]) << 8);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    AppendUtf8(code, out);
  }
  text = std::move(out);
  return true;
}

uint16_t FirstUsbLanguage(const uint8_t* data, size_t size) {
  const size_t length = StringDescriptorLength(data, size);
  if (length < 4) return 0;
  return static_cast<uint16_t>(data[2] | (data[3] << 8));
}
