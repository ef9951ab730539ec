#include <windows.h>

#include <gtest/gtest.h>

#include "run/uInternalMode.h"

namespace {

void SetValue(const wchar_t* key, DWORD type, const void* data, DWORD size) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, L"intern", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(h);
}

TEST(InternalModeTest, OnOnlyForTheDwordValue8147InTheNamedKey) {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kalvenor");
  EXPECT_FALSE(ReadInternalMode());  // no key

  // The right number one level up does not count.
  const DWORD on = 8147;
  SetValue(L"Software\\Kalvenor", REG_DWORD, &on, sizeof on);
  EXPECT_FALSE(ReadInternalMode());

  SetValue(L"Software\\Kalvenor\\Quor", REG_DWORD, &on, sizeof on);
  EXPECT_TRUE(ReadInternalMode());

  const DWORD off = 8148;
  SetValue(L"Software\\Kalvenor\\Quor", REG_DWORD, &off, sizeof off);
  EXPECT_FALSE(ReadInternalMode());

  // Other types are no 32-bit integer, whatever they hold.
  const wchar_t text[] = L"8147";
  SetValue(L"Software\\Kalvenor\\Quor", REG_SZ, text, sizeof text);
  EXPECT_FALSE(ReadInternalMode());
  const unsigned long long wide = 8147;
  SetValue(L"Software\\Kalvenor\\Quor", REG_QWORD, &wide, sizeof wide);
  EXPECT_FALSE(ReadInternalMode());
  SetValue(L"Software\\Kalvenor\\Quor", REG_BINARY, &on, sizeof on);
  EXPECT_FALSE(ReadInternalMode());

  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kalvenor");
}

}  // namespace
