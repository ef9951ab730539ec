#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "station/uLatency.h"
#include "station/uPortDiag.h"
#include "station/uPortInfo.h"
#include "station/uStation.h"
#include "station/uUsbFlags.h"

using ::testing::HasSubstr;

namespace fs = std::filesystem;

namespace {

TEST(CliPortsTest, StableNamesFirstThenUsbAndAcmDevicesSortedOneNamePerPort) {
  const fs::path dev = fs::temp_directory_path() / "pellory_cli_dev";
  fs::remove_all(dev);
  fs::create_directories(dev / "serial" / "by-id");
  for (const char* name : {"ttyUSB1", "ttyUSB0", "ttyACM0", "ttyS0", "tty", "null"}) {
    std::ofstream(dev / name) << "";
  }
  fs::create_symlink(dev / "ttyUSB1", dev / "serial" / "by-id" / "usb-FTDI_Logger-if00-port0");
  fs::create_symlink(dev / "ttyUSB7", dev / "serial" / "by-id" / "usb-FTDI_Gone-if00-port0");  // unplugged
  const std::vector<std::string> expected = {
      (dev / "serial" / "by-id" / "usb-FTDI_Logger-if00-port0").string(), (dev / "ttyUSB0").string(),
      (dev / "ttyACM0").string()};
  EXPECT_EQ(ListSerialPortsIn(dev.string()), expected);
  fs::remove_all(dev);
  EXPECT_TRUE(ListSerialPortsIn(dev.string()).empty());
}

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << '\n';
}

// A Linux system in a temp dir: an FTDI adapter with a stable name and a 16 ms latency timer, a CDC-ACM
// logger, a bare ttyUSB1; minicom holds the FTDI port and ModemManager runs.
class PortTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("pellory_ports_" + std::to_string(::getpid()));
    fs::remove_all(root);
    roots = {(root / "sys").string(), (root / "dev").string(), (root / "proc").string()};
    const fs::path dev = roots.Dev;
    const fs::path sys = roots.Sys;
    for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyACM0"}) Write(dev / name, "");
    fs::create_directories(dev / "serial" / "by-id");
    fs::create_symlink("../../ttyUSB0", dev / "serial" / "by-id" / byId);

    const fs::path ftdi = sys / "devices" / "usb1" / "1-1";
    Write(ftdi / "idVendor", "0403");
    Write(ftdi / "idProduct", "6001");
    Write(ftdi / "manufacturer", "FTDI");
    Write(ftdi / "product", "FT232R USB UART");
    Write(ftdi / "serial", "A50285BI");
    const fs::path ftdiPort = ftdi / "1-1:1.0" / "ttyUSB0";
    Write(ftdiPort / "latency_timer", "16");
    fs::create_directories(sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio");
    fs::create_directories(sys / "bus" / "usb-serial" / "devices");
    fs::create_symlink(sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio", ftdiPort / "driver");
    fs::create_symlink(ftdiPort, sys / "bus" / "usb-serial" / "devices" / "ttyUSB0");

    const fs::path acm = sys / "devices" / "usb1" / "1-2";
    Write(acm / "idVendor", "1d50");
    Write(acm / "idProduct", "60a1");
    fs::create_directories(acm / "1-2:1.0");
    fs::create_directories(sys / "bus" / "usb" / "drivers" / "cdc_acm");
    fs::create_symlink(sys / "bus" / "usb" / "drivers" / "cdc_acm", acm / "1-2:1.0" / "driver");
    for (const auto& [tty, device] :
         {std::pair{"ttyUSB0", ftdiPort}, std::pair{"ttyACM0", acm / "1-2:1.0"}}) {
      fs::create_directories(sys / "class" / "tty" / tty);
      fs::create_symlink(device, sys / "class" / "tty" / tty / "device");
    }

    Write(root / "proc" / "100" / "comm", "ModemManager");
    Write(root / "proc" / "200" / "comm", "minicom");
    fs::create_directories(root / "proc" / "200" / "fd");
    fs::create_symlink(fs::canonical(dev / "ttyUSB0"), root / "proc" / "200" / "fd" / "3");
  }
  void TearDown() override { fs::remove_all(root); }

  fs::path root;
  TSystemRoots roots;
  const std::string byId = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
};

