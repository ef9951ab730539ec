#include <windows.h>

#include "run/uInternalMode.h"

bool ReadInternalMode() {
  HKEY key = nullptr;
  // Absolute below the current user's root; read-only, never created.
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Kalvenor\\Quor", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  const LONG rc = RegQueryValueExW(key, L"intern", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  // A value of another type is no integer: internal mode stays off.
  return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value == 8147;
}
