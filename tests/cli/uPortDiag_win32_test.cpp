// The registry side of the port hints, against entries this test writes into the machine (the Wine prefix
// under test) and removes again.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "station/uPortDiag.h"
#include "station/uPortInfo.h"

using ::testing::HasSubstr;

namespace {

const wchar_t kBus[] = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
const wchar_t kDevice[] = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+PELLORYTEST";
const wchar_t kParameters[] =
    L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+PELLORYTEST\\0000\\Device Parameters";
const wchar_t kMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const wchar_t kMapValue[] = L"\\Device\\VCP219";

class RegistryPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const wchar_t port[] = L"COM219";
    RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port);
    RegCloseKey(key);
    SetTimer(16);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMap, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, kMapValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port);
    RegCloseKey(key);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDevice);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBus);  // only when this test made it and left it empty
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMap, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, kMapValue);
      RegCloseKey(key);
    }
  }
  static void SetTimer(DWORD ms) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ms), sizeof ms);
    RegCloseKey(key);
  }
};

TEST_F(RegistryPortTest, TheDriversLatencyTimerIsFoundByPortNameAndToldWithWhereToChangeIt) {
  const std::vector<std::string> hints = LatencyHints("COM219", GatherLatencyFacts("com219"));
  ASSERT_EQ(hints.size(), 3u);
  EXPECT_THAT(hints[0], HasSubstr("up to 16 ms"));
  EXPECT_THAT(hints[1], HasSubstr("Latency Timer (msec)"));
  EXPECT_THAT(hints[2],
              HasSubstr("LatencyTimer under HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\"
                        "VID_0403+PID_6001+PELLORYTEST\\0000\\Device Parameters"));

  const std::vector<TPortInfo> ports = ListPortInfo();
  const auto port =
      std::find_if(ports.begin(), ports.end(), [](const TPortInfo& p) { return p.Port == "COM219"; });
  ASSERT_NE(port, ports.end());
  EXPECT_EQ(port->Kernel, "\\Device\\VCP219");
  EXPECT_EQ(port->LatencyMs, 16);

  SetTimer(1);
  EXPECT_TRUE(LatencyHints("COM219", GatherLatencyFacts("COM219")).empty());
  EXPECT_EQ(GatherLatencyFacts("COM218").TimerMs, -1);
}

}  // namespace