TEST_F(PortTreeTest, EachPortIsListedOnceWithWhatSysfsTellsOfIt) {
  const std::vector<TPortInfo> ports = ListPortInfo(roots);
  ASSERT_EQ(ports.size(), 3u);
  const TPortInfo& ftdi = ports[0];
  EXPECT_EQ(ftdi.Port, (fs::path(roots.Dev) / "serial" / "by-id" / byId).string());
  EXPECT_EQ(ftdi.Kernel, fs::canonical(fs::path(roots.Dev) / "ttyUSB0").string());
  EXPECT_EQ(ftdi.UsbId, "0403:6001");
  EXPECT_EQ(ftdi.Manufacturer + "|" + ftdi.Product + "|" + ftdi.Serial, "FTDI|FT232R USB UART|A50285BI");
  EXPECT_EQ(ftdi.Driver, "ftdi_sio");
  EXPECT_EQ(ftdi.LatencyMs, 16);
  EXPECT_EQ(ftdi.Access, 1);
  EXPECT_FALSE(ftdi.Group.empty());
  EXPECT_EQ(ports[1].Port, (fs::path(roots.Dev) / "ttyUSB1").string());
  EXPECT_EQ(ports[1].Driver, "");
  EXPECT_EQ(ports[2].Driver, "cdc_acm");
  EXPECT_EQ(ports[2].UsbId, "1d50:60a1");
  EXPECT_EQ(ports[2].LatencyMs, -1);

  const nlohmann::json json = nlohmann::json::parse(PortsJson(ports));
  EXPECT_EQ(json[0]["serial"], "A50285BI");
  EXPECT_EQ(json[0]["access"], true);
}

TEST_F(PortTreeTest, PortsTellTheSocketAndShowDescriptorStringsWithoutObeyingThem) {
  // A product string with a title change, a screen clear and a right-to-left override.
  const std::string product = "FT232R\x1b]0;pwned\x07\x1b[2J \xe2\x80\xaeTRAU";
  Write(fs::path(roots.Sys) / "devices" / "usb1" / "1-1" / "product", product);
  TCliHost host;
  host.Roots = roots;
  auto ports = [&](const std::vector<std::string>& args) {
    std::ostringstream out, err;
    std::istringstream in;
    TCliIo io{out, err, in, false, false, false, 0};
    EXPECT_EQ(CliMain(args, io, host), 0);
    const std::string text = out.str() + err.str();
    EXPECT_EQ(text.find_first_of("\x07\x1b"), std::string::npos) << text;
    EXPECT_EQ(text.find("\xe2\x80\xae"), std::string::npos) << text;
    return out.str();
  };

  const std::string table = ports({"ports"});
  EXPECT_THAT(table, HasSubstr("FT232R\\x1b]0;pwned\\x07\\x1b[2J \\u202eTRAU"));
  const std::string head = table.substr(0, table.find('\n'));
  EXPECT_LT(head.find("Serial"), head.find("Location"));
  EXPECT_LT(head.find("Location"), head.find("Driver"));
  EXPECT_THAT(table, HasSubstr("A50285BI  1-1  "));

  // JSON: the same data for a reader, the location after the serial number, the keys in their order.
  const nlohmann::ordered_json json = nlohmann::ordered_json::parse(ports({"ports", "--json"}));
  ASSERT_EQ(json.size(), 3u);
  EXPECT_EQ(json[0]["product"], product);
  std::vector<std::string> keys;
  for (const auto& item : json[0].items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"port", "kernel", "usb_id", "manufacturer", "product", "serial",
                                            "location", "driver", "friendly_name", "group", "access",
                                            "latency_timer_ms"}));
  EXPECT_EQ(json[0]["location"], "1-1");
  EXPECT_TRUE(json[1]["location"].is_null());  // no USB device above it
  EXPECT_EQ(json[2]["location"], "1-2");
}

