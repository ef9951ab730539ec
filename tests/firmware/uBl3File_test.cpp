// Image files: header keys and values, which lines become image lines, and files that cannot be used.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/uBl3File.h"
#include "firmware/uFWVersions.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Image3Lines() {
  std::vector<std::string> lines;
  SelectedImage = 3;
  for (int32_t i = 0; i <= GetImageLastLine(); ++i) lines.push_back(GetImageLine(i));
  SelectedImage = -1;
  return lines;
}

TBl3FileHeader Image3Header() {
  TBl3FileHeader header;
  GetImageHeader(3, header);
  return header;
}

// The eight header lines of a file equal to embedded image 3, each ended by `eol`.
std::string Image3HeaderText(const std::string& eol = "\n") {
  std::string text;
  for (const char* line : {"bootloader=2", "bootloader version=1", "class=26122", "versionH=4",
                           "versionL=106", "platform=25", "print=52", "date=18.04.2024 11:42:26"}) {
    text += line + eol;
  }
  return text;
}

// A header with one line replaced.
std::string HeaderWith(int lineNumber, const std::string& line) {
  std::istringstream in(Image3HeaderText());
  std::string text;
  std::string current;
  for (int n = 1; std::getline(in, current); ++n) text += (n == lineNumber ? line : current) + "\n";
  return text;
}

TBl3FileHeader ReadHeader(const std::string& text) {
  std::istringstream in(text);
  TBl3FileHeader header;
  EXPECT_TRUE(ReadFileHeader(in, header));
  return header;
}

class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    FDir = fs::path(::testing::TempDir()) /
           ("pellory_fw_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
            "_" + std::to_string(random()));
    fs::create_directories(FDir);
    SelectedImage = -1;
    FileHeader = TBl3FileHeader{};
    FileLines.clear();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
    SelectedImage = -1;
    FileHeader = TBl3FileHeader{};
    FileLines.clear();
  }

  std::string Write(const std::string& content, const std::string& name = "image.txt") {
    const fs::path path = FDir / name;
    std::ofstream out(path, std::ios::binary);
    out << content;
    return path.string();
  }

  fs::path FDir;
};

TEST(ImageFileValues, ValueOfTakesEverythingAfterTheFirstEqualsForAnExactKey) {
  EXPECT_EQ(ValueOf("class=26122", "class"), "26122");
  EXPECT_EQ(ValueOf("date= a=b ", "date"), " a=b ");
  EXPECT_EQ(ValueOf("class =26122", "class"), "");
  EXPECT_EQ(ValueOf("Class=26122", "class"), "");
  EXPECT_EQ(ValueOf("classes=1", "class"), "");
  EXPECT_EQ(ValueOf("clas=1", "class"), "");
  EXPECT_EQ(ValueOf("class", "class"), "");
  EXPECT_EQ(ValueOf("class=", "class"), "");
  EXPECT_EQ(ValueOf("=x", ""), "x");
}

TEST(ImageFileValues, BootloaderIsExactlyTwoOrThree) {
  EXPECT_EQ(ReadHeader(Image3HeaderText()), Image3Header());
  EXPECT_EQ(ReadHeader(HeaderWith(1, "bootloader=3")).quor_bl, 3);
  for (const char* line : {"bootloader=02", "bootloader= 2", "bootloader=2 ", "Bootloader=2", "bootloader=4",
                           "bootloader=", "bootloader", "bootloader =2"}) {
    EXPECT_EQ(ReadHeader(HeaderWith(1, line)).quor_bl, 0xFFFF) << line;
  }
}

