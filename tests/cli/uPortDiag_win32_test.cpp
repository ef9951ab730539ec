// The Windows side of the port hints, the latency timers and the PC's setup, against devices this test
// puts into the machine's device tree (the Wine prefix under test) and removes again.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "cli/uCliApp.h"
#include "device/uWinText_win32.h"
#include "station/uLatency.h"
#include "station/uPortDiag.h"
#include "station/uPortInfo.h"
#include "station/uUsbFlags.h"
#include "tests/support/uTestPortDevice_win32.h"

using ::testing::HasSubstr;

namespace {

// What an old registry walk found first: a device entry that once had COM219, with no device behind it
// that SetupAPI lists (on a real PC: one not plugged in).
const wchar_t kStaleDevice[] = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+PELLORYSTALE";
const wchar_t kStaleParameters[] =
    L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+PELLORYSTALE\\0000\\Device Parameters";
const wchar_t kMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const wchar_t kMapValue[] = L"\\Device\\VCP219";
const wchar_t kUsbFlags[] = L"SYSTEM\\CurrentControlSet\\Control\\UsbFlags";

DWORD StaleTimer() {
  DWORD value = 0, size = sizeof value;
  RegGetValueW(HKEY_LOCAL_MACHINE, kStaleParameters, L"LatencyTimer", RRF_RT_REG_DWORD, nullptr, &value,
               &size);
  return value;
}

class DeviceTreePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStaleParameters, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t port[] = L"COM219";
    const DWORD stale = 16;
    RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port);
    RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&stale), sizeof stale);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMap, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, kMapValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port);
    RegCloseKey(key);
    device = std::make_unique<TTestPortDevice>(L"COM219", 8);
    ASSERT_TRUE(device->Made());
  }
  void TearDown() override {
    device.reset();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStaleDevice);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS");  // only when left empty
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMap, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, kMapValue);
      RegCloseKey(key);
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUsbFlags, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, L"IgnoreHWSerNum04036001");
      RegCloseKey(key);
    }
  }

  std::unique_ptr<TTestPortDevice> device;
};

TEST_F(DeviceTreePortTest, ThePresentDeviceOfThePortNameIsTheOneReadNotAStaleEntryOfTheSameName) {
  const std::vector<std::string> hints = LatencyHints("COM219", GatherLatencyFacts("com219"));
  ASSERT_EQ(hints.size(), 4u);
  EXPECT_THAT(hints[0], HasSubstr("up to 8 ms"));
  EXPECT_THAT(hints[1], HasSubstr("pellory-cli latency com219 --set 1"));
  EXPECT_THAT(hints[2], HasSubstr("Latency Timer (msec)"));
  EXPECT_THAT(hints[3], HasSubstr("the hardware key of the device " + ToUtf8(device->InstanceId()) + "."));

  const std::vector<TPortInfo> ports = ListPortInfo();
  const auto port =
      std::find_if(ports.begin(), ports.end(), [](const TPortInfo& p) { return p.Port == "COM219"; });
  ASSERT_NE(port, ports.end());
  EXPECT_EQ(port->Kernel, "\\Device\\VCP219");
  EXPECT_EQ(port->LatencyMs, 8);
  EXPECT_EQ(port->UsbId, "0403:6001");

  device->SetLatencyTimer(1);
  EXPECT_TRUE(LatencyHints("COM219", GatherLatencyFacts("COM219")).empty());
  EXPECT_EQ(GatherLatencyFacts("COM218").TimerMs, -1);

  // Two present devices that claim one name: which one the port opens cannot be told, so neither is used.
  TTestPortDevice twin(L"COM219", 4);
  EXPECT_EQ(GatherLatencyFacts("COM219").TimerMs, -1);
  EXPECT_EQ(DescribePort("COM219").LatencyMs, -1);
}

