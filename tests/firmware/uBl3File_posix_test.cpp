// Image files named by mistake as a device or a FIFO: refused at once, nothing read, nothing blocked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "firmware/uBl3File.h"
#include "firmware/uFWVersions.h"

namespace {

TEST(ImageFilePosix, EndlessDevicesAndFifosAreRefusedWithoutReadingOrWaiting) {
  const std::string fifo = ::testing::TempDir() + "pellory_fw_fifo_" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO without a writer would block an ordinary open for good; end the test instead.
  ::alarm(20);
  for (const std::string& name : {std::string("/dev/zero"), fifo}) {
    const std::string refused = "Cannot open image file \"" + name + "\": it is not a regular file";
    std::string reason;
    EXPECT_FALSE(CheckImageFile(name, reason));
    EXPECT_EQ(reason, refused);
    reason.clear();
    EXPECT_FALSE(LoadImageFile(name, reason));
    EXPECT_EQ(reason, refused);
    EXPECT_EQ(SelectedImage, -1);
    EXPECT_THROW(ReadFileVersion(name), EImageFile);
  }
  ::alarm(0);
  std::filesystem::remove(fifo);
}

}  // namespace