TEST_F(PortTreeTest, TheStationKnowsAPortByItsDeviceAndItsUsbSerialNumber) {
  const TStationHost host = PlatformStationHost(nullptr, roots);
  const std::string link = (fs::path(roots.Dev) / "serial" / "by-id" / byId).string();
  const TPortIdentity identity = host.Identify(link);
  EXPECT_EQ(identity.Key, fs::canonical(fs::path(roots.Dev) / "ttyUSB0").string());
  EXPECT_EQ(host.PortKey(link), identity.Key);
  EXPECT_EQ(identity.UsbSerial, "A50285BI");
  EXPECT_EQ(identity.Location, "1-1");
  EXPECT_EQ(identity.LatencyMs, 16);
  EXPECT_EQ(identity.Interface, "1.0");
  EXPECT_EQ(host.Identify("sim3").Key, "sim3");
  // All at once, in their order, as the window's list asks.
  const std::vector<TPortIdentity> all =
      host.IdentifyAll({"sim3", link, (fs::path(roots.Dev) / "ttyACM0").string()});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Key, "sim3");
  EXPECT_EQ(all[1].UsbSerial, "A50285BI");
  EXPECT_EQ(all[2].Location + " " + all[2].Interface, "1-2 1.0");
  EXPECT_FALSE(host.HostName.empty());
}

