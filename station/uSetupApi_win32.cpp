#include "station/uSetupApi_win32.h"

// after windows.h
#include <cfgmgr32.h>

std::wstring DevicePortName(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[64] = {};
  DWORD size = sizeof name - sizeof(wchar_t);
  DWORD type = 0;
  const LONG rc = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_SZ ? std::wstring(name) : std::wstring();
}

std::wstring DeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr)) return {};
  return id;
}

void ForEachPresentPort(
    const std::function<void(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& port,
                             const std::wstring& instanceId)>& visit) {
  const HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const std::wstring port = DevicePortName(set, device);
    const std::wstring id = DeviceInstanceId(set, device);
    if (!port.empty() && !id.empty()) visit(set, device, port, id);
  }
  SetupDiDestroyDeviceInfoList(set);
}

std::wstring PresentPortDevice(const std::wstring& port) {
  std::wstring found;
  int claims = 0;
  ForEachPresentPort([&](HDEVINFO, SP_DEVINFO_DATA&, const std::wstring& name, const std::wstring& id) {
    if (lstrcmpiW(name.c_str(), port.c_str()) != 0) return;
    ++claims;
    found = id;
  });
  return claims == 1 ? found : std::wstring();
}

TDeviceByInstance::TDeviceByInstance(const std::wstring& instanceId) {
  FData.cbSize = sizeof FData;
  FSet = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  if (FSet == INVALID_HANDLE_VALUE) {
    FError = GetLastError();
    return;
  }
  FOpened = !instanceId.empty() && SetupDiOpenDeviceInfoW(FSet, instanceId.c_str(), nullptr, 0, &FData);
  if (!FOpened) FError = instanceId.empty() ? ERROR_NO_SUCH_DEVINST : GetLastError();
}

TDeviceByInstance::~TDeviceByInstance() {
  if (FSet != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(FSet);
}

int DeviceLatencyTimer(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return -1;
  DWORD timer = 0, type = 0, size = sizeof timer;
  const bool found = RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&timer),
                                      &size) == ERROR_SUCCESS &&
                     type == REG_DWORD && size == sizeof timer;
  RegCloseKey(key);
  if (!found) return -1;
  return timer > 1000 ? 1000 : static_cast<int>(timer);
}
