#include "sim/uSimLogger.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

uint8_t SimCrc8(const uint8_t* data, uint32_t count) {
  uint8_t crc = 0;
  for (uint32_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  }
  return crc;
}

// ---------------------------------------------------------------------------------------------------------
// TSimLogger

TSimLogger::TSimLogger(const TSimConfig& config) : FConfig(config), FRandom(config.Faults.RandomKey) {
  // The logger's own tunnel, written again here rather than shared with the host's choice, so that a host
  // that picks the wrong tunnel gets no answer and the tests see it.
  switch (config.LoggerClass) {
    case 0x6601:
      FTunnelCmd = config.LoggerVersion >= 0x0600 ? 2 : 5;
      break;
    case 0x6605:
      FTunnelCmd = 2;
      break;
    case 0x6606:
    case 0x6607:
      FTunnelCmd = 5;
      break;
    default:
      FTunnelCmd = 0;
      break;
  }
  FTunnelSelector = FTunnelCmd == 2 ? 200 : FTunnelCmd == 5 ? 20 : 0;
}

std::array<uint8_t, 7> TSimLogger::ResetFrameFor(uint8_t tunnelCmd) {
  if (tunnelCmd == 2) return {0x82, 0x80, 0x00, 0x22, 0x11, 0x00, 0x00};
  return {0x85, 0x02, 0x00, 0xA5, 0x5A, 0x00, 0x00};
}

bool TSimLogger::Vanished() const {
  return FConfig.Faults.VanishAfterFrames != 0 && FFramesReceived >= FConfig.Faults.VanishAfterFrames;
}

bool TSimLogger::Broken() const {
  return FConfig.Faults.ThrowAfterFrames != 0 && FFramesReceived >= FConfig.Faults.ThrowAfterFrames;
}