TEST(ImageFileValues, IntegersAreSigned32BitDecimalsKeptToSixteenBits) {
  EXPECT_EQ(ReadHeader(HeaderWith(5, "versionL=04")).quor_verL, 4);
  EXPECT_EQ(ReadHeader(HeaderWith(6, "platform=-1")).quor_platform, 0xFFFF);
  EXPECT_EQ(ReadHeader(HeaderWith(7, "print=65537")).quor_print, 1);
  EXPECT_EQ(ReadHeader(HeaderWith(7, "print=65536")).quor_print, 0);
  EXPECT_EQ(ReadHeader(HeaderWith(3, "class=2147483647")).quor_class, 0xFFFF);
  EXPECT_EQ(ReadHeader(HeaderWith(3, "class=-2147483648")).quor_class, 0);
  EXPECT_EQ(ReadHeader(HeaderWith(3, "class=-0")).quor_class, 0);
  EXPECT_EQ(ReadHeader(HeaderWith(2, "bootloader version=0000000000000000000007")).quor_bl_ver, 7);

  for (const char* line :
       {"class=2147483648", "class=-2147483649", "class=99999999999999999999999", "class=+4", "class= 4",
        "class=4 ", "class=0x10", "class=", "class=-", "class=4a", "class =4", "klass=4", "class", ""}) {
    std::istringstream in(HeaderWith(3, line));
    TBl3FileHeader header;
    EXPECT_THROW(ReadFileHeader(in, header), EImageFile) << line;
  }
}

TEST(ImageFileValues, FailedReadKeepsTheFieldsReadBeforeIt) {
  std::istringstream in(HeaderWith(4, "versionH=four"));
  TBl3FileHeader header{1, 2, 3, 4, 5, "before", 6, 7};
  EXPECT_THROW(ReadFileHeader(in, header), EImageFile);
  EXPECT_EQ(header, (TBl3FileHeader{26122, 2, 3, 4, 5, "before", 2, 1}));
}

TEST(ImageFileValues, DateIsTakenUnchangedAndAnotherKeyGivesAnEmptyDate) {
  EXPECT_EQ(ReadHeader(HeaderWith(8, "date=a=b = c ")).quor_date, "a=b = c ");
  EXPECT_EQ(ReadHeader(HeaderWith(8, "Date=18.04.2024")).quor_date, "");
  EXPECT_EQ(ReadHeader(HeaderWith(8, "no date here")).quor_date, "");
  // Missing lines read as empty: a missing date is no failure, a missing integer is.
  const std::string header = Image3HeaderText();
  EXPECT_EQ(ReadHeader(header.substr(0, header.rfind("date="))).quor_date, "");
  std::istringstream shortHeader("bootloader=2\nbootloader version=1\nclass=26122\n");
  TBl3FileHeader target;
  EXPECT_THROW(ReadFileHeader(shortHeader, target), EImageFile);
  std::istringstream empty("");
  EXPECT_THROW(ReadFileHeader(empty, target), EImageFile);
  EXPECT_EQ(target.quor_bl, 0xFFFF);
}

TEST_F(ImageFileTest, FileEqualToImage3Loads) {
  const auto lines = Image3Lines();
  ASSERT_EQ(lines.size(), 196u);
  // The same content with LF, with CRLF and with a UTF-8 byte-order mark loads alike.
  for (const std::string& prefix : {std::string(), std::string("\xEF\xBB\xBF")}) {
    for (const std::string& eol : {std::string("\n"), std::string("\r\n")}) {
      std::string content = prefix + Image3HeaderText(eol);
      for (const auto& line : lines) content += line + eol;
      FileLines = {"stale"};
      SelectedImage = -1;
      std::string reason;
      ASSERT_TRUE(LoadImageFile(Write(content), reason)) << reason;
      EXPECT_EQ(FileHeader, Image3Header());
      EXPECT_EQ(FileLines, lines);
      EXPECT_EQ(SelectedImage, 0);
      EXPECT_EQ(GetImageLastLine(), 195);
    }
  }
}

TEST_F(ImageFileTest, LinesWithEqualsAreRemovedAndBlankLinesKept) {
  const std::string content = Image3HeaderText() + ":10000000AA\n" + "comment=not an image line\n" + "\n" +
                              "note: x==y\n" + ":00000001FF\n" + "\n" + "last=gone";
  std::string reason;
  ASSERT_TRUE(LoadImageFile(Write(content), reason)) << reason;
  EXPECT_EQ(FileLines, (std::vector<std::string>{":10000000AA", "", ":00000001FF", ""}));

  // A header line moved among the HEX lines disappears too, and lines are taken as they stand.
  ASSERT_TRUE(LoadImageFile(Write(Image3HeaderText() + "x\r\ry\n a \nprint=1\nz"), reason));
  EXPECT_EQ(FileLines, (std::vector<std::string>{"x\r\ry", " a ", "z"}));
}

