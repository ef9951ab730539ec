// USB string descriptors as a hub hands them over: the bytes come from the device, so every length and
// every character is checked before a text is made of them. Portable, so the parsing is tested natively
// with recorded bytes; the hub's side is in uUsbHub_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The text of a string descriptor (bLength, bDescriptorType 3, UTF-16LE characters) as UTF-8. False for
// anything else: fewer than two bytes, a bLength longer than the bytes or shorter than 2, another
// type, an odd number of character bytes, an unpaired surrogate or a NUL. An empty text is true.
bool ParseUsbStringDescriptor(const uint8_t* data, size_t size, std::string& text);

// The first language id that string descriptor 0 lists; 0 when it lists none or is not one.
uint16_t FirstUsbLanguage(const uint8_t* data, size_t size);
