#include "device/uWinText_win32.h"

#include <windows.h>

#include <climits>

namespace {

bool Widen(UINT codePage, DWORD flags, const std::string& text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  if (text.size() > INT_MAX) return false;
  const int n = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(codePage, flags, text.data(), n, nullptr, 0);
  if (size <= 0) return false;
  wide.resize(static_cast<size_t>(size));
  if (MultiByteToWideChar(codePage, flags, text.data(), n, wide.data(), size) == size) return true;
  wide.clear();
  return false;
}

std::string Narrow(UINT codePage, DWORD flags, const wchar_t* text, size_t length, BOOL* usedDefault) {
  if (length == 0 || length > INT_MAX) return {};
  const int n = static_cast<int>(length);
  const int size = WideCharToMultiByte(codePage, flags, text, n, nullptr, 0, nullptr, usedDefault);
  if (size <= 0) return {};
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, flags, text, n, result.data(), size, nullptr, usedDefault);
  return result;
}

}  // namespace

std::wstring ToWide(const std::string& text) {
  std::wstring wide;
  Widen(CP_UTF8, 0, text, wide);
  return wide;
}

bool ToWideStrict(const std::string& text, std::wstring& wide) {
  return Widen(CP_UTF8, MB_ERR_INVALID_CHARS, text, wide);
}

std::wstring AnsiToWide(const std::string& text) {
  std::wstring wide;
  Widen(CP_ACP, 0, text, wide);
  return wide;
}

std::string ToUtf8(const wchar_t* text, size_t length) {
  // The UTF-8 code page takes no default character.
  return Narrow(CP_UTF8, 0, text, length, nullptr);
}

std::string ToUtf8(const std::wstring& text) {
  return ToUtf8(text.data(), text.size());
}

std::string ToAnsi(const std::wstring& text, bool* lossy) {
  if (lossy == nullptr) return Narrow(CP_ACP, 0, text.data(), text.size(), nullptr);
  BOOL usedDefault = FALSE;
  std::string result = Narrow(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), text.size(), &usedDefault);
  *lossy = usedDefault != FALSE;
  return result;
}

std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  // Backslashes are literal unless they precede a quote: then each is doubled and the quote escaped.
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}
