// Text conversions of the Windows files. Texts inside the program are UTF-8; the system's 8-bit texts
// (command-line parameters, file names as the standard streams open them, runtime error texts) are in
// the ANSI code page. Each caller says which one it holds: a text valid in both is not guessed.
#pragma once

#include <cstddef>
#include <string>

// UTF-8 to UTF-16; a byte sequence that is not UTF-8 becomes U+FFFD.
std::wstring ToWide(const std::string& text);
// The same, but false (and `wide` empty) for text that is not valid UTF-8.
bool ToWideStrict(const std::string& text, std::wstring& wide);
// ANSI code page to UTF-16.
std::wstring AnsiToWide(const std::string& text);
// UTF-16 to UTF-8.
std::string ToUtf8(const wchar_t* text, size_t length);
std::string ToUtf8(const std::wstring& text);
// UTF-16 to the ANSI code page. With `lossy`, no character is replaced by a look-alike and `lossy` tells
// whether one had no ANSI form.
std::string ToAnsi(const std::wstring& text, bool* lossy = nullptr);
// One argument of a command line, quoted as the C runtime of the started program splits it again.
std::wstring QuoteArgument(const std::wstring& arg);
