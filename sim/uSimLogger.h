// A simulated data logger with its SD-card controller, for tests and for trying the tools without hardware.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/uClock.h"
#include "device/uPortOps.h"

// Faults the simulator can inject; every random choice comes from `RandomKey`, so a run can be replayed.
struct TSimFaults {
  uint64_t RandomKey = 1;
  // Per answered frame, in parts per million: answer lost, answer cut short, CRC corrupted, bit 0x20 set.
  uint32_t LostPpm = 0;
  uint32_t ShortPpm = 0;
  uint32_t BadCrcPpm = 0;
  uint32_t QuorBitPpm = 0;
  // RX[0] of the probe answer (register 0) is ORed with this (0x20, 0x40, 0x80 ...).
  uint8_t ProbeStatusBits = 0;
  // Non-zero controller status at a stage (0 accepts).
  uint8_t IdentityRequestStatus = 0;   // command 32 handed over with register 11
  uint8_t IdentityAnswerStatus = 0;    // register 10, n = 10
  bool IdentityWrongLayout = false;    // identity answer begins 6, 0, 0, 4
  uint8_t Command49Status = 0;
  uint8_t Register11Status = 0;        // data records, register 11 n = 68
  uint32_t Register11Refusals = 0;     //   ... for this many accesses (0 = every one while the status is set)
  uint8_t Register10Status = 0;        // data records, register 10 n = 68
  uint32_t Register10Refusals = 0;     //   ... for this many accesses
  uint8_t Command50Status = 0;
  uint32_t Command50Refusals = 0;      //   ... for this many tries
  uint32_t ReadBackCorruptions = 0;    // this many record read-backs come back with one byte changed
  uint32_t SilentAfterFrames = 0;      // the logger stops answering after this many frames (0 = never)
  uint32_t VanishAfterFrames = 0;      // the port fails every operation after this many frames (0 = never)
};

struct TSimConfig {
  uint16_t LoggerClass = 0x6605;
  uint16_t LoggerVersion = 0x0700;
  uint16_t Platform = 25;
  uint16_t Print = 52;
  // Wire pacing: 0 none, else the baud rate whose byte time every frame costs in each direction.
  uint32_t PaceBaud = 0;
  TSimFaults Faults;
};

// The device model: takes the frames the host writes and produces the answers.
class TSimLogger {
 public:
  explicit TSimLogger(const TSimConfig& config = {});
  // One frame written by the host. True with `answer` (and `answerLen`, 8 unless cut short) when the
  // logger answers.
  bool OnFrame(const uint8_t frame[8], uint8_t answer[8], uint32_t& answerLen);

  const TSimConfig& Config() const { return FConfig; }
  // What the controller was programmed with, by record address: the 64 data bytes of every accepted record.
  const std::map<uint16_t, std::array<uint8_t, 64>>& Programmed() const { return FProgrammed; }
  bool UpdateFinished() const { return FFinished; }  // command 50 accepted
  bool ResetReceived() const { return FResetReceived; }
  uint32_t FramesReceived() const { return FFramesReceived; }
  // Every frame the host wrote, in order.
  const std::vector<std::array<uint8_t, 8>>& Frames() const { return FFrames; }
  bool Vanished() const;

 private:
  friend class TSimLoggerImpl;
  TSimConfig FConfig;
  std::map<uint16_t, std::array<uint8_t, 64>> FProgrammed;
  bool FFinished = false;
  bool FResetReceived = false;
  uint32_t FFramesReceived = 0;
  std::vector<std::array<uint8_t, 8>> FFrames;
  std::shared_ptr<void> FState;  // the controller's registers and buffers
};

// The simulated logger reached through the port interface, in process ("--port sim").
class TSimPortOps : public IPortOps {
 public:
  // `clock` is charged the wire time when the logger paces.
  TSimPortOps(TSimLogger& logger, IClock& clock);
  TPortHandle Open(const std::string& portName) override;
  bool SetLine(TPortHandle h, const TLineSettings& settings) override;
  bool SetQueues(TPortHandle h, uint32_t inSize, uint32_t outSize) override;
  bool SetTimeouts(TPortHandle h, const TTimeouts& timeouts) override;
  bool RaiseDtr(TPortHandle h) override;
  bool ClearErrors(TPortHandle h) override;
  bool Purge(TPortHandle h) override;
  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override;
  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override;
  void Close(TPortHandle h) override;

 private:
  TSimLogger& FLogger;
  IClock& FClock;
  std::mutex FMutex;
  bool FOpen = false;
  std::vector<uint8_t> FPending;  // answer bytes waiting to be read
};

// Sends the port name "sim" to the simulated logger and every other name to the real ports.
class TPortRouter : public IPortOps {
 public:
  TPortRouter(IPortOps& real, IPortOps& sim);
  TPortHandle Open(const std::string& portName) override;
  bool SetLine(TPortHandle h, const TLineSettings& settings) override;
  bool SetQueues(TPortHandle h, uint32_t inSize, uint32_t outSize) override;
  bool SetTimeouts(TPortHandle h, const TTimeouts& timeouts) override;
  bool RaiseDtr(TPortHandle h) override;
  bool ClearErrors(TPortHandle h) override;
  bool Purge(TPortHandle h) override;
  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override;
  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override;
  void Close(TPortHandle h) override;

  static constexpr const char* kSimPortName = "sim";

 private:
  IPortOps& Backend(TPortHandle h, TPortHandle& inner);
  IPortOps& FReal;
  IPortOps& FSim;
  std::mutex FMutex;
  std::map<TPortHandle, std::pair<IPortOps*, TPortHandle>> FHandles;
  TPortHandle FNext = 1;
};