TEST_F(ImageFileTest, HeaderOnlyFileLoadsWithoutLines) {
  std::string reason;
  ASSERT_TRUE(LoadImageFile(Write(Image3HeaderText()), reason));
  EXPECT_TRUE(FileLines.empty());
  EXPECT_EQ(SelectedImage, 0);
  EXPECT_EQ(GetImageLastLine(), -1);

  // Seven header lines, no date line: the date is empty and the first HEX line is lost to it.
  const std::string header = Image3HeaderText();
  ASSERT_TRUE(LoadImageFile(Write(header.substr(0, header.rfind("date=")) + ":00000001FF\n"), reason));
  EXPECT_EQ(FileHeader.quor_date, "");
  EXPECT_EQ(FileLines, std::vector<std::string>{":00000001FF"});
}

TEST_F(ImageFileTest, UnusableFilesLeaveNoImageAndSayWhy) {
  const std::string missing = (FDir / "missing.txt").string();
  FileLines = {"stale"};
  std::string reason;
  EXPECT_FALSE(LoadImageFile(missing, reason));
  EXPECT_EQ(reason, "Cannot open image file \"" + missing + "\"");
  EXPECT_TRUE(FileLines.empty());
  EXPECT_EQ(SelectedImage, -1);

  const std::string bad = Write(HeaderWith(3, "class =26122") + ":00000001FF\n");
  reason.clear();
  EXPECT_FALSE(LoadImageFile(bad, reason));
  EXPECT_EQ(reason.rfind("Cannot read the header of image file \"" + bad + "\": ", 0), 0u) << reason;
  EXPECT_NE(reason.find("class"), std::string::npos) << reason;
  EXPECT_TRUE(FileLines.empty());
  EXPECT_EQ(SelectedImage, -1);
  EXPECT_EQ(FileHeader.quor_bl, 2);  // read before the failure
  EXPECT_EQ(FileHeader.quor_bl_ver, 1);
  EXPECT_EQ(FileHeader.quor_class, 0);

  // A directory cannot be opened as a file either.
  EXPECT_FALSE(LoadImageFile(FDir.string(), reason));
  EXPECT_EQ(SelectedImage, -1);
}

TEST_F(ImageFileTest, FileVersionReadsOnlyTheHeader) {
  FileLines = {"kept"};
  ReadFileVersion(Write(HeaderWith(7, "print=17") + ":00000001FF\n"));
  EXPECT_EQ(SelectedImage, 0);
  EXPECT_EQ(FileHeader.quor_print, 17);
  EXPECT_EQ(FileLines, std::vector<std::string>{"kept"});

  SelectedImage = 2;
  EXPECT_THROW(ReadFileVersion((FDir / "missing.txt").string()), EImageFile);
  const std::string bad = Write("bootloader=3\nbootloader version=x\n");
  try {
    ReadFileVersion(bad);
    FAIL() << "no error";
  } catch (const EImageFile& e) {
    EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
  }
  EXPECT_EQ(SelectedImage, 2);
  EXPECT_EQ(FileHeader.quor_bl, 3);
  EXPECT_EQ(FileHeader.quor_print, 17);
}

TEST_F(ImageFileTest, OversizedFilesAndFoldersAreRefusedUnreadEverywhere) {
  // A sparse file one byte over the bound: refused from its size, before a byte is read.
  const std::string huge = Write("");
  fs::resize_file(huge, kMaxImageFileBytes + 1);
  const std::string tooLarge = "Cannot open image file \"" + huge + "\": it is larger than 16 MiB";
  std::string reason;
  EXPECT_FALSE(LoadImageFile(huge, reason));
  EXPECT_EQ(reason.rfind(tooLarge, 0), 0u) << reason;
  reason.clear();
  EXPECT_FALSE(CheckImageFile(huge, reason));
  EXPECT_EQ(reason.rfind(tooLarge, 0), 0u) << reason;
  try {
    ReadFileVersion(huge);
    ADD_FAILURE() << "no error";
  } catch (const EImageFile& e) {
    EXPECT_EQ(std::string(e.what()).rfind(tooLarge, 0), 0u) << e.what();
  }

  EXPECT_FALSE(CheckImageFile(FDir.string(), reason));
  EXPECT_EQ(reason, "Cannot open image file \"" + FDir.string() + "\": it is a folder");
  EXPECT_THROW(ReadFileVersion(FDir.string()), EImageFile);
  EXPECT_EQ(SelectedImage, -1);
  EXPECT_TRUE(FileLines.empty());
}

