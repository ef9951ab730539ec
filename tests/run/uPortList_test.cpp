// The portable halves of port discovery and option lookup.
#include <gtest/gtest.h>

#include "run/uPortList.h"
#include "run/uWinTools1V4.h"

namespace {

TEST(FilterPortMap, OffersVirtualPortsInMapOrderWhateverTheCaseOfTheirNames) {
  const std::vector<TSerialMapEntry> map = {
      {"\\Device\\VCP0", "COM7"},     // as the system writes it
      {"\\Device\\Serial0", "COM1"},  // a plain serial port
      {"\\device\\vcp1", "COM12"},   {"\\Device\\USBSER000", "COM3"},
      {"x\\Device\\VCP2", "COM9"},  // the letters, but not at the start
      {"\\DEVICE\\VCP", "COM20"},   // the bare prefix matches too
      {"\\Device\\VC", "COM21"},    // shorter than the prefix
  };
  EXPECT_EQ(FilterPortMap(map), (std::vector<std::string>{"COM7", "COM12", "COM20"}));
}

TEST(FilterPortMap, EmptyAndUnmatchedMapsGiveNoPorts) {
  EXPECT_TRUE(FilterPortMap({}).empty());
  EXPECT_TRUE(FilterPortMap({{"\\Device\\Serial0", "COM1"}, {"\\Device\\Serial1", "COM2"}}).empty());
  // Deleting from the end must not disturb the entries before it.
  EXPECT_EQ(FilterPortMap({{"\\Device\\VCP0", "A"}, {"\\Device\\Serial0", "B"}, {"\\Device\\Serial1", "C"}}),
            (std::vector<std::string>{"A"}));
  EXPECT_EQ(FilterPortMap({{"\\Device\\Serial0", "B"}, {"\\Device\\Serial1", "C"}, {"\\Device\\VCP0", "A"}}),
            (std::vector<std::string>{"A"}));
}

TEST(IsPortChange, OnlyArrivalAndRemovalOfPortsCount) {
  constexpr uintptr_t kArrival = 0x8000;
  constexpr uintptr_t kRemoveComplete = 0x8004;
  constexpr uintptr_t kQueryRemove = 0x8001;
  constexpr uintptr_t kRemovePending = 0x8003;
  constexpr uintptr_t kConfigChanged = 0x0018;
  constexpr uint32_t kPort = 3;
  constexpr uint32_t kVolume = 2;
  constexpr uint32_t kInterface = 5;
  EXPECT_TRUE(IsPortChange(kArrival, kPort));
  EXPECT_TRUE(IsPortChange(kRemoveComplete, kPort));
  EXPECT_FALSE(IsPortChange(kArrival, kVolume));
  EXPECT_FALSE(IsPortChange(kRemoveComplete, kInterface));
  EXPECT_FALSE(IsPortChange(kQueryRemove, kPort));
  EXPECT_FALSE(IsPortChange(kRemovePending, kPort));
  EXPECT_FALSE(IsPortChange(kConfigChanged, kPort));
}

TEST(GetParamValue, FirstParameterLongerThanThePrefixWinsIgnoringAsciiCase) {
  const std::vector<std::string> params = {"C:\\pellory.exe", "mf:", "x", "MF:-", "mf:+", "Cc:-"};
  EXPECT_EQ(GetParamValue("mf:", "", params), "-");  // the bare prefix is skipped, the first match wins
  EXPECT_EQ(GetParamValue("cc:", "", params), "-");
  EXPECT_EQ(GetParamValue("f:", "-", params), "-");  // the default
  EXPECT_EQ(GetParamValue("f:", "", {"f:+"}), "");   // parameter 0 is the program, never an option
  EXPECT_EQ(GetParamValue("f:", "", {"p", "f:+x"}), "+x");
  EXPECT_EQ(GetParamValue("f:", "d", {"p", "F:"}), "d");
  EXPECT_EQ(GetParamValue("f:", "d", {}), "d");
  // Only ASCII letters fold: a byte above 127 must match exactly.
  EXPECT_EQ(GetParamValue("\xC4:", "d", {"p", "\xE4:1"}), "d");
  EXPECT_EQ(GetParamValue("\xC4:", "d", {"p", "\xC4:1"}), "1");
}

TEST(GetParamValue, ValueIsCutAfterAThousandCharacters) {
  const std::string tail(1500, 'v');
  const std::string value = GetParamValue("mf:", "", {"p", "mf:" + tail});
  EXPECT_EQ(value, std::string(1000, 'v'));
  EXPECT_EQ(GetParamValue("mf:", "", {"p", "mf:" + std::string(1000, 'w')}), std::string(1000, 'w'));
}

}  // namespace
