#include "device/uRS232.h"

#include <gtest/gtest.h>

#include "tests/support/uFakePortOps.h"

namespace {

TEST(OpenComPort, AppliesTheSettingsTableInOrderAndRaisesDtrLast) {
  TFakePortOps port;
  const TPortHandle h = OpenComPort(port, "COM4", 9600);
  ASSERT_NE(h, kInvalidPort);
  EXPECT_EQ(port.Ops(), (std::vector<TPortOp>{TPortOp::Open, TPortOp::Line, TPortOp::Queues,
                                              TPortOp::Timeouts, TPortOp::Dtr}));
  const auto calls = port.Calls();
  EXPECT_EQ(calls[0].Name, "COM4");
  EXPECT_EQ(calls[0].Handle, h);
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].Handle, h);

  const TLineSettings& line = calls[1].Line;
  EXPECT_EQ(line.BaudRate, 9600u);
  EXPECT_EQ(line.ByteSize, 8);
  EXPECT_EQ(line.Parity, 0);
  EXPECT_EQ(line.StopBits, 0);
  EXPECT_TRUE(line.fBinary);
  EXPECT_FALSE(line.fParity || line.fOutxCtsFlow || line.fOutxDsrFlow || line.fDsrSensitivity ||
               line.fTXContinueOnXoff || line.fOutX || line.fInX || line.fErrorChar || line.fNull ||
               line.fAbortOnError);
  EXPECT_EQ(line.fDtrControl, 0);
  EXPECT_EQ(line.fRtsControl, 0);
  EXPECT_EQ(line.XonLim, 0);
  EXPECT_EQ(line.XoffLim, 0);
  for (char c : {line.XonChar, line.XoffChar, line.ErrorChar, line.EofChar, line.EvtChar}) EXPECT_EQ(c, 0x20);

  EXPECT_EQ(calls[2].InSize, 1000u);
  EXPECT_EQ(calls[2].OutSize, 1000u);
  const TTimeouts& t = calls[3].Timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 200u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(port.OpenHandles(), 1);

  CloseComPort(port, h);
  EXPECT_EQ(port.OpenHandles(), 0);
  EXPECT_EQ(port.StrayCalls(), 0);
}

TEST(OpenComPort, AFailingConfigurationStepClosesThePortAndSkipsTheRest) {
  const std::vector<TPortOp> steps = {TPortOp::Line, TPortOp::Queues, TPortOp::Timeouts, TPortOp::Dtr};
  for (size_t failing = 0; failing < steps.size(); ++failing) {
    SCOPED_TRACE(PortOpName(steps[failing]));
    TFakePortOps port;
    port.FailOn(steps[failing]);
    EXPECT_EQ(OpenComPort(port, "COM4", 9600), kInvalidPort);
    std::vector<TPortOp> expected = {TPortOp::Open};
    expected.insert(expected.end(), steps.begin(), steps.begin() + static_cast<long>(failing) + 1);
    expected.push_back(TPortOp::Close);
    EXPECT_EQ(port.Ops(), expected);
    EXPECT_EQ(port.OpenHandles(), 0);
  }
}

TEST(OpenComPort, APortThatCannotBeOpenedNeedsNoClosing) {
  TFakePortOps port;
  port.SetExistingPorts({"COM1"});
  EXPECT_EQ(OpenComPort(port, "COM9", 9600), kInvalidPort);
  EXPECT_EQ(port.Ops(), std::vector<TPortOp>{TPortOp::Open});
}

}  // namespace
