// The catalogue: presets and ranges of AccessImage, the embedded headers and the shape of their lines.
#include <gtest/gtest.h>

#include <string>

#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"

namespace {

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SelectedImage = -1;
    FileHeader = TBl3FileHeader{};
    FileLines.clear();
  }
  void TearDown() override { SetUp(); }
};

TBl3FileHeader Expected(uint16_t verH, uint16_t verL, uint16_t platform, uint16_t print, const char* date,
                        uint16_t blVer) {
  return TBl3FileHeader{0x660A, verH, verL, platform, print, date, 2, blVer};
}

TEST_F(CatalogueTest, UnknownImageOrOperationGivesOnlyThePresets) {
  struct Call {
    int32_t image, op;
  };
  for (const Call call : {Call{4, 0}, Call{-1, 0}, Call{1, 3}, Call{0, -1}, Call{3, 2147483647}}) {
    TBl3FileHeader header{1, 2, 3, 4, 5, "kept", 6, 7};
    int32_t lastIndex = 99;
    std::string line = "old";
    EXPECT_FALSE(AccessImage(call.image, call.op, 0, header, lastIndex, line));
    EXPECT_EQ(header, (TBl3FileHeader{0xFFFF, 2, 3, 0xFFFF, 0xFFFF, "kept", 6, 7}));
    EXPECT_EQ(lastIndex, 0);
    EXPECT_EQ(line, "");
  }
  TBl3FileHeader header;
  GetImageHeader(4, header);
  EXPECT_EQ(header.quor_class, 0xFFFF);
  EXPECT_EQ(GetImageLastLine(-1), 0);
  EXPECT_EQ(GetImageLine(0), "");  // SelectedImage -1
}

TEST_F(CatalogueTest, EmbeddedHeadersAndLastIndices) {
  EXPECT_EQ(ImageCount(), 3);
  const TBl3FileHeader expected[] = {Expected(1, 4, 3, 3, "24.07.2012 17:19:26", 0),
                                     Expected(2, 102, 11, 17, "13.12.2022 15:45:48", 1),
                                     Expected(4, 106, 25, 52, "18.04.2024 11:42:26", 1)};
  const int32_t last[] = {227, 259, 195};
  for (int32_t image = 1; image <= 3; ++image) {
    TBl3FileHeader header;
    GetImageHeader(image, header);
    EXPECT_EQ(header, expected[image - 1]);
    EXPECT_EQ(GetImageLastLine(image), last[image - 1]);
    SelectedImage = image;
    EXPECT_EQ(GetImageLastLine(), last[image - 1]);
  }
}

TEST_F(CatalogueTest, FileImageBeforeAndAfterLoading) {
  TBl3FileHeader header{1, 2, 3, 4, 5, "x", 6, 7};
  GetImageHeader(0, header);
  EXPECT_EQ(header, TBl3FileHeader{});
  EXPECT_EQ(GetImageLastLine(0), -1);

  FileHeader = Expected(9, 8, 7, 6, "free text", 5);
  FileLines = {":00000001FF", ""};
  GetImageHeader(0, header);
  EXPECT_EQ(header, FileHeader);
  SelectedImage = 0;
  EXPECT_EQ(GetImageLastLine(), 1);
  EXPECT_EQ(GetImageLine(0), ":00000001FF");
  EXPECT_EQ(GetImageLine(1), "");
}

TEST_F(CatalogueTest, LineIndexOutsideTheImageGivesEmptyLineAndFalse) {
  FileLines = {":00000001FF"};
  for (int32_t image = 0; image <= 3; ++image) {
    const int32_t last = GetImageLastLine(image);
    TBl3FileHeader header;
    int32_t lastIndex = 0;
    std::string line;
    EXPECT_TRUE(AccessImage(image, 2, last, header, lastIndex, line));
    EXPECT_EQ(line, ":00000001FF");
    for (int32_t index : {last + 1, -1, 100000}) {
      line = "old";
      EXPECT_FALSE(AccessImage(image, 2, index, header, lastIndex, line)) << image << " " << index;
      EXPECT_EQ(line, "");
    }
  }
}

TEST_F(CatalogueTest, EmbeddedLinesHaveTheTransferShapeAndRoundTrip) {
  for (int32_t image = 1; image <= 3; ++image) {
    SCOPED_TRACE(image);
    SelectedImage = image;
    const int32_t last = GetImageLastLine();
    EXPECT_EQ(GetImageLine(last), ":00000001FF");
    int previousAddress = -1;
    int largerSteps = 0;
    for (int32_t i = 0; i <= last; ++i) {
      const std::string line = GetImageLine(i);
      HexLine = line;
      ASSERT_TRUE(DecodeHexRecord()) << i;
      ASSERT_TRUE(EncodeHexRecord()) << i;
      ASSERT_EQ(HexLine, line) << i;
      if (i == last) break;
      ASSERT_EQ(line.size(), 139u) << i;
      EXPECT_EQ(HexRecord[0], 64) << i;
      EXPECT_EQ(HexRecord[3], 0x00) << i;
      const int address = HexRecord[1] * 256 + HexRecord[2];
      EXPECT_EQ(address % 0x40, 0) << i;
      EXPECT_LE(address, 0xFFC0) << i;
      EXPECT_GT(address, previousAddress) << i;
      if (previousAddress >= 0 && address - previousAddress != 0x40) ++largerSteps;
      previousAddress = address;
    }
    EXPECT_GE(largerSteps, 1);
    EXPECT_LE(largerSteps, 5);
  }
}

}  // namespace