TEST_F(DeviceTreePortTest, LatencySetWritesThePresentDevicesTimerAndLeavesTheStaleEntryAlone) {
  const std::unique_ptr<IAdapterTimers> timers = PlatformAdapterTimers();
  const TAdapterTimer before = timers->Read("COM219");
  EXPECT_TRUE(before.Present);
  EXPECT_EQ(before.TimerMs, 8);
  EXPECT_EQ(before.Location, ToUtf8(device->InstanceId()));

  // No elevation here: the test's own rights write the machine's registry.
  const std::vector<TTimerResult> results = SetAdapterTimers(*timers, {"COM219", "COM218"}, 1, false);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].WasMs, 8);
  EXPECT_EQ(results[0].TimerMs, 1);
  // Wine restarts no device: the adapter would take the timer when plugged in again.
  EXPECT_EQ(results[0].Outcome, TTimerOutcome::SetPending);
  EXPECT_THAT(results[0].Notes.at(0), HasSubstr("when it is plugged in again"));
  EXPECT_EQ(results[1].Outcome, TTimerOutcome::NoTimer);
  EXPECT_EQ(LatencyExitCode(results), kExitNoTimer);
  EXPECT_EQ(device->LatencyTimer(), 1u);
  EXPECT_EQ(StaleTimer(), 16u);
  EXPECT_EQ(timers->Read("COM219").TimerMs, 1);
}

// pellory-cli.exe of this build, beside the tests' folder.
std::string CliProgram() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring cli = self;
  cli = cli.substr(0, cli.find_last_of(L"\\/"));  // tests\cli
  cli = cli.substr(0, cli.find_last_of(L"\\/"));  // tests
  return ToUtf8(cli.substr(0, cli.find_last_of(L"\\/")) + L"\\cli\\pellory-cli.exe");
}

// The step with administrator rights as the window and the command start it: pellory-cli.exe with the refused
// ports, its results read back from the file it leaves. Wine runs the "runas" verb without a prompt.
TEST_F(DeviceTreePortTest, TheElevatedStepSetsAllRefusedPortsInOneCopyAndReportsBack) {
  TLatencyEnv env;
  env.ElevatedProgram = CliProgram();
  const std::unique_ptr<IAdapterTimers> timers = PlatformAdapterTimers(env);
  const std::vector<TTimerResult> results =
      timers->WriteElevated({timers->Read("COM219"), timers->Read("COM218")}, 1);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].Port, "COM219");
  EXPECT_EQ(results[0].Outcome, TTimerOutcome::SetPending) << ::testing::PrintToString(results[0].Notes);
  EXPECT_EQ(results[0].WasMs, 8);
  EXPECT_EQ(results[0].TimerMs, 1);
  EXPECT_EQ(results[1].Outcome, TTimerOutcome::NoTimer);
  EXPECT_EQ(results[1].Notes.at(0), "COM218: no such port.");
  EXPECT_EQ(device->LatencyTimer(), 1u);
  EXPECT_EQ(StaleTimer(), 16u);
}

// station-setup for the FTDI-type port listed (COM219's 0403:6001), in the prefix's registry: set, told
// so, set already, removed, and nothing left to remove.
TEST_F(DeviceTreePortTest, StationSetupSetsTheFlagForTheListedAdaptersAndUndoRemovesIt) {
  TCliHost host;
  auto run = [&host](const std::vector<std::string>& args, std::string& out) {
    std::ostringstream o, e;
    std::istringstream in;
    TCliIo io{o, e, in, false, false, false, 0};
    const int rc = CliMain(args, io, host);
    out = o.str() + e.str();
    return rc;
  };
  auto flag = [](BYTE& value) {
    DWORD type = 0, size = 1;
    const LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, kUsbFlags, L"IgnoreHWSerNum04036001", RRF_RT_ANY, &type,
                                 &value, &size);
    return rc == ERROR_SUCCESS && type == REG_BINARY && size == 1;
  };
  std::string out;
  EXPECT_EQ(run({"station-setup"}, out), 0) << out;
  EXPECT_THAT(out, HasSubstr("0403:6001: IgnoreHWSerNum04036001 set."));
  BYTE value = 0;
  ASSERT_TRUE(flag(value));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(PlatformUsbFlags()->IgnoresSerial(TUsbId{0x0403, 0x6001}));
  EXPECT_EQ(run({"station-setup", "--vid-pid", "0403:6001"}, out), 0);
  EXPECT_THAT(out, HasSubstr("was set already"));

  EXPECT_EQ(run({"station-setup", "--undo"}, out), 0) << out;
  EXPECT_THAT(out, HasSubstr("IgnoreHWSerNum04036001 removed."));
  EXPECT_FALSE(flag(value));
  EXPECT_EQ(run({"station-setup", "--undo", "--json"}, out), 0);
  EXPECT_THAT(out, HasSubstr("\"outcome\": \"not_set\""));
}

}  // namespace
