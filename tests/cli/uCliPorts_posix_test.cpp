#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/uCliPlatform.h"

namespace {

TEST(CliPortsTest, StableNamesFirstThenUsbAndAcmDevicesSorted) {
  const std::filesystem::path dev = std::filesystem::temp_directory_path() / "pellory_cli_dev";
  std::filesystem::remove_all(dev);
  std::filesystem::create_directories(dev / "serial" / "by-id");
  for (const char* name : {"ttyUSB1", "ttyUSB0", "ttyACM0", "ttyS0", "tty", "null"}) {
    std::ofstream(dev / name) << "";
  }
  std::filesystem::create_symlink(dev / "ttyUSB1", dev / "serial" / "by-id" / "usb-FTDI_Logger-if00-port0");
  const std::vector<std::string> expected = {
      (dev / "serial" / "by-id" / "usb-FTDI_Logger-if00-port0").string(), (dev / "ttyUSB0").string(),
      (dev / "ttyUSB1").string(), (dev / "ttyACM0").string()};
  EXPECT_EQ(ListSerialPortsIn(dev.string()), expected);
  std::filesystem::remove_all(dev);
  EXPECT_TRUE(ListSerialPortsIn(dev.string()).empty());
}

}  // namespace
