// Start-up settings from internal mode and the options, as the window and the command line derive them.
#include <gtest/gtest.h>

#include "device/uSettings.h"
#include "ui/uStartup.h"

namespace {

TStartupSettings FromParams(bool internal, std::vector<std::string> params) {
  params.insert(params.begin(), "C:\\pellory\\pellory.exe");
  return DeriveStartupSettings(internal, StartOptionsFromParams(params));
}

TEST(Startup, InternalModeGatesTheClassCheckAndImageFiles) {
  const TStartupSettings normal = FromParams(false, {"cc:-", "f:+"});
  EXPECT_EQ(normal.ServiceLevel, 0);
  EXPECT_TRUE(normal.CheckClass);
  EXPECT_FALSE(normal.FileControlsShown);
  EXPECT_FALSE(normal.ReadInfoOnlyShown);
  EXPECT_TRUE(normal.ImageFilesRefused);
  EXPECT_TRUE(normal.NoClassCheckRefused);

  const TStartupSettings files = FromParams(true, {"Cc:-", "F:+"});
  EXPECT_EQ(files.ServiceLevel, 2);
  EXPECT_FALSE(files.CheckClass);
  EXPECT_TRUE(files.FileControlsShown);
  EXPECT_TRUE(files.ReadInfoOnlyShown);
  EXPECT_FALSE(files.ImageFilesRefused || files.NoClassCheckRefused);

  const TStartupSettings level1 = FromParams(true, {"f:-", "f:", "cc:+"});
  EXPECT_EQ(level1.ServiceLevel, 1);
  EXPECT_TRUE(level1.CheckClass);
  EXPECT_FALSE(level1.FileControlsShown);

  ApplyStartupSettings(files);
  EXPECT_EQ(ServiceLevel, 2);
  EXPECT_FALSE(CheckClass);
  ApplyStartupSettings(TStartupSettings{});
}

TEST(Startup, TheFirstMeasurementOptionDecidesInEveryMode) {
  EXPECT_TRUE(FromParams(false, {"MF:+", "mf:-"}).ClearsMeasurements);
  EXPECT_FALSE(FromParams(true, {"mf:-", "mf:+"}).ClearsMeasurements);
  EXPECT_FALSE(FromParams(false, {"mf:", "mf:x"}).ClearsMeasurements);
  EXPECT_FALSE(FromParams(false, {}).ClearsMeasurements);
}

}  // namespace