// splitmix64: small, fixed and the same on every platform, so a random key replays a run exactly.
uint64_t TSimLogger::NextRandom() {
  uint64_t z = (FRandom += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// No random number is drawn for a fault that is off, so switching one fault on leaves the others'
// choices as they were only when it is the last in the order below.
bool TSimLogger::Chance(uint32_t ppm) {
  if (ppm == 0) return false;
  return NextRandom() % 1000000u < ppm;
}

bool TSimLogger::ServesTunnel(uint8_t cmd, uint8_t selector) const {
  if (FTunnelCmd == 0) return (cmd == 2 && selector == 200) || (cmd == 5 && selector == 20);
  return cmd == FTunnelCmd && selector == FTunnelSelector;
}

bool TSimLogger::IsReset(const uint8_t frame[8]) const {
  auto matches = [frame](uint8_t tunnelCmd) {
    const auto reset = ResetFrameFor(tunnelCmd);
    return std::equal(reset.begin(), reset.end(), frame);
  };
  if (FTunnelCmd == 0) return matches(2) || matches(5);
  return matches(FTunnelCmd);
}

bool TSimLogger::OnFrame(const uint8_t frame[8], uint8_t answer[8], uint32_t& answerLen) {
  std::array<uint8_t, 8> copy;
  std::memcpy(copy.data(), frame, 8);
  FFrames.push_back(copy);
  ++FFramesReceived;
  answerLen = 0;

  const TSimFaults& faults = FConfig.Faults;
  if (faults.SilentAfterFrames != 0 && FFramesReceived > faults.SilentAfterFrames) return false;
  if (std::all_of(copy.begin(), copy.end(), [](uint8_t b) { return b == 0; })) return false;  // wake
  if (SimCrc8(frame, 7) != frame[7]) return false;
  if (IsReset(frame)) {
    // The logger restarts; the controller keeps its flash but forgets the session.
    FResetReceived = true;
    FBegun = false;
    FPending = TPending::None;
    return false;
  }

  std::memset(answer, 0, 8);
  if (frame[0] == 0x81) {
    answer[2] = static_cast<uint8_t>(FConfig.LoggerClass >> 8);
    answer[3] = static_cast<uint8_t>(FConfig.LoggerClass);
    answer[4] = static_cast<uint8_t>(FConfig.LoggerVersion >> 8);
    answer[5] = static_cast<uint8_t>(FConfig.LoggerVersion);
  } else if ((frame[0] & 0x80) != 0 && ServesTunnel(frame[0] & 0x7F, frame[1])) {
    uint8_t word[4];
    answer[1] = Access(frame[2], frame + 3, word);
    answer[2] = frame[2];
    for (int k = 0; k < 4; ++k) answer[3 + k] = static_cast<uint8_t>(~word[k]);
    if (frame[2] == 0) answer[0] |= faults.ProbeStatusBits;
  } else {
    return false;  // a command this logger does not serve
  }
  answer[7] = SimCrc8(answer, 7);
  answerLen = 8;

  if (Chance(faults.LostPpm)) {
    answerLen = 0;
    return false;
  }
  if (Chance(faults.QuorBitPpm)) {
    answer[0] |= 0x20;
    answer[7] = SimCrc8(answer, 7);
  }
  if (Chance(faults.BadCrcPpm)) answer[7] ^= static_cast<uint8_t>(1u << (NextRandom() % 8));
  if (Chance(faults.ShortPpm)) answerLen = static_cast<uint32_t>(NextRandom() % 8);
  return true;
}

uint8_t TSimLogger::Refuse(uint8_t status, uint32_t count, uint32_t& done) {
  if (status == 0) return 0;
  if (count == 0) return status;
  if (done < count) {
    ++done;
    return status;
  }
  return 0;
}

uint8_t TSimLogger::Access(uint8_t reg, const uint8_t d[4], uint8_t word[4]) {
  std::memcpy(word, d, 4);
  if (reg >= 0x80 && reg <= 0x90) {
    const size_t at = static_cast<size_t>(reg - 0x80) * 4;
    std::memcpy(FHostBuffer.data() + at, d, 4);
    std::memcpy(word, FAnswerBuffer.data() + at, 4);
    return 0;
  }
  switch (reg) {
    case 0:
    case 1:
    case 2:
    case 3:
      return 0;
    case 10:
      return RequestAnswer(d[3]);
    case 11:
      return HandOver(d[3]);
    default:
      return kStatusUnknownRegister;
  }
}

uint8_t TSimLogger::HandOver(uint8_t n) {
  const TSimFaults& faults = FConfig.Faults;
  const auto& buf = FHostBuffer;
  if (n == 5 && buf[0] == 1 && buf[1] == 0 && buf[2] == 0 && buf[3] == 5) {
    switch (buf[4]) {
      case 32:
        if (faults.IdentityRequestStatus != 0) return faults.IdentityRequestStatus;
        FPending = TPending::Identity;
        return 0;
      case 49:
        if (faults.Command49Status != 0) return faults.Command49Status;
        // Begin erases: whatever an earlier, broken-off update left is gone.
        FBegun = true;
        FFinished = false;
        FProgrammed.clear();
        FPending = TPending::None;
        return 0;
      case 50: {
        // A finish repeated because its answer was lost is accepted again, not refused as out of order.
        if (FFinished) return 0;
        if (!FBegun) return kStatusNotBegun;
        const uint8_t status = Refuse(faults.Command50Status, faults.Command50Refusals, FCommand50Refused);
        if (status != 0) return status;
        FFinished = true;
        FBegun = false;
        FPending = TPending::None;
        return 0;
      }
      default:
        return kStatusUnknownPacket;
    }
  }
  if (n == 68) {
    if (!FBegun) return kStatusNotBegun;
    const uint8_t status = Refuse(faults.Register11Status, faults.Register11Refusals, FRegister11Refused);
    if (status != 0) return status;
    if (buf[0] != 0x40 || buf[3] != 0) return kStatusBadRecord;
    std::array<uint8_t, 64> data;
    std::copy(buf.begin() + 4, buf.end(), data.begin());
    FProgrammed[static_cast<uint16_t>(buf[1] << 8 | buf[2])] = data;
    FLastRecord = buf;
    FPending = TPending::Record;
    return 0;
  }
  return kStatusUnknownPacket;
}

uint8_t TSimLogger::RequestAnswer(uint8_t n) {
  const TSimFaults& faults = FConfig.Faults;
  if (n == 10 && FPending == TPending::Identity) {
    if (faults.IdentityAnswerStatus != 0) return faults.IdentityAnswerStatus;
    FAnswerBuffer.fill(0);
    const uint8_t identity[12] = {6,
                                  0,
                                  0,
                                  static_cast<uint8_t>(faults.IdentityWrongLayout ? 4 : 5),
                                  static_cast<uint8_t>(FConfig.Platform >> 8),
                                  static_cast<uint8_t>(FConfig.Platform),
                                  static_cast<uint8_t>(FConfig.Print >> 8),
                                  static_cast<uint8_t>(FConfig.Print),
                                  2,  // bootloader generation and version, which the host ignores
                                  1,
                                  0,
                                  0};
    std::copy(std::begin(identity), std::end(identity), FAnswerBuffer.begin());
    return 0;
  }
  if (n == 68 && FPending == TPending::Record) {
    const uint8_t status = Refuse(faults.Register10Status, faults.Register10Refusals, FRegister10Refused);
    if (status != 0) return status;
    FAnswerBuffer = FLastRecord;
    if (FReadBacksCorrupted < faults.ReadBackCorruptions) {
      ++FReadBacksCorrupted;
      const size_t at = static_cast<size_t>(NextRandom() % FAnswerBuffer.size());
      FAnswerBuffer[at] ^= static_cast<uint8_t>(1 + NextRandom() % 255);
    }
    return 0;
  }
  return kStatusNoAnswer;
}

// ---------------------------------------------------------------------------------------------------------
// TSimPortOps

TSimPortOps::TSimPortOps(TSimLogger& logger, IClock& clock) : FLogger(logger), FClock(clock) {}

TPortError TSimPortOps::OpenError(const std::string& portName) {
  return FOpenErrors.Get(portName);
}

bool TSimPortOps::Valid(TPortHandle h) const {
  return FOpen && h == FHandle && !FLogger.Vanished();
}

TPortHandle TSimPortOps::Open(const std::string& portName) {
  std::lock_guard<std::mutex> lock(FMutex);
  // Exclusive, like a real port; a vanished logger is a port that is gone.
  if (FOpen || FLogger.Vanished()) {
    FOpenErrors.Set(portName, {FOpen ? TPortFailure::Busy : TPortFailure::NotFound, 0});
    return kInvalidPort;
  }
  FOpenErrors.Set(portName, {TPortFailure::None, 0});
  FOpen = true;
  FHandle = FNextHandle++;
  ++FOpenCount;
  FPending.clear();
  FPartial.clear();
  return FHandle;
}

bool TSimPortOps::SetLine(TPortHandle h, const TLineSettings& settings) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!Valid(h)) return false;
  FLine = settings;
  return true;
}

