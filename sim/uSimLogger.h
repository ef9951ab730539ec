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
  uint8_t IdentityRequestStatus = 0;  // command 32 handed over with register 11
  uint8_t IdentityAnswerStatus = 0;   // register 10, n = 10
  bool IdentityWrongLayout = false;   // identity answer begins 6, 0, 0, 4
  uint8_t Command49Status = 0;
  uint8_t Register11Status = 0;     // data records, register 11 n = 68
  uint32_t Register11Refusals = 0;  //   ... for this many accesses (0 = every one while the status is set)
  uint8_t Register10Status = 0;     // data records, register 10 n = 68
  uint32_t Register10Refusals = 0;  //   ... for this many accesses
  uint8_t Command50Status = 0;
  uint32_t Command50Refusals = 0;    //   ... for this many tries
  uint32_t ReadBackCorruptions = 0;  // this many record read-backs come back with one byte changed
  uint32_t SilentAfterFrames = 0;    // the logger stops answering after this many frames (0 = never)
  uint32_t VanishAfterFrames = 0;    // the port fails every operation after this many frames (0 = never)
  // The port's Write throws std::runtime_error once this many frames were written (0 = never): a driver
  // fault that is not one of the link's own failures.
  uint32_t ThrowAfterFrames = 0;
};

struct TSimConfig {
  uint16_t LoggerClass = 0x6605;
  uint16_t LoggerVersion = 0x0700;
  uint16_t Platform = 25;
  uint16_t Print = 52;
  // Wire pacing: 0 none, else the baud rate whose byte time every frame costs in each direction.
  uint32_t PaceBaud = 0;
  // The latency timer of the USB serial adapter between host and logger, in ms (0: no adapter): every
  // answer is held that long after its last byte (see AdapterHoldMs).
  uint32_t LatencyMs = 0;
  TSimFaults Faults;
};

// A USB serial adapter passes on what it received when its buffer is full or when its latency timer runs out
// after the last byte. How long the last of `bytes` bytes waits there: 0 when they filled the buffer
// exactly, else the timer. An 8-byte answer is therefore always held for the whole timer.
inline constexpr uint32_t kAdapterBufferBytes = 62;  // the payload of one packet of an FTDI full-speed chip
inline uint32_t AdapterHoldMs(uint32_t bytes, uint32_t latencyMs) {
  return bytes == 0 || bytes % kAdapterBufferBytes == 0 ? 0 : latencyMs;
}

// The device model: takes the frames the host writes and produces the answers. Not locked itself: while a
// worker runs, reach it only through its TSimPortOps.
//
// Answers: RX[0] is the logger's status, 0 when all is well (bits 0xE0 clear, so the probe passes);
// command 1 gives 0, 0, class, version (big-endian); a register access gives 0, controller status,
// register, then the data word bitwise inverted. The wake frame, the reset frame, frames with a bad CRC
// and commands the logger does not serve get no answer.
//
// The controller keeps two packet buffers: the one the host writes through registers 0x80..0x90 and
// the one its own answer is placed in by register 10, which those registers read. So reading a word
// (data 0, 0, 0, 0) never disturbs what the host wrote, and writing a zero word still stores zeros.
class TSimLogger {
 public:
  explicit TSimLogger(const TSimConfig& config = {});
  // One frame written by the host. True with `answer` (and `answerLen`, 8 unless cut short) when the
  // logger answers.
  bool OnFrame(const uint8_t frame[8], uint8_t answer[8], uint32_t& answerLen);

  const TSimConfig& Config() const { return FConfig; }
  // What the controller was programmed with, by record address: the 64 data bytes of every accepted record
  // since the last accepted command 49 (which starts the update over).
  const std::map<uint16_t, std::array<uint8_t, 64>>& Programmed() const { return FProgrammed; }
  bool UpdateFinished() const { return FFinished; }  // command 50 accepted
  bool ResetReceived() const { return FResetReceived; }
  uint32_t FramesReceived() const { return FFramesReceived; }
  // Every frame the host wrote, in order.
  const std::vector<std::array<uint8_t, 8>>& Frames() const { return FFrames; }
  bool Vanished() const;
  // True once a write should throw (ThrowAfterFrames).
  bool Broken() const;

  // The tunnel this logger serves: command 2 with selector 200, or command 5 with selector 20; 0 and 0
  // for a class the logger table does not list (it then serves both).
  uint8_t TunnelCmd() const { return FTunnelCmd; }
  uint8_t TunnelSelector() const { return FTunnelSelector; }
  // The seven leading bytes of the reset frame this logger takes.
  static std::array<uint8_t, 7> ResetFrameFor(uint8_t tunnelCmd);

  // Controller status values of refusals that no fault asked for.
  static constexpr uint8_t kStatusUnknownRegister = 0x01;
  static constexpr uint8_t kStatusUnknownPacket = 0x02;
  static constexpr uint8_t kStatusNoAnswer = 0x03;
  static constexpr uint8_t kStatusNotBegun = 0x04;
  static constexpr uint8_t kStatusBadRecord = 0x06;