TEST_F(ImageFileTest, CheckTellsWhatWouldFailEveryRunAndTouchesNoLoadedImage) {
  std::string image = Image3HeaderText();
  for (const auto& line : Image3Lines()) image += line + "\r\n";
  FileLines = {"kept"};
  SelectedImage = 2;
  std::string reason;
  EXPECT_TRUE(CheckImageFile(Write(image), reason)) << reason;
  EXPECT_TRUE(
      CheckImageFile(Write("\xEF\xBB\xBF" + Image3HeaderText() + ":00000001FF\n" + ":00000001FF"), reason))
      << reason;

  const std::string badHeader = Write(HeaderWith(4, "versionH=four") + ":00000001FF\n:00000001FF\n");
  EXPECT_FALSE(CheckImageFile(badHeader, reason));
  EXPECT_EQ(reason.rfind("Cannot read the header of image file \"" + badHeader + "\": ", 0), 0u) << reason;

  // A wrong checksum on the file's line 10, a lower-case digit, a blank line: the file's line numbers,
  // header and "=" lines counted.
  const std::string hexHead = Image3HeaderText() + ":020000040000FA\n";
  const std::string badSum = Write(hexHead + ":020000040000FB\n:00000001FF\n");
  EXPECT_FALSE(CheckImageFile(badSum, reason));
  EXPECT_EQ(reason, "Image file \"" + badSum + "\", line 10: not an Intel HEX record the update can send");
  EXPECT_FALSE(CheckImageFile(Write(hexHead + "note=x\n:020000040000fa\n:00000001FF\n"), reason));
  EXPECT_NE(reason.find(", line 11: "), std::string::npos) << reason;
  EXPECT_FALSE(CheckImageFile(Write(hexHead + "\n:00000001FF\n"), reason));
  EXPECT_NE(reason.find(", line 10: "), std::string::npos) << reason;

  // The end: the end-of-file record last, and something before it.
  for (const std::string& tail : {std::string(), std::string("\n"), std::string(":00000001FF\n\n")}) {
    EXPECT_FALSE(CheckImageFile(Write(hexHead + tail), reason)) << tail;
    EXPECT_NE(reason.find("does not end with the end-of-file record :00000001FF"), std::string::npos)
        << reason;
  }
  EXPECT_FALSE(CheckImageFile(Write(Image3HeaderText() + ":00000001FF\n"), reason));
  EXPECT_NE(reason.find("holds no record before the end-of-file record"), std::string::npos) << reason;

  EXPECT_EQ(FileLines, std::vector<std::string>{"kept"});
  EXPECT_EQ(SelectedImage, 2);
  EXPECT_EQ(FileHeader, TBl3FileHeader{});
}

TEST_F(ImageFileTest, ArbitraryBytesLoadWithoutHarm) {
  std::mt19937 random(12345);
  for (int round = 0; round < 50; ++round) {
    std::string content = round % 2 ? Image3HeaderText() : std::string();
    const int size = static_cast<int>(random() % 2000);
    for (int i = 0; i < size; ++i) {
      const unsigned r = random() % 8;
      content += r == 0 ? '\n' : r == 1 ? '\r' : r == 2 ? '\0' : static_cast<char>(random() & 0xFF);
    }
    std::string reason;
    const bool loaded = LoadImageFile(Write(content), reason);
    EXPECT_EQ(loaded, reason.empty());
    for (const auto& line : FileLines) EXPECT_EQ(line.find_first_of("=\n"), std::string::npos);
  }
}

}  // namespace
