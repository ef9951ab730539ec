// The registry side of the port hints, against entries this test writes into the machine (the Wine prefix
// under test) and removes again.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "station/uLatency.h"
#include "station/uPortDiag.h"
#include "device/uWinText_win32.h"
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
  ASSERT_EQ(hints.size(), 4u);
  EXPECT_THAT(hints[0], HasSubstr("up to 16 ms"));
  EXPECT_THAT(hints[1], HasSubstr("pellory-cli latency com219 --set 1"));
  EXPECT_THAT(hints[2], HasSubstr("Latency Timer (msec)"));
  EXPECT_THAT(hints[3],
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

TEST_F(RegistryPortTest, LatencySetWritesTheTimerUnderTheKeyTheWalkFindsAndReadsItBack) {
  const std::unique_ptr<IAdapterTimers> timers = PlatformAdapterTimers();
  const TAdapterTimer before = timers->Read("COM219");
  EXPECT_TRUE(before.Present);
  EXPECT_EQ(before.TimerMs, 16);
  EXPECT_EQ(
      before.Location,
      "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+PELLORYTEST\\0000\\"
      "Device Parameters");

  // No elevation here: the test's own rights write the machine's registry.
  const std::vector<TTimerResult> results = SetAdapterTimers(*timers, {"COM219", "COM218"}, 1, false);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].WasMs, 16);
  EXPECT_EQ(results[0].TimerMs, 1);
  // The key has no device behind it to restart: the adapter would take the timer when plugged in again.
  EXPECT_EQ(results[0].Outcome, TTimerOutcome::SetPending);
  EXPECT_THAT(results[0].Notes.at(0), HasSubstr("when it is plugged in again"));
  EXPECT_EQ(results[1].Outcome, TTimerOutcome::NoTimer);
  EXPECT_EQ(LatencyExitCode(results), kExitNoTimer);

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  DWORD value = 0, type = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(timers->Read("COM219").TimerMs, 1);
}

// The step with administrator rights as the window and the command start it: pellory-cli.exe with the refused
// ports, its results read back from the file it leaves. Wine runs the "runas" verb without a prompt.
TEST_F(RegistryPortTest, TheElevatedStepSetsAllRefusedPortsInOneCopyAndReportsBack) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring cli = self;
  cli = cli.substr(0, cli.find_last_of(L"\\/"));  // tests\cli
  cli = cli.substr(0, cli.find_last_of(L"\\/"));  // tests
  cli = cli.substr(0, cli.find_last_of(L"\\/")) + L"\\cli\\pellory-cli.exe";
  TLatencyEnv env;
  env.ElevatedProgram = ToUtf8(cli);
  const std::unique_ptr<IAdapterTimers> timers = PlatformAdapterTimers(env);
  const std::vector<TTimerResult> results =
      timers->WriteElevated({timers->Read("COM219"), timers->Read("COM218")}, 1);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].Port, "COM219");
  EXPECT_EQ(results[0].Outcome, TTimerOutcome::SetPending) << ::testing::PrintToString(results[0].Notes);
  EXPECT_EQ(results[0].WasMs, 16);
  EXPECT_EQ(results[0].TimerMs, 1);
  EXPECT_EQ(results[1].Outcome, TTimerOutcome::NoTimer);
  EXPECT_EQ(results[1].Notes.at(0), "COM218: no such port.");
  EXPECT_EQ(timers->Read("COM219").TimerMs, 1);
}

}  // namespace