bool TSimPortOps::SetQueues(TPortHandle h, uint32_t, uint32_t) {
  std::lock_guard<std::mutex> lock(FMutex);
  return Valid(h);
}

bool TSimPortOps::SetTimeouts(TPortHandle h, const TTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!Valid(h)) return false;
  FTimeouts = timeouts;
  return true;
}

bool TSimPortOps::RaiseDtr(TPortHandle h) {
  std::lock_guard<std::mutex> lock(FMutex);
  return Valid(h);
}

bool TSimPortOps::ClearErrors(TPortHandle h) {
  std::lock_guard<std::mutex> lock(FMutex);
  return Valid(h);
}

bool TSimPortOps::Purge(TPortHandle h) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!Valid(h)) return false;
  FPending.clear();
  FPartial.clear();
  return true;
}

void TSimPortOps::ChargeWire(uint32_t bytes) {
  const uint32_t baud = FLogger.Config().PaceBaud;
  if (baud == 0) return;
  // Ten bits a byte (start, eight data, stop); the fraction of a millisecond is carried to the next charge.
  FWireMicros += static_cast<uint64_t>(bytes) * 10u * 1000000u / baud;
}

bool TSimPortOps::Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) {
  uint64_t owe = 0;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    written = 0;
    if (!Valid(h)) return false;
    if (FLogger.Broken()) throw std::runtime_error("simulated port driver fault");
    ChargeWire(count);
    owe = FWireMicros / 1000;
    FWireMicros %= 1000;
    for (uint32_t i = 0; i < count; ++i) {
      FPartial.push_back(data[i]);
      if (FPartial.size() < 8) continue;
      uint8_t answer[8];
      uint32_t answerLen = 0;
      FFrameTimes.push_back(FClock.NowMs() + owe);
      if (FLogger.OnFrame(FPartial.data(), answer, answerLen))
        FPending.insert(FPending.end(), answer, answer + answerLen);
      FPartial.clear();
    }
    written = count;
  }
  Pay(owe);
  return true;
}

bool TSimPortOps::Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) {
  uint64_t owe = 0;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    got = 0;
    if (!Valid(h)) return false;
    const uint64_t timeout = static_cast<uint64_t>(FTimeouts.ReadTotalTimeoutMultiplier) * count +
                             FTimeouts.ReadTotalTimeoutConstant;
    uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(FPending.size()));
    if (n < count) {
      // The read waited for the whole timeout; the bytes that did come are inside it.
      owe = timeout;
    } else {
      ChargeWire(n);
      owe = FWireMicros / 1000 + AdapterHoldMs(n, FLogger.Config().LatencyMs);
      FWireMicros %= 1000;
      if (owe > timeout) {
        // Still held in the adapter when the read gave up: it ends empty, and the purge before the next
        // frame drops the answer that comes later.
        n = 0;
        owe = timeout;
      }
    }
    std::copy(FPending.begin(), FPending.begin() + n, data);
    FPending.erase(FPending.begin(), FPending.begin() + n);
    got = n;
  }
  Pay(owe);
  return true;
}

