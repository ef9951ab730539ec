#include "tests/support/uTestPortDevice_win32.h"

namespace {

const GUID kPorts = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

}  // namespace

TTestPortDevice::TTestPortDevice(const std::wstring& port, DWORD latencyMs, const std::wstring& hardwareId) {
  FData.cbSize = sizeof FData;
  FSet = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
  FMade = FSet != INVALID_HANDLE_VALUE &&
          SetupDiCreateDeviceInfoW(FSet, L"PELLORYTEST", &kPorts, L"Pellory test port", nullptr,
                                   DICD_GENERATE_ID, &FData) &&
          SetupDiRegisterDeviceInfo(FSet, &FData, 0, nullptr, nullptr, nullptr);
  if (!FMade) return;
  // A list of texts: the id and a second NUL.
  const std::wstring ids = hardwareId + L'\0';
  SetupDiSetDeviceRegistryPropertyW(FSet, &FData, SPDRP_HARDWAREID,
                                    reinterpret_cast<const BYTE*>(ids.c_str()),
                                    static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t)));
  const HKEY key = SetupDiCreateDevRegKeyW(FSet, &FData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  if (key == INVALID_HANDLE_VALUE) {
    FMade = false;
    return;
  }
  RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                 static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (latencyMs != 0) SetLatencyTimer(latencyMs);
}

TTestPortDevice::~TTestPortDevice() {
  if (FMade) SetupDiRemoveDevice(FSet, &FData);
  if (FSet != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(FSet);
}

std::wstring TTestPortDevice::InstanceId() const {
  wchar_t id[256] = {};
  SetupDiGetDeviceInstanceIdW(FSet, const_cast<SP_DEVINFO_DATA*>(&FData), id, 255, nullptr);
  return id;
}

DWORD TTestPortDevice::LatencyTimer() {
  DWORD value = 0, size = sizeof value, type = 0;
  const HKEY key = SetupDiOpenDevRegKey(FSet, &FData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return 0;
  if (RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
      ERROR_SUCCESS)
    value = 0;
  RegCloseKey(key);
  return value;
}

void TTestPortDevice::SetLatencyTimer(DWORD ms) {
  const HKEY key = SetupDiOpenDevRegKey(FSet, &FData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_SET_VALUE);
  if (key == INVALID_HANDLE_VALUE) return;
  RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ms), sizeof ms);
  RegCloseKey(key);
}
