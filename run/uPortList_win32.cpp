#include <windows.h>

#include "device/uWinText_win32.h"
#include "run/uPortList.h"

namespace {

// Text data without its terminating NUL (registry strings may or may not carry one).
std::string TextData(const std::vector<BYTE>& data, DWORD size) {
  const auto* text = reinterpret_cast<const wchar_t*>(data.data());
  size_t length = size / sizeof(wchar_t);
  while (length > 0 && text[length - 1] == L'\0') --length;
  return ToUtf8(text, length);
}

}  // namespace

std::vector<TSerialMapEntry> ReadSerialPortMap() {
  std::vector<TSerialMapEntry> map;
  HKEY key = nullptr;
  // Query access only: the map belongs to the system and is never created here.
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"hardware\\devicemap\\serialcomm", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return map;
  }
  DWORD maxName = 0;
  DWORD maxData = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData,
                   nullptr, nullptr);
  std::vector<wchar_t> name(maxName + 2);
  std::vector<BYTE> data(maxData + sizeof(wchar_t));
  for (DWORD index = 0, retries = 0;;) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LONG rc =
        RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
    if (rc == ERROR_MORE_DATA && retries++ < 3) {
      // The map grew since it was measured: measure again and read the same value once more.
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData,
                       nullptr, nullptr);
      name.resize(maxName + 2);
      data.resize(maxData + sizeof(wchar_t));
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    ++index;
    retries = 0;
    // A value that holds no text names no port that could be opened.
    if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
    map.push_back({ToUtf8(name.data(), nameLength), TextData(data, dataSize)});
  }
  RegCloseKey(key);
  return map;
}

void FillPortList(std::vector<std::string>& list) {
  list = FilterPortMap(ReadSerialPortMap());
}
