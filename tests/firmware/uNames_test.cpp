// The naming tables: which codes have rows, the class variants, and the validity tests.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "firmware/uNames.h"

namespace {

std::vector<uint16_t> CodesWithRows(std::string (*name)(uint16_t)) {
  std::vector<uint16_t> codes;
  for (uint32_t code = 0; code <= 0xFFFF; ++code) {
    if (name(static_cast<uint16_t>(code)) != "?") codes.push_back(static_cast<uint16_t>(code));
  }
  return codes;
}

std::vector<uint16_t> Range(uint16_t first, uint16_t last) {
  std::vector<uint16_t> codes;
  for (uint32_t c = first; c <= last; ++c) codes.push_back(static_cast<uint16_t>(c));
  return codes;
}

std::vector<uint16_t> Join(std::vector<std::vector<uint16_t>> parts) {
  std::vector<uint16_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A shown text: printable ASCII, not empty, never "?" (that means "no row").
void ExpectDisplayText(const std::string& text) {
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text, "?");
  for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << text;
}

std::string ClassWithoutPrint(uint16_t code) {
  return ClassName(code, kUnknownCode);
}

TEST(NamingTables, ClassRows) {
  const auto codes = CodesWithRows(ClassWithoutPrint);
  EXPECT_EQ(codes.size(), 50u);
  EXPECT_EQ(codes, Join({{0x6590}, Range(0x6601, 0x660C), Range(0x660E, 0x662F), {0xC800, 0xC801, 0xC802}}));
  for (uint16_t code : codes) ExpectDisplayText(ClassWithoutPrint(code));

  EXPECT_EQ(ClassName(0x6590, 0), "Prototype");
  EXPECT_EQ(ClassName(0x660A, 0), "SD CARD");
  EXPECT_EQ(ClassName(0x660A, 52), "SD CARD");
  EXPECT_EQ(ClassName(0x660D, 0), "?");
  EXPECT_EQ(ClassName(0x660D, 38), "?");
  EXPECT_EQ(ClassName(0xC800, 0xFFFF), "BL");
  EXPECT_EQ(ClassName(0xC801, 0xFFFF), "BL2");
  EXPECT_EQ(ClassName(0xC802, 0xFFFF), "BL3");
  EXPECT_EQ(ClassName(0xFFFF, 0xFFFF), "?");
}

TEST(NamingTables, ClassVariantsFollowThePrint) {
  const std::string first6617 = ClassName(0x6617, 38);
  const std::string second6617 = ClassName(0x6617, 39);
  const std::string general6617 = ClassName(0x6617, 0xFFFF);
  const std::string first6621 = ClassName(0x6621, 38);
  const std::string second6621 = ClassName(0x6621, 39);
  const std::string general6621 = ClassName(0x6621, 0xFFFF);
  const std::set<std::string> six = {first6617, second6617, general6617, first6621, second6621, general6621};
  EXPECT_EQ(six.size(), 6u);
  for (const auto& text : six) ExpectDisplayText(text);

  for (uint32_t p = 0; p <= 0xFFFF; ++p) {
    const auto print = static_cast<uint16_t>(p);
    const std::string v6617 = ClassName(0x6617, print);
    const std::string v6621 = ClassName(0x6621, print);
    if (print == 38 || print == 47 || print == 55) {
      EXPECT_EQ(v6617, first6617) << print;
    } else if (print == 39 || print == 48 || print == 56) {
      EXPECT_EQ(v6617, second6617) << print;
    } else {
      EXPECT_EQ(v6617, general6617) << print;
    }
    if (print == 38 || print == 47) {
      EXPECT_EQ(v6621, first6621) << print;
    } else if (print == 39 || print == 48) {
      EXPECT_EQ(v6621, second6621) << print;
    } else {
      EXPECT_EQ(v6621, general6621) << print;
    }
    EXPECT_EQ(ClassName(0x6627, print), ClassName(0x6627, 0xFFFF));
    EXPECT_EQ(ClassName(0x6601, print), ClassName(0x6601, 0xFFFF));
  }
  ExpectDisplayText(ClassName(0x6627, 0));
}

TEST(NamingTables, PlatformAndPrintRows) {
  const auto platforms = CodesWithRows(PlatformName);
  EXPECT_EQ(platforms.size(), 30u);
  EXPECT_EQ(platforms, Join({Range(0, 28), {0xFFFE}}));
  for (uint16_t code : platforms) ExpectDisplayText(PlatformName(code));

  const auto prints = CodesWithRows(PrintName);
  EXPECT_EQ(prints.size(), 55u);
  EXPECT_EQ(prints, Join({Range(0, 40), Range(43, 56)}));
  for (uint16_t code : prints) ExpectDisplayText(PrintName(code));

  // The prints that pick the class variants say which radio module they carry.
  for (uint16_t print : {38, 47, 55}) {
    EXPECT_NE(PrintName(print).find("WLAN"), std::string::npos) << print;
    EXPECT_NE(PrintName(print).find("UART"), std::string::npos) << print;
  }
  for (uint16_t print : {39, 48, 56}) {
    EXPECT_NE(PrintName(print).find("BLE"), std::string::npos) << print;
    EXPECT_NE(PrintName(print).find("UART"), std::string::npos) << print;
  }
}

TEST(NamingTables, ValidityTestsPassNamedCodesAndMapTheRestToUnknown) {
  for (uint32_t c = 0; c <= 0xFFFF; ++c) {
    const auto code = static_cast<uint16_t>(c);
    EXPECT_EQ(CheckPlatform(code), PlatformName(code) == "?" ? kUnknownCode : code);
    EXPECT_EQ(CheckPrint(code), PrintName(code) == "?" ? kUnknownCode : code);
  }
  EXPECT_EQ(CheckPlatform(0xFFFE), 0xFFFE);
  EXPECT_EQ(CheckPlatform(29), 0xFFFF);
  EXPECT_EQ(CheckPlatform(0xFFFF), 0xFFFF);
  EXPECT_EQ(CheckPrint(40), 40);
  EXPECT_EQ(CheckPrint(41), 0xFFFF);
  EXPECT_EQ(CheckPrint(42), 0xFFFF);
  EXPECT_EQ(CheckPrint(43), 43);
  EXPECT_EQ(CheckPrint(57), 0xFFFF);
  // The codes of the embedded images.
  for (uint16_t platform : {3, 11, 25}) EXPECT_EQ(CheckPlatform(platform), platform);
  for (uint16_t print : {3, 17, 52}) EXPECT_EQ(CheckPrint(print), print);
}

}  // namespace
