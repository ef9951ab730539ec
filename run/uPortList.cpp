#include "run/uPortList.h"

namespace {

bool StartsWithLowerCase(const std::string& text, const std::string& lowerPrefix) {
  if (text.size() < lowerPrefix.size()) return false;
  for (size_t i = 0; i < lowerPrefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerPrefix[i]) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> FilterPortMap(const std::vector<TSerialMapEntry>& map) {
  // The list starts as the value names; walking it from the end, each name becomes its port name or goes,
  // so a deletion never shifts an entry that is still to be visited.
  std::vector<std::string> list;
  list.reserve(map.size());
  for (const TSerialMapEntry& entry : map) list.push_back(entry.Name);
  for (size_t i = list.size(); i-- > 0;) {
    if (StartsWithLowerCase(list[i], "\\device\\vcp")) {
      list[i] = map[i].Data;
    } else {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  return list;
}

bool IsPortChange(uintptr_t wParam, uint32_t deviceType) {
  constexpr uintptr_t kDeviceArrival = 0x8000;
  constexpr uintptr_t kDeviceRemoveComplete = 0x8004;
  constexpr uint32_t kDeviceTypePort = 3;
  if (wParam != kDeviceArrival && wParam != kDeviceRemoveComplete) return false;
  return deviceType == kDeviceTypePort;
}
