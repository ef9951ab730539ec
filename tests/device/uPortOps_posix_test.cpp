// The termios backend against a pseudo-terminal: the test holds the master side, the backend opens the
// slave by its name as it would open a USB serial adapter.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/uPortOps.h"
#include "device/uRS232.h"

namespace {

class PosixPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int slave = -1;
    ASSERT_EQ(openpty(&FMaster, &slave, nullptr, nullptr, nullptr), 0);
    FName = ttyname(slave);
    // The backend opens its own descriptor; ours would keep the line alive after a hang-up test.
    FHandle = OpenComPort(PlatformPortOps(), FName, 9600);
    ::close(slave);
    ASSERT_NE(FHandle, kInvalidPort);
  }
  void TearDown() override {
    if (FHandle != kInvalidPort) CloseComPort(PlatformPortOps(), FHandle);
    if (FMaster >= 0) ::close(FMaster);
  }

  // Reads exactly n bytes from the master side (waiting at most 5 s for each chunk).
  std::vector<uint8_t> MasterRead(size_t n) {
    std::vector<uint8_t> data;
    while (data.size() < n) {
      pollfd p{FMaster, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      uint8_t buf[64];
      const ssize_t r = ::read(FMaster, buf, std::min(sizeof buf, n - data.size()));
      if (r <= 0) break;
      data.insert(data.end(), buf, buf + r);
    }
    return data;
  }
  void MasterWrite(const std::vector<uint8_t>& data) {
    ASSERT_EQ(::write(FMaster, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

  int FMaster = -1;
  std::string FName;
  TPortHandle FHandle = kInvalidPort;
};

TEST_F(PosixPortTest, FramesTravelBothWaysUnchanged) {
  IPortOps& ops = PlatformPortOps();
  // Raw line: no byte is translated or swallowed (CR, LF, XON/XOFF, NUL, 0xFF).
  const std::vector<uint8_t> frame = {0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF, 0x7F, 0x03};
  ASSERT_TRUE(ops.ClearErrors(FHandle));
  ASSERT_TRUE(ops.Purge(FHandle));
  uint32_t written = 0;
  ASSERT_TRUE(ops.Write(FHandle, frame.data(), 8, written));
  EXPECT_EQ(written, 8u);
  EXPECT_EQ(MasterRead(8), frame);

  const std::vector<uint8_t> answer = {0x80, 0x00, 0x66, 0x05, 0x0A, 0x0D, 0x1A, 0x5E};
  MasterWrite(answer);
  uint8_t rx[8] = {};
  uint32_t got = 0;
  ASSERT_TRUE(ops.Read(FHandle, rx, 8, got));
  ASSERT_EQ(got, 8u);
  EXPECT_EQ(std::vector<uint8_t>(rx, rx + 8), answer);
}

TEST_F(PosixPortTest, AReadThatGetsOnlySevenBytesReturnsThemAtTheTimeout) {
  MasterWrite({1, 2, 3, 4, 5, 6, 7});
  uint8_t rx[8] = {};
  uint32_t got = 0;
  ASSERT_TRUE(PlatformPortOps().Read(FHandle, rx, 8, got));
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(rx[6], 7);
}

TEST_F(PosixPortTest, PurgeDiscardsWhatWaitsToBeRead) {
  IPortOps& ops = PlatformPortOps();
  MasterWrite({1, 2, 3, 4, 5, 6, 7, 8});
  uint8_t rx[8] = {};
  uint32_t got = 0;
  ASSERT_TRUE(ops.Read(FHandle, rx, 1, got));  // the bytes have arrived
  ASSERT_EQ(got, 1u);
  ASSERT_TRUE(ops.Purge(FHandle));
  ASSERT_TRUE(ops.Read(FHandle, rx, 8, got));
  EXPECT_EQ(got, 0u);
}

TEST_F(PosixPortTest, AHangUpIsAFailureNotATimeout) {
  IPortOps& ops = PlatformPortOps();
  // A long deadline: a backend that took the hang-up for silence would report a timeout, not a failure.
  TTimeouts t = ComPortTimeouts();
  t.ReadTotalTimeoutConstant = 3000;
  ASSERT_TRUE(ops.SetTimeouts(FHandle, t));
  ::close(FMaster);
  FMaster = -1;
  uint8_t rx[8] = {};
  uint32_t got = 0;
  EXPECT_FALSE(ops.Read(FHandle, rx, 8, got));
  uint32_t written = 0;
  const uint8_t frame[8] = {};
  EXPECT_FALSE(ops.Write(FHandle, frame, 8, written));
}

TEST_F(PosixPortTest, ThePortIsExclusiveAndAClosedHandleIsNoLongerUsable) {
  IPortOps& ops = PlatformPortOps();
  EXPECT_EQ(ops.Open(FName), kInvalidPort);
  EXPECT_EQ(ops.OpenError(FName).Failure,
            TPortFailure::Busy);  // TIOCEXCL, or the lock where TIOCEXCL lets root in
  // DTR on a pseudo-terminal (no modem lines) was accepted by OpenComPort in SetUp; again explicitly.
  EXPECT_TRUE(ops.RaiseDtr(FHandle));
  CloseComPort(ops, FHandle);
  EXPECT_FALSE(ops.ClearErrors(FHandle));
  EXPECT_FALSE(ops.Purge(FHandle));
  FHandle = OpenComPort(ops, FName, 9600);  // free again after the close
  EXPECT_NE(FHandle, kInvalidPort);
  EXPECT_EQ(ops.OpenError(FName).Failure, TPortFailure::None);
}

TEST(PosixPort, NamesThatAreNoSerialPortDoNotOpen) {
  IPortOps& ops = PlatformPortOps();
  EXPECT_EQ(ops.Open("/dev/pellory-no-such-port"), kInvalidPort);
  EXPECT_EQ(ops.Open("pellory-no-such-port"), kInvalidPort);
  EXPECT_EQ(ops.Open(""), kInvalidPort);
  EXPECT_EQ(ops.Open("/dev/null"), kInvalidPort);  // a device, but not a terminal
  EXPECT_EQ(ops.Open(std::string("/dev/null\0x", 11)), kInvalidPort);
  // Each failure keeps its reason for the name that was asked for.
  EXPECT_EQ(ops.OpenError("/dev/pellory-no-such-port"), (TPortError{TPortFailure::NotFound, ENOENT}));
  EXPECT_EQ(ops.OpenError("/dev/null").Failure, TPortFailure::NotSerial);
  EXPECT_EQ(ops.OpenError("/dev/never-tried").Failure, TPortFailure::None);
}

}  // namespace
