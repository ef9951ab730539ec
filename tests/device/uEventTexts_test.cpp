#include "device/uEventTexts.h"

#include <gtest/gtest.h>

#include "firmware/uFWVersions.h"
#include "firmware/uNames.h"

namespace {

class EventTextsTest : public ::testing::Test {
 protected:
  void SetUp() override { SelectedImage = -1; }
  void TearDown() override {
    SelectedImage = -1;
    FileHeader = TBl3FileHeader{};
  }
};

TEST_F(EventTextsTest, ImageTextsWriteTheMinorVersionWithAtLeastTwoDigits) {
  TBl3FileHeader h1, h3;
  GetImageHeader(1, h1);
  GetImageHeader(3, h3);
  ASSERT_EQ(h1.quor_verL, 4);
  ASSERT_EQ(h3.quor_verL, 106);
  const std::string name1 = ClassName(h1.quor_class, h1.quor_print);
  EXPECT_EQ(EventText(evCheckImage, 1, ""),
            "Check " + name1 + " V1.04, " + PrintName(h1.quor_print) + ", BL2.0");
  EXPECT_EQ(EventText(evCheckImage, 3, ""), "Check " + ClassName(h3.quor_class, h3.quor_print) + " V4.106, " +
                                                PrintName(h3.quor_print) + ", BL2.1");
  // 0 and 26 read the image selected at the moment the text is formed.
  SelectedImage = 1;
  EXPECT_EQ(EventText(evCompleted, 0, ""), "Update " + name1 + " V1.04 succesfully completed.");
  EXPECT_EQ(EventText(evUpdateStart, 0, ""),
            "Update " + name1 + " V1.04, " + PrintName(h1.quor_print) + ", BL2.0");
  FileHeader = TBl3FileHeader{0x660A, 7, 0, 25, 52, "", 2, 3};
  SelectedImage = 0;
  EXPECT_EQ(EventText(evUpdateStart, 0, ""), "Update SD CARD V7.00, " + PrintName(52) + ", BL2.3");
}

TEST_F(EventTextsTest, StageValuesAreThreeUpperCaseHexDigits) {
  EXPECT_EQ(EventText(evTxStatus, 0x31A, ""), "Wrong answer from SD controller [TX 31A] !");
  EXPECT_EQ(EventText(evTxStatus, 0x1A, ""), "Wrong answer from SD controller [TX 01A] !");
  EXPECT_EQ(EventText(evRxStatus, 0x100, ""), "Wrong answer from SD controller [RX 100] !");
  EXPECT_EQ(EventText(evRxStatus, 0x3FF, ""), "Wrong answer from SD controller [RX 3FF] !");
}

TEST_F(EventTextsTest, LoggerAndControllerTexts) {
  EXPECT_EQ(EventText(evLoggerVersion, 0x0600, ""), "Version 6.0");
  EXPECT_EQ(EventText(evLoggerVersion, 0x0A0B, ""), "Version 10.11");
  EXPECT_EQ(EventText(evLoggerClass, 0x6601, ""), "Class 26113 [" + ClassName(0x6601, 0xFFFF) + "]");
  EXPECT_EQ(EventText(evUpdateClass, 0x660A, ""), "Update class 26122 [SD CARD]");
  EXPECT_EQ(EventText(evPlatform, 0xFFFF, ""), "Platform 65535 [" + PlatformName(0xFFFF) + "]");
  EXPECT_EQ(EventText(evPrint, 52, ""), "Print 52 [" + PrintName(52) + "]");
  EXPECT_EQ(EventText(evProgress, 42, ""), "Progress 42%");
  EXPECT_EQ(ProgressTitle(42), "42%");
  EXPECT_EQ(StartText("COM3"), "Start at serial port \"COM3\"");
}

TEST_F(EventTextsTest, LineAndRunTexts) {
  EXPECT_EQ(EventText(evVerifyError, 17, ""), "Aborted because programming error at line 17 !");
  EXPECT_EQ(EventText(evConversionError, 100, ""), "Aborted because conversion error at line  100 !");
  EXPECT_EQ(EventText(evCommFailure, 0, ""), "Repeat update because communication error!");
  EXPECT_EQ(EventText(99, 0, ""), "");
}

TEST_F(EventTextsTest, OutcomeTexts) {
  EXPECT_EQ(EventText(evFailed, 10, "COM12"), "Aborted because serial port \"COM12\" is not ready!");
  EXPECT_EQ(OutcomeText(11, ""), "Aborted because error when reading/writing to serial port!");
  EXPECT_EQ(OutcomeText(20, ""), "Process cancelled!");
  EXPECT_EQ(OutcomeText(40, ""), "Aborted because no update is available for this logger!");
  EXPECT_EQ(OutcomeText(41, ""), "Aborted because the logger is not ready!");
  EXPECT_EQ(OutcomeText(42, ""), "Aborted because last line is wrong !");
  EXPECT_EQ(OutcomeText(43, ""), "Aborted because conversion error!");
  EXPECT_EQ(OutcomeText(44, ""), "Repeat because programming error!");
  EXPECT_EQ(OutcomeText(47, ""), "There is no update available or the logger has another update ID!");
  EXPECT_EQ(OutcomeText(48, ""), "Aborted because wrong answer from SD controller!");
  EXPECT_EQ(OutcomeText(70, ""), "Only read update info!");
  for (int code : {0, 30, 45, -1}) EXPECT_EQ(OutcomeText(code, "COM1"), "Fatal Exception has occurred!");
  // A long port name is not cut off.
  const std::string longName(600, 'x');
  EXPECT_EQ(OutcomeText(10, longName), "Aborted because serial port \"" + longName + "\" is not ready!");
}

}  // namespace