void TSimPortOps::Pay(uint64_t owe) {
  if (owe == 0) return;
  // A real line does not wait for a late sleeper: what a sleep overran (coarse timers, a busy machine) is
  // taken off the next wait, so the pace holds on average. Bounded, so a stalled process gains no burst.
  uint64_t due = owe;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    const uint64_t credit = std::min(FOverrunMs, due);
    FOverrunMs -= credit;
    due -= credit;
  }
  if (due == 0) return;
  const uint64_t before = FClock.NowMs();
  FClock.Sleep(static_cast<uint32_t>(due));
  const uint64_t took = FClock.NowMs() - before;
  std::lock_guard<std::mutex> lock(FMutex);
  if (took > due) FOverrunMs = std::min<uint64_t>(FOverrunMs + (took - due), kMaxOverrunMs);
}

void TSimPortOps::Close(TPortHandle h) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!FOpen || h != FHandle) return;
  FOpen = false;
  FHandle = kInvalidPort;
  FPending.clear();
  FPartial.clear();
}

std::vector<uint64_t> TSimPortOps::FrameTimes() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FFrameTimes;
}

TLineSettings TSimPortOps::LineSettings() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FLine;
}

TTimeouts TSimPortOps::Timeouts() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FTimeouts;
}

bool TSimPortOps::IsOpen() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FOpen;
}

uint32_t TSimPortOps::OpenCount() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FOpenCount;
}

// ---------------------------------------------------------------------------------------------------------
// TPortRouter

TPortRouter::TPortRouter(IPortOps& real, IPortOps& sim) : FReal(real), FSim(sim) {}

bool TPortRouter::IsSimPortName(const std::string& name) {
  if (name == kSimPortName) return true;
  if (name.size() < 4 || name.size() > 5 || name.compare(0, 3, kSimPortName) != 0) return false;
  if (name[3] < '1' || name[3] > '9') return false;  // no leading zero: "sim01" is not a name
  return name.size() == 4 || (name[4] >= '0' && name[4] <= '9');
}

TPortHandle TPortRouter::Open(const std::string& portName) {
  IPortOps* backend = IsSimPortName(portName) ? &FSim : &FReal;
  const TPortHandle inner = backend->Open(portName);
  if (inner == kInvalidPort) return kInvalidPort;
  std::lock_guard<std::mutex> lock(FMutex);
  const TPortHandle h = FNext++;
  FHandles[h] = {backend, inner};
  return h;
}

TPortError TPortRouter::OpenError(const std::string& portName) {
  return (portName == kSimPortName ? FSim : FReal).OpenError(portName);
}

IPortOps* TPortRouter::Backend(TPortHandle h, TPortHandle& inner) {
  std::lock_guard<std::mutex> lock(FMutex);
  const auto it = FHandles.find(h);
  if (it == FHandles.end()) return nullptr;
  inner = it->second.second;
  return it->second.first;
}

bool TPortRouter::SetLine(TPortHandle h, const TLineSettings& settings) {
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->SetLine(inner, settings);
}

bool TPortRouter::SetQueues(TPortHandle h, uint32_t inSize, uint32_t outSize) {
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->SetQueues(inner, inSize, outSize);
}

bool TPortRouter::SetTimeouts(TPortHandle h, const TTimeouts& timeouts) {
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->SetTimeouts(inner, timeouts);
}

bool TPortRouter::RaiseDtr(TPortHandle h) {
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->RaiseDtr(inner);
}

bool TPortRouter::ClearErrors(TPortHandle h) {
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->ClearErrors(inner);
}

bool TPortRouter::Purge(TPortHandle h) {
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->Purge(inner);
}

bool TPortRouter::Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) {
  written = 0;
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->Write(inner, data, count, written);
}

bool TPortRouter::Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) {
  got = 0;
  TPortHandle inner;
  IPortOps* b = Backend(h, inner);
  return b != nullptr && b->Read(inner, data, count, got);
}

void TPortRouter::Close(TPortHandle h) {
  IPortOps* backend = nullptr;
  TPortHandle inner = kInvalidPort;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    const auto it = FHandles.find(h);
    if (it == FHandles.end()) return;
    backend = it->second.first;
    inner = it->second.second;
    FHandles.erase(it);
  }
  backend->Close(inner);
}