TEST_F(PortTreeTest, AFailedOpenIsExplainedFromTheSystemsOwnFacts) {
  const std::string ftdi = (fs::path(roots.Dev) / "serial" / "by-id" / byId).string();
  const TOpenFacts busy = GatherOpenFacts(ftdi, {TPortFailure::Busy, EBUSY}, roots);
  EXPECT_EQ(busy.Holders, std::vector<std::string>{"minicom (process 200)"});
  EXPECT_THAT(OpenFailureHints(busy).at(0),
              HasSubstr("is busy: minicom (process 200) has it open. Close that program"));

  const TOpenFacts missing = GatherOpenFacts("ttyUSB9", {TPortFailure::NotFound, ENOENT}, roots);
  const std::vector<std::string> listed = OpenFailureHints(missing);
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_THAT(listed[0], HasSubstr("ttyUSB9: no such port. The ports present:"));
  EXPECT_EQ(listed[1], "  " + ftdi);
  // A port the system lists but cannot find when it is opened is not told to be missing and present at once.
  const std::vector<std::string> vanished =
      OpenFailureHints(GatherOpenFacts(ftdi, {TPortFailure::NotFound, ENOENT}, roots));
  ASSERT_EQ(vanished.size(), 1u);
  EXPECT_EQ(vanished[0],
            ftdi +
                ": the system lists this port, but its device cannot be found. Plug the logger in "
                "again; if that does not help, check its adapter's driver.");

  TOpenFacts denied = GatherOpenFacts(ftdi, {TPortFailure::AccessDenied, EACCES}, roots);
  EXPECT_TRUE(denied.InGroupNow);  // the test's own file: its group is ours
  denied.Info.Group = "dialout";
  denied.Mode = 020660;
  denied.InGroupNow = denied.InGroupDatabase = false;
  const std::vector<std::string> join = OpenFailureHints(denied);
  EXPECT_THAT(join.at(0), HasSubstr("permission denied; the device belongs to the group \"dialout\""));
  EXPECT_EQ(join.at(1), "Join it with: sudo usermod -aG dialout $USER");
  denied.InGroupDatabase = true;
  EXPECT_THAT(OpenFailureHints(denied).at(1), HasSubstr("log out and in again"));
  denied.Mode = 020600;  // the group may not open it either: joining would not help
  EXPECT_THAT(OpenFailureHints(denied).at(0), HasSubstr("only its owner"));

  // ModemManager runs and the logger is a CDC-ACM device: whatever the error, the warning and its rule.
  const std::string acm = (fs::path(roots.Dev) / "ttyACM0").string();
  const std::vector<std::string> probed =
      OpenFailureHints(GatherOpenFacts(acm, {TPortFailure::Busy, EBUSY}, roots));
  ASSERT_EQ(probed.size(), 4u);
  EXPECT_THAT(probed[1], HasSubstr("ModemManager is running and may probe the logger"));
  EXPECT_EQ(probed[2],
            "  ATTRS{idVendor}==\"1d50\", ATTRS{idProduct}==\"60a1\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"");
  fs::remove_all(root / "proc" / "100");
  EXPECT_EQ(OpenFailureHints(GatherOpenFacts(acm, {TPortFailure::Busy, EBUSY}, roots)).size(), 1u);
}

TEST_F(PortTreeTest, ALatencyTimerAboveOneMillisecondIsToldWithItsCostAndTheRule) {
  const std::string ftdi = (fs::path(roots.Dev) / "serial" / "by-id" / byId).string();
  const std::vector<std::string> hints = LatencyHints(ftdi, GatherLatencyFacts(ftdi, roots));
  ASSERT_EQ(hints.size(), 4u);
  EXPECT_THAT(hints[0], HasSubstr("up to 16 ms"));
  EXPECT_THAT(hints[0], HasSubstr("adds up to 1 min 53 s to a complete update (7 s at 1 ms)"));
  EXPECT_EQ(hints[1],
            "Set it to 1 ms now: echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
  EXPECT_THAT(hints[2], HasSubstr("(or: sudo pellory-cli latency " + ftdi + " --set 1)"));
  EXPECT_EQ(hints[3],
            "  ACTION==\"add|bind\", SUBSYSTEM==\"usb-serial\", ATTRS{idVendor}==\"0403\", "
            "ATTRS{idProduct}==\"6001\", "
            "ATTR{latency_timer}=\"1\"");

  Write(fs::path(roots.Sys) / "bus" / "usb-serial" / "devices" / "ttyUSB0" / "latency_timer", "1");
  EXPECT_TRUE(LatencyHints(ftdi, GatherLatencyFacts(ftdi, roots)).empty());
  const std::string acm = (fs::path(roots.Dev) / "ttyACM0").string();  // no latency timer at all
  EXPECT_TRUE(LatencyHints(acm, GatherLatencyFacts(acm, roots)).empty());
}

TEST_F(PortTreeTest, LatencyShowsTheAdaptersSetsATimerAndSaysWhatToRunWhenRefused) {
  const std::string ftdi = (fs::path(roots.Dev) / "serial" / "by-id" / byId).string();
  const std::string acm = (fs::path(roots.Dev) / "ttyACM0").string();
  const fs::path timer = fs::path(roots.Sys) / "bus" / "usb-serial" / "devices" / "ttyUSB0" / "latency_timer";
  TCliHost host;
  host.Roots = roots;
  std::string out, err;
  auto run = [&](const std::vector<std::string>& args) {
    std::ostringstream o, e;
    std::istringstream in;
    TCliIo io{o, e, in};
    const int rc = CliMain(args, io, host);
    out = o.str();
    err = e.str();
    return rc;
  };
  auto timerFile = [&] {
    std::ifstream in(timer);
    std::string text;
    std::getline(in, text);
    return text;
  };

  EXPECT_EQ(run({"latency", ftdi, acm, "sim"}), kExitNoTimer);
  EXPECT_THAT(out, HasSubstr(ftdi + "  ftdi_sio  0403:6001  FT232R USB UART  16 ms"));
  EXPECT_THAT(err, HasSubstr("holds every answer up to 16 ms"));
  EXPECT_THAT(err, HasSubstr(acm + " has no adapter latency timer (driver cdc_acm)"));
  EXPECT_THAT(err, HasSubstr("sim is the simulated logger: it has no adapter latency timer."));

  // Root may write any file: the refusal a user meets is injected.
  TLatencyEnv refusing;
  refusing.Roots = roots;
  refusing.WriteFile = [](const std::string&, const std::string&) { return EACCES; };
  const std::unique_ptr<IAdapterTimers> refused = PlatformAdapterTimers(refusing);
  host.AdapterTimers = refused.get();
  EXPECT_EQ(run({"latency", ftdi, "--set", "1"}), kExitNotPermitted);
  EXPECT_THAT(err, HasSubstr("this user may not change its latency timer"));
  EXPECT_THAT(err, HasSubstr("pellory-cli:   echo 1 | sudo tee " + timer.string() + "\n"));
  EXPECT_THAT(err, HasSubstr("or: sudo pellory-cli latency " + ftdi + " --set 1\n"));
  EXPECT_EQ(out, "");
  EXPECT_EQ(timerFile(), "16");

  host.AdapterTimers = nullptr;
  EXPECT_EQ(run({"latency", ftdi, "--set", "1"}), 0) << err;
  EXPECT_EQ(timerFile(), "1");
  EXPECT_THAT(out,
              HasSubstr(ftdi + ": latency timer 16 ms -> 1 ms (FT232R USB UART, 0403:6001, ftdi_sio)\n"));
  EXPECT_THAT(out, HasSubstr("  ACTION==\"add|bind\", SUBSYSTEM==\"usb-serial\", ATTRS{idVendor}==\"0403\", "
                             "ATTRS{idProduct}==\"6001\", ATTR{latency_timer}=\"1\"\n"));
  EXPECT_EQ(run({"latency", ftdi, "--json"}), 0);
  const nlohmann::json json = nlohmann::json::parse(out);
  EXPECT_EQ(json[0]["outcome"], "shown");
  EXPECT_EQ(json[0]["latency_timer_ms"], 1);
  EXPECT_EQ(err, "");  // 1 ms costs nothing worth a word

  // A write that fails otherwise, or that the driver does not keep, is no success.
  TLatencyEnv failing = refusing;
  failing.WriteFile = [](const std::string&, const std::string&) { return EIO; };
  const std::unique_ptr<IAdapterTimers> broken = PlatformAdapterTimers(failing);
  host.AdapterTimers = broken.get();
  EXPECT_EQ(run({"latency", ftdi, "--set", "8"}), 1);
  EXPECT_THAT(err, HasSubstr("the latency timer could not be set: Input/output error"));
  failing.WriteFile = [](const std::string&, const std::string&) { return 0; };
  const std::unique_ptr<IAdapterTimers> ignoring = PlatformAdapterTimers(failing);
  host.AdapterTimers = ignoring.get();
  EXPECT_EQ(run({"latency", ftdi, "--set", "8"}), 1);
  EXPECT_THAT(err, HasSubstr("the driver took 8 ms but reports 1 ms."));
  host.AdapterTimers = nullptr;

  // A timer file that says anything but a byte's worth of digits is no timer.
  Write(timer, "4096");
  EXPECT_EQ(run({"latency", ftdi}), kExitNoTimer);
}

TEST(StationSetupPosix, ThereIsNothingToSetUpHereAndTheExitCodeSaysSo) {
  TCliHost host;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"station-setup"},
        {"station-setup", "--vid-pid", "0403:6001", "--undo", "--json"}}) {
    std::ostringstream out, err;
    std::istringstream in;
    TCliIo io{out, err, in, false, false, false, 0};
    EXPECT_EQ(CliMain(args, io, host), kExitNothingToSetUp);
    EXPECT_THAT(err.str(), HasSubstr("there is nothing to set up on this system"));
    EXPECT_EQ(out.str(), args.back() == "--json" ? "[]\n" : "");
  }
}

TEST(UdevLatencyRule, OnlyPlainIdsFromTheDeviceReachTheRule) {
  TPortInfo info;
  info.UsbId = "0403:6015";
  info.Driver = "ftdi_sio";
  EXPECT_EQ(UdevLatencyRule(info, 2),
            "ACTION==\"add|bind\", SUBSYSTEM==\"usb-serial\", ATTRS{idVendor}==\"0403\", "
            "ATTRS{idProduct}==\"6015\", ATTR{latency_timer}=\"2\"");
  // A descriptor that tries to add a key of its own to a rule root installs.
  info.UsbId = "0403:6\"01";
  EXPECT_EQ(
      UdevLatencyRule(info, 1),
      "ACTION==\"add|bind\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"");
  info.Driver = "x\", RUN+=\"/bin/sh";
  EXPECT_EQ(UdevLatencyRule(info, 1), "");
}

}  // namespace