 private:
  enum class TPending : uint8_t { None, Identity, Record };

  bool Chance(uint32_t ppm);
  uint64_t NextRandom();
  bool IsReset(const uint8_t frame[8]) const;
  bool ServesTunnel(uint8_t cmd, uint8_t selector) const;
  // A register access; returns the controller status and fills `word` with the data answered.
  uint8_t Access(uint8_t reg, const uint8_t d[4], uint8_t word[4]);
  uint8_t HandOver(uint8_t n);
  uint8_t RequestAnswer(uint8_t n);
  // Refusal with `status` for the first `count` accesses (every one when `count` is 0).
  static uint8_t Refuse(uint8_t status, uint32_t count, uint32_t& done);

  TSimConfig FConfig;
  std::map<uint16_t, std::array<uint8_t, 64>> FProgrammed;
  bool FFinished = false;
  bool FResetReceived = false;
  uint32_t FFramesReceived = 0;
  std::vector<std::array<uint8_t, 8>> FFrames;

  uint8_t FTunnelCmd = 0;
  uint8_t FTunnelSelector = 0;
  uint64_t FRandom = 0;
  std::array<uint8_t, 68> FHostBuffer{};
  std::array<uint8_t, 68> FAnswerBuffer{};
  std::array<uint8_t, 68> FLastRecord{};
  TPending FPending = TPending::None;
  bool FBegun = false;
  uint32_t FRegister11Refused = 0;
  uint32_t FRegister10Refused = 0;
  uint32_t FCommand50Refused = 0;
  uint32_t FReadBacksCorrupted = 0;
};

// CRC-8/MAXIM computed bit by bit, independently of the host's table, so a wrong table shows as a run
// the simulated logger does not answer.
uint8_t SimCrc8(const uint8_t* data, uint32_t count);

// The simulated logger reached through the port interface, in process ("--port sim"). Thread-safe.
class TSimPortOps : public IPortOps {
 public:
  // `clock` is charged the wire time when the logger paces, the adapter's hold (TSimConfig::LatencyMs) for
  // every answer, and the read timeout when an answer is missing, short or held beyond it.
  TSimPortOps(TSimLogger& logger, IClock& clock);
  TPortHandle Open(const std::string& portName) override;
  TPortError OpenError(const std::string& portName) override;
  bool SetLine(TPortHandle h, const TLineSettings& settings) override;
  bool SetQueues(TPortHandle h, uint32_t inSize, uint32_t outSize) override;
  bool SetTimeouts(TPortHandle h, const TTimeouts& timeouts) override;
  bool RaiseDtr(TPortHandle h) override;
  bool ClearErrors(TPortHandle h) override;
  bool Purge(TPortHandle h) override;
  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override;
  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override;
  void Close(TPortHandle h) override;

  // The clock's time when each frame was complete, in the order of TSimLogger::Frames().
  std::vector<uint64_t> FrameTimes();
  // What the host configured last, and whether a port is open now.
  TLineSettings LineSettings();
  TTimeouts Timeouts();
  bool IsOpen();
  uint32_t OpenCount();

 private:
  bool Valid(TPortHandle h) const;
  void ChargeWire(uint32_t bytes);
  // Sleeps the wire time owed, less what earlier sleeps overran.
  void Pay(uint64_t owe);
  static constexpr uint64_t kMaxOverrunMs = 50;

  TSimLogger& FLogger;
  IClock& FClock;
  std::mutex FMutex;
  bool FOpen = false;
  TPortHandle FHandle = kInvalidPort;
  TPortHandle FNextHandle = 0x5100;
  uint32_t FOpenCount = 0;
  TOpenErrors FOpenErrors;
  std::vector<uint8_t> FPending;  // answer bytes waiting to be read
  std::vector<uint8_t> FPartial;  // bytes of a frame written in pieces
  TLineSettings FLine;
  TTimeouts FTimeouts;
  uint64_t FWireMicros = 0;  // wire time owed to the clock below one millisecond
  uint64_t FOverrunMs = 0;   // how much the sleeps so far took longer than asked
  std::vector<uint64_t> FFrameTimes;
};

// Sends the simulated port names to the simulated logger and every other name to the real ports.
class TPortRouter : public IPortOps {
 public:
  TPortRouter(IPortOps& real, IPortOps& sim);
  TPortHandle Open(const std::string& portName) override;
  // The open error of the backend that serves `portName`.
  TPortError OpenError(const std::string& portName) override;
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
  // "sim", and "sim1" to "sim99": each names a simulated logger of its own (one per process).
  static bool IsSimPortName(const std::string& name);

 private:
  // The backend and its own handle for a handle this router gave out; null when unknown.
  IPortOps* Backend(TPortHandle h, TPortHandle& inner);
  IPortOps& FReal;
  IPortOps& FSim;
  std::mutex FMutex;
  std::map<TPortHandle, std::pair<IPortOps*, TPortHandle>> FHandles;
  TPortHandle FNext = 1;
};
