// The facts behind a failed open on Windows, and the latency timers that adapters' drivers keep in the
// registry.
#include <windows.h>

#include "station/uPortDiag.h"
#include "device/uWinText_win32.h"

namespace {

const wchar_t kEnum[] = L"SYSTEM\\CurrentControlSet\\Enum";

std::vector<std::wstring> SubKeys(HKEY parent, const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

// The "Device Parameters" key (below Enum\<bus>\<device>\<instance>) whose PortName is `port`, with its
// LatencyTimer. Drivers that have a latency timer (FTDI's among them) keep it there.
bool FindLatencyTimer(const std::wstring& port, std::wstring& keyPath, DWORD& timer) {
  for (const std::wstring& bus : SubKeys(HKEY_LOCAL_MACHINE, kEnum)) {
    const std::wstring busPath = std::wstring(kEnum) + L"\\" + bus;
    for (const std::wstring& device : SubKeys(HKEY_LOCAL_MACHINE, busPath)) {
      const std::wstring devicePath = busPath + L"\\" + device;
      for (const std::wstring& instance : SubKeys(HKEY_LOCAL_MACHINE, devicePath)) {
        const std::wstring path = devicePath + L"\\" + instance + L"\\Device Parameters";
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
          continue;
        wchar_t name[64] = {};
        DWORD size = sizeof name - sizeof(wchar_t);
        DWORD type = 0;
        bool found = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                      &size) == ERROR_SUCCESS &&
                     type == REG_SZ && lstrcmpiW(name, port.c_str()) == 0;
        if (found) {
          size = sizeof timer;
          found = RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&timer),
                                   &size) == ERROR_SUCCESS &&
                  type == REG_DWORD;
          keyPath = L"HKEY_LOCAL_MACHINE\\" + path;
        }
        RegCloseKey(key);
        if (found) return true;
      }
    }
  }
  return false;
}

}  // namespace

TOpenFacts GatherOpenFacts(const std::string& port, const TPortError& error, const TSystemRoots& roots) {
  TOpenFacts facts;
  facts.Port = port;
  facts.Error = error;
  facts.Info = DescribePort(port, roots);
  facts.HoldersVisible = false;  // Windows does not tell which program holds a COM port
  if (error.Failure == TPortFailure::NotFound) facts.Existing = ListSerialPorts();
  return facts;
}

TLatencyFacts GatherLatencyFacts(const std::string& port, const TSystemRoots&) {
  TLatencyFacts facts;
  std::wstring keyPath;
  DWORD timer = 0;
  if (!FindLatencyTimer(ToWide(port), keyPath, timer)) return facts;
  facts.TimerMs = timer > 1000 ? 1000 : static_cast<int>(timer);
  facts.Location = ToUtf8(keyPath);
  facts.Change = {
      "Set it to 1 with: pellory-cli latency " + port +
          " --set 1 (it asks for administrator rights), or in the",
      "Device Manager: the port's Properties, Port Settings, Advanced, Latency Timer (msec);",
      "it is kept in the registry as LatencyTimer under " + facts.Location + ".",
  };
  return facts;
}
