#include "tests/soak/uSoak.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "device/uCommThread.h"
#include "device/uEventTexts.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "firmware/uNames.h"
#include "tests/support/uVirtualClock.h"

namespace {

// splitmix64: every choice of a run follows from its key, so a failing run can be replayed alone.
class TRandom {
 public:
  explicit TRandom(uint64_t key) : FState(key) {}
  uint64_t Next() {
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  uint32_t Between(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

 private:
  uint64_t FState;
};

// The frames of a complete run without faults: two wake frames, command 1, probe, three wake accesses,
// identity request (3) and answer (1 + 3), command 49 (3), 36 per record, command 50 (3), register 1,
// the reset frame.
uint32_t CleanFrames(size_t records) {
  return 22 + 36 * static_cast<uint32_t>(records);
}
// Frames up to and including the identity words, where "Read info only" stops.
constexpr uint32_t kFramesToIdentity = 14;

// A HEX line parsed here on its own, so the soak does not judge the codec by itself.
struct TParsedLine {
  uint8_t Count = 0;
  uint16_t Address = 0;
  uint8_t Type = 0;
  std::vector<uint8_t> Data;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseLine(const std::string& line, TParsedLine& out) {
  if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i < line.size(); i += 2) {
    const int hi = HexValue(line[i]);
    const int lo = HexValue(line[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  if (bytes[0] > 64 || bytes.size() != bytes[0] + 5u) return false;
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0) return false;
  out.Count = bytes[0];
  out.Address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  out.Type = bytes[3];
  out.Data.assign(bytes.begin() + 4, bytes.end() - 1);
  return true;
}

std::string MakeLine(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  static const char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  for (uint8_t b : bytes) {
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
  }
  return line;
}

// What the controller holds once lines 0 to upTo - 1 went through: every full data record by address.
std::map<uint16_t, std::vector<uint8_t>> DataRecords(const std::vector<std::string>& lines, size_t upTo) {
  std::map<uint16_t, std::vector<uint8_t>> records;
  for (size_t i = 0; i < upTo && i < lines.size(); ++i) {
    TParsedLine parsed;
    if (ParseLine(lines[i], parsed) && parsed.Count == 0x40 && parsed.Type == 0)
      records[parsed.Address] = parsed.Data;
  }
  return records;
}

// The lines of an embedded image, read once.
const std::vector<std::string>& ImageLines(int32_t image) {
  static std::map<int32_t, std::vector<std::string>> cache;
  auto [it, fresh] = cache.try_emplace(image);
  if (fresh) {
    TBl3FileHeader header;
    int32_t last = 0;
    std::string line;
    AccessImage(image, 1, 0, header, last, line);
    for (int32_t i = 0; i <= last; ++i) {
      int32_t ignored = 0;
      AccessImage(image, 2, i, header, ignored, line);
      it->second.push_back(line);
    }
  }
  return it->second;
}

bool ServedLogger(uint16_t loggerClass) {
  return loggerClass == 0x6601 || loggerClass == 0x6605 || loggerClass == 0x6606 || loggerClass == 0x6607;
}

void PickLogger(TRandom& rnd, TSimConfig& config) {
  static const uint16_t kClasses[] = {0x6601, 0x6605, 0x6606, 0x6607};
  config.LoggerClass = kClasses[rnd.Below(4)];
  switch (rnd.Below(4)) {
    case 0:
      config.LoggerVersion = 0x05FF;  // the last version that uses the old tunnel
      break;
    case 1:
      config.LoggerVersion = 0x0600;
      break;
    default:
      config.LoggerVersion = static_cast<uint16_t>(rnd.Next());
      break;
  }
}

// A frame number for a fault that strikes at one frame: often a boundary of the run, else anywhere.
uint32_t PickFrame(TRandom& rnd, uint32_t frames) {
  if (rnd.OneIn(3)) {
    const uint32_t edges[] = {1, 2, 3, 4, frames - 2, frames - 1, frames, frames + 1};
    return edges[rnd.Below(8)];
  }
  return rnd.Between(1, frames + 1);
}

// Light answer faults that the link's retries absorb; five failures in a row are possible, though rare. A
// frame whose answer was lost reaches the controller twice; the simulated controller takes every repeat as
// the same request, a repeated command 50 included.
void AddNoise(TRandom& rnd, TSoakPlan& p) {
  TSimFaults& f = p.Config.Faults;
  f.LostPpm = rnd.OneIn(2) ? rnd.Between(1, 30000) : 0;
  f.ShortPpm = rnd.OneIn(2) ? rnd.Between(1, 30000) : 0;
  f.BadCrcPpm = rnd.OneIn(2) ? rnd.Between(1, 30000) : 0;
  if (f.LostPpm + f.ShortPpm + f.BadCrcPpm == 0) f.LostPpm = rnd.Between(1, 30000);
  p.Allowed.insert(kEndRepeat);
  p.Noise = true;
  p.Detail += " noise lost " + std::to_string(f.LostPpm) + " short " + std::to_string(f.ShortPpm) + " crc " +
              std::to_string(f.BadCrcPpm) + " ppm;";
}

uint8_t NonZero(TRandom& rnd) {
  return static_cast<uint8_t>(rnd.Between(1, 255));
}

void PlanFileImage(TRandom& rnd, TSoakPlan& p, const std::vector<std::string>& imageLines) {
  p.UseFile = true;
  GetImageHeader(p.Image, p.FileHeaderValue);
  std::vector<std::string> lines = imageLines;
  const size_t last = lines.size() - 1;
  switch (rnd.Below(7)) {
    case 0:
      p.Fault = "file image";
      break;
    case 1: {
      p.Fault = "file image, other class";
      p.FileHeaderValue.quor_class = static_cast<uint16_t>(rnd.Next());
      if (p.FileHeaderValue.quor_class == kSdCardClass) p.FileHeaderValue.quor_class = 0x6601;
      p.CheckClassValue = rnd.OneIn(2);
      if (p.CheckClassValue) p.Allowed = {47};
      p.Detail = p.CheckClassValue ? " class checked;" : " class not checked;";
      break;
    }
    case 2:
      p.Fault = "file image, other bootloader";
      p.FileHeaderValue.quor_bl = rnd.OneIn(2) ? 3 : 0xFFFF;
      p.Allowed = {47};
      break;
    case 3: {
      p.Fault = "file image, bad line";
      const size_t at = rnd.Below(static_cast<uint32_t>(last));
      std::string& line = lines[at];
      switch (rnd.Below(5)) {
        case 0:
          for (char& c : line)
            if (c >= 'A' && c <= 'F') {
              c = static_cast<char>(c - 'A' + 'a');
              break;
            }
          break;
        case 1:
          line[5] = line[5] == '0' ? '1' : '0';  // the address changes, the checksum does not
          break;
        case 2:
          line += ' ';
          break;
        case 3:
          line.clear();
          break;
        default:
          line = line.substr(0, line.size() - 2);
          break;
      }
      p.Allowed = {43};
      p.ConversionErrorLine = static_cast<int32_t>(at);
      p.Records = DataRecords(lines, at);
      p.CheckRecordsOnFailure = true;
      p.Detail = " line " + std::to_string(at) + ";";
      p.FileLinesValue = lines;
      return;
    }
    case 4: {
      p.Fault = "file image, bad last line";
      switch (rnd.Below(5)) {
        case 0:
          lines[last] = ":00000001ff";
          break;
        case 1:
          lines[last] += ' ';
          break;
        case 2:
          lines.push_back("");
          break;
        case 3:
          lines.pop_back();
          break;
        default:
          lines.resize(rnd.Below(2));  // nothing, or a single line
          break;
      }
      p.Allowed = {42};
      p.Records.clear();
      p.CheckRecordsOnFailure = true;
      p.FileLinesValue = lines;
      return;
    }
    default: {
      // Short records and extended-address records are decoded but never sent.
      p.Fault = "file image, lines not sent";
      const uint32_t extra = rnd.Between(1, 4);
      for (uint32_t k = 0; k < extra; ++k) {
        const size_t at = rnd.Below(static_cast<uint32_t>(lines.size()));
        std::vector<uint8_t> data(rnd.OneIn(2) ? 2 : rnd.Between(0, 63));
        for (uint8_t& b : data) b = static_cast<uint8_t>(rnd.Next());
        const uint8_t type = data.size() == 2 ? (rnd.OneIn(2) ? 2 : 4) : 0;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), MakeLine(type, 0, data));
      }
      break;
    }
  }
  p.FileLinesValue = lines;
  p.Records = DataRecords(lines, lines.size() - 1);
}

// ---------------------------------------------------------------------------------------------------------
// Watchers around the port and the event sink of a run.

class TProblems {
 public:
  void Add(const std::string& text) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (std::find(FList.begin(), FList.end(), text) == FList.end()) FList.push_back(text);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FList;
  }

 private:
  std::mutex FMutex;
  std::vector<std::string> FList;
};

// Passes every operation on and notes what the worker does with the port: use after close, frames written
// after an answer with bit 0x20. Makes the faults of the port itself: the k-th call of one operation
// fails, the k-th write takes fewer than 8 bytes, and the cancel at a chosen frame.
class TWatchedPort : public IPortOps {
 public:
  TWatchedPort(IPortOps& inner, const TSoakPlan& plan, TProblems& problems)
      : FInner(inner), FPlan(plan), FProblems(problems) {}

  TPortHandle Open(const std::string& portName) override {
    if (FOpen) FProblems.Add("port opened twice");
    if (Fails(TSoakPortOp::Open)) return kInvalidPort;
    const TPortHandle h = FInner.Open(portName);
    if (h != kInvalidPort) {
      FOpen = true;
      FHandle = h;
      ++FOpens;
    }
    return h;
  }
  bool SetLine(TPortHandle h, const TLineSettings& s) override {
    return Check(h) && !Fails(TSoakPortOp::Line) && FInner.SetLine(h, s);
  }
  bool SetQueues(TPortHandle h, uint32_t in, uint32_t out) override {
    return Check(h) && !Fails(TSoakPortOp::Queues) && FInner.SetQueues(h, in, out);
  }
  bool SetTimeouts(TPortHandle h, const TTimeouts& t) override {
    return Check(h) && !Fails(TSoakPortOp::Timeouts) && FInner.SetTimeouts(h, t);
  }
  bool RaiseDtr(TPortHandle h) override { return Check(h) && !Fails(TSoakPortOp::Dtr) && FInner.RaiseDtr(h); }
  bool ClearErrors(TPortHandle h) override {
    return Check(h) && !Fails(TSoakPortOp::Clear) && FInner.ClearErrors(h);
  }
  bool Purge(TPortHandle h) override { return Check(h) && !Fails(TSoakPortOp::Purge) && FInner.Purge(h); }
  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override {
    written = 0;
    if (!Check(h) || Fails(TSoakPortOp::Write)) return false;
    if (FQuorSeen) FProblems.Add("frame written after an answer with bit 0x20");
    if (++FWrites == FPlan.ShortWriteAt) {
      written = FWrites % 8;  // the rest never reached the line
      return true;
    }
    const bool ok = FInner.Write(h, data, count, written);
    if (ok && written == 8 && ++FFrames == FPlan.CancelAtFrame) CancelRequested = true;
    return ok;
  }
  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override {
    got = 0;
    if (!Check(h) || Fails(TSoakPortOp::Read)) return false;
    const bool ok = FInner.Read(h, data, count, got);
    if (ok && got == 8 && (data[0] & 0x20) != 0 && SimCrc8(data, 7) == data[7]) FQuorSeen = true;
    return ok;
  }
  void Close(TPortHandle h) override {
    if (!FOpen || h != FHandle) {
      FProblems.Add("close of a port that is not open");
      return;
    }
    FOpen = false;
    ++FCloses;
    FInner.Close(h);
  }

  bool IsOpen() const { return FOpen; }
  uint32_t Opens() const { return FOpens; }
  uint32_t Closes() const { return FCloses; }
  bool QuorSeen() const { return FQuorSeen; }

 private:
  bool Check(TPortHandle h) {
    if (!FOpen || h != FHandle) FProblems.Add("port operation on a handle that is not open");
    return true;
  }
  bool Fails(TSoakPortOp op) {
    if (op != FPlan.FailOp) return false;
    return ++FCalls == FPlan.FailAt;
  }

  IPortOps& FInner;
  const TSoakPlan& FPlan;
  TProblems& FProblems;
  std::atomic<bool> FOpen{false};
  TPortHandle FHandle = kInvalidPort;
  uint32_t FOpens = 0;
  uint32_t FCloses = 0;
  uint32_t FFrames = 0;
  uint32_t FWrites = 0;
  uint32_t FCalls = 0;
  bool FQuorSeen = false;
};

bool IsFinal(uint32_t code) {
  return code == evCompleted || code == evFailed || code == evCommFailure;
}

// Keeps every event, notes one posted after the final event or while the port is still open, and passes
// them on to the queue the test waits on.
class TWatchedSink : public IEventSink {
 public:
  TWatchedSink(TEventQueue& queue, const TWatchedPort& port, TProblems& problems)
      : FQueue(queue), FPort(port), FProblems(problems) {}
  void Post(intptr_t hWindow, uint32_t code, int32_t value) override {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FFinalSeen) FProblems.Add("event " + std::to_string(code) + " posted after the final event");
      if (IsFinal(code)) {
        FFinalSeen = true;
        if (FPort.IsOpen()) FProblems.Add("final event posted while the port is open");
      }
      FEvents.push_back({code, value});
    }
    FQueue.Post(hWindow, code, value);
  }
  std::vector<TWorkerEvent> Events() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FEvents;
  }

 private:
  TEventQueue& FQueue;
  const TWatchedPort& FPort;
  TProblems& FProblems;
  std::mutex FMutex;
  bool FFinalSeen = false;
  std::vector<TWorkerEvent> FEvents;
};

std::array<uint8_t, 8> ResetFrame(uint8_t tunnelCmd) {
  const auto head = TSimLogger::ResetFrameFor(tunnelCmd);
  std::array<uint8_t, 8> frame{};
  std::copy(head.begin(), head.end(), frame.begin());
  frame[7] = SimCrc8(frame.data(), 7);
  return frame;
}

int32_t CountEvents(const std::vector<TWorkerEvent>& events, uint32_t code, int32_t value) {
  return static_cast<int32_t>(std::count_if(events.begin(), events.end(), [&](const TWorkerEvent& e) {
    return e.code == code && e.value == value;
  }));
}

int32_t CountCode(const std::vector<TWorkerEvent>& events, uint32_t code) {
  return static_cast<int32_t>(
      std::count_if(events.begin(), events.end(), [&](const TWorkerEvent& e) { return e.code == code; }));
}

}  // namespace

std::string EndName(int32_t end) {
  if (end == kEndSuccess) return "event 0 (completed)";
  if (end == kEndRepeat) return "event 13 (repeat)";
  return "outcome " + std::to_string(end);
}

TSoakPlan MakePlan(uint64_t key) {
  TRandom rnd(key);
  TSoakPlan p;
  p.Key = key;
  p.Config.Faults.RandomKey = rnd.Next() | 1;
  p.Threaded = rnd.OneIn(4);
  p.UseRouter = rnd.OneIn(4);
  p.Config.PaceBaud = rnd.OneIn(4) ? 9600 : 0;
  PickLogger(rnd, p.Config);
  p.Image = static_cast<int32_t>(rnd.Between(1, 3));
  TBl3FileHeader header;
  GetImageHeader(p.Image, header);
  p.Config.Platform = header.quor_platform;
  p.Config.Print = header.quor_print;
  const std::vector<std::string>& lines = ImageLines(p.Image);
  p.Records = DataRecords(lines, lines.size() - 1);
  const uint32_t frames = CleanFrames(p.Records.size());
  p.Allowed = {kEndSuccess};
  TSimFaults& f = p.Config.Faults;

  enum {
    kClean,
    kNoise,
    kQuorBit,
    kProbe,
    kIdentityRequest,
    kIdentityAnswer,
    kLayout,
    kCommand49,
    kRegister11,
    kRegister10,
    kCommand50,
    kReadBack,
    kSilent,
    kVanish,
    kThrow,
    kCancel,
    kUnknownLogger,
    kUnknownController,
    kInfoOnly,
    kFile,
    kPortCall,
    kShortWrite,
    kWindowCancel,
    kKinds
  };
  // The clean run and the light noise count twice: they are the runs that program the whole image.
  uint32_t kind = rnd.Below(kKinds + 2);
  if (kind >= kKinds) kind = kind == kKinds ? kClean : kNoise;
  switch (kind) {
    case kClean:
      p.Fault = "none";
      break;
    case kNoise:
      p.Fault = "light noise";
      AddNoise(rnd, p);
      break;
    case kQuorBit:
      p.Fault = "bit 0x20 in answers";
      f.QuorBitPpm = rnd.OneIn(4) ? 1000000 : rnd.Between(1, 300);
      p.Allowed = {kEndSuccess, 41};
      p.Detail = " " + std::to_string(f.QuorBitPpm) + " ppm;";
      break;
    case kProbe:
      p.Fault = "probe status bits";
      f.ProbeStatusBits =
          static_cast<uint8_t>(rnd.OneIn(3) ? rnd.Between(1, 0x1F) : NonZero(rnd) | 0x20 << rnd.Below(3));
      if (f.ProbeStatusBits & 0xE0) p.Allowed = {41};
      p.Detail = " bits " + std::to_string(f.ProbeStatusBits) + ";";
      if (rnd.OneIn(4)) AddNoise(rnd, p);
      break;
    case kIdentityRequest:
      p.Fault = "identity request refused";
      f.IdentityRequestStatus = NonZero(rnd);
      p.Allowed = {48};
      p.TxStatusEvents = 1;
      p.TxStatusValue = f.IdentityRequestStatus;
      if (rnd.OneIn(4)) AddNoise(rnd, p);
      break;
    case kIdentityAnswer:
      p.Fault = "identity answer refused";
      f.IdentityAnswerStatus = NonZero(rnd);
      p.Allowed = {48};
      p.RxStatusEvents = 1;
      p.RxStatusValue = f.IdentityAnswerStatus;
      if (rnd.OneIn(4)) AddNoise(rnd, p);
      break;
    case kLayout:
      p.Fault = "identity answer layout";
      f.IdentityWrongLayout = true;
      p.Allowed = {48};
      p.RxStatusEvents = 1;
      p.RxStatusValue = 0x100;
      if (rnd.OneIn(4)) AddNoise(rnd, p);
      break;
    case kCommand49:
      p.Fault = "command 49 refused";
      f.Command49Status = NonZero(rnd);
      p.Allowed = {48};
      p.TxStatusEvents = 1;
      p.TxStatusValue = 0x200 + f.Command49Status;
      if (rnd.OneIn(4)) AddNoise(rnd, p);
      break;
    case kRegister11: {
      p.Fault = "record hand-over refused";
      f.Register11Status = NonZero(rnd);
      f.Register11Refusals = rnd.Between(0, 7);
      const uint32_t r = f.Register11Refusals;
      if (r == 0 || r >= 5) p.Allowed = {44};
      p.TxStatusEvents = r == 0 ? 5 : static_cast<int32_t>(std::min(r, 5u));
      p.TxStatusValue = 0x300 + f.Register11Status;
      p.Detail = " " + std::to_string(r) + " times;";
      break;
    }
    case kRegister10: {
      p.Fault = "record read-back request refused";
      f.Register10Status = NonZero(rnd);
      static const uint32_t kCounts[] = {0, 1, 4, 5, 6, 9, 10, 20, 24, 25, 26, 30};
      f.Register10Refusals = rnd.OneIn(2) ? kCounts[rnd.Below(12)] : rnd.Between(0, 30);
      const uint32_t r = f.Register10Refusals;
      if (r == 0 || r >= 25) p.Allowed = {44};
      p.RxStatusEvents = r == 0 ? 5 : static_cast<int32_t>(std::min(r / 5, 5u));
      p.RxStatusValue = 0x300 + f.Register10Status;
      p.Detail = " " + std::to_string(r) + " times;";
      break;
    }
    case kCommand50: {
      p.Fault = "command 50 refused";
      f.Command50Status = NonZero(rnd);
      f.Command50Refusals = rnd.Between(0, 7);
      const uint32_t r = f.Command50Refusals;
      if (r == 0 || r >= 5) p.Allowed = {44};
      p.TxStatusEvents = r == 0 ? 5 : static_cast<int32_t>(std::min(r, 5u));
      p.TxStatusValue = 0x400 + f.Command50Status;
      p.Detail = " " + std::to_string(r) + " times;";
      break;
    }
    case kReadBack:
      p.Fault = "read-back corrupted";
      f.ReadBackCorruptions = rnd.Between(1, 7);
      if (f.ReadBackCorruptions >= 5) p.Allowed = {44};
      p.VerifyErrorEvents = static_cast<int32_t>(std::min(f.ReadBackCorruptions, 5u));
      p.Detail = " " + std::to_string(f.ReadBackCorruptions) + " times;";
      break;
    case kSilent:
      p.Fault = "silent logger";
      f.SilentAfterFrames = PickFrame(rnd, frames);
      // The last frame that wants an answer is the one before the reset frame.
      if (f.SilentAfterFrames < frames - 1) p.Allowed = {kEndRepeat};
      p.Detail =
          " after frame " + std::to_string(f.SilentAfterFrames) + " of " + std::to_string(frames) + ";";
      break;
    case kVanish:
      p.Fault = "port vanishes";
      f.VanishAfterFrames = PickFrame(rnd, frames);
      if (f.VanishAfterFrames < frames) p.Allowed = {11, kEndRepeat};
      p.Detail =
          " after frame " + std::to_string(f.VanishAfterFrames) + " of " + std::to_string(frames) + ";";
      break;
    case kThrow:
      p.Fault = "port driver throws";
      f.ThrowAfterFrames = PickFrame(rnd, frames);
      if (f.ThrowAfterFrames < frames) p.Allowed = {0};
      p.Detail = " after frame " + std::to_string(f.ThrowAfterFrames) + " of " + std::to_string(frames) + ";";
      break;
    case kCancel:
      p.Fault = "cancel";
      p.CancelAtFrame = PickFrame(rnd, frames);
      if (p.CancelAtFrame < frames) p.Allowed = {20};
      p.Detail = " at frame " + std::to_string(p.CancelAtFrame) + " of " + std::to_string(frames) + ";";
      break;
    case kUnknownLogger:
      p.Fault = "logger not served";
      do {
        p.Config.LoggerClass =
            rnd.OneIn(2) ? static_cast<uint16_t>(0x6600 + rnd.Below(16)) : static_cast<uint16_t>(rnd.Next());
      } while (ServedLogger(p.Config.LoggerClass));
      p.Allowed = {40};
      p.MaxFrames = 3;
      if (rnd.OneIn(4)) AddNoise(rnd, p);
      break;
    case kUnknownController:
    case kInfoOnly: {
      p.ReadInfoOnlyValue = kind == kInfoOnly;
      p.Fault = p.ReadInfoOnlyValue ? "read info only" : "no image fits";
      if (!p.ReadInfoOnlyValue || rnd.OneIn(4)) {
        // Either a platform or print the tables do not name, or named codes of two different images.
        TBl3FileHeader other;
        GetImageHeader(p.Image % 3 + 1, other);
        if (rnd.OneIn(2)) {
          p.Config.Platform = static_cast<uint16_t>(rnd.Between(29, 0xFFFD));
        } else {
          p.Config.Print = other.quor_print;
        }
        p.Allowed = {47};
        p.Detail = " platform " + std::to_string(p.Config.Platform) + " print " +
                   std::to_string(p.Config.Print) + ";";
      } else {
        p.Allowed = {70};
      }
      p.MaxFrames = static_cast<int32_t>(kFramesToIdentity);
      if (rnd.OneIn(4)) AddNoise(rnd, p);
      break;
    }
    case kFile:
      PlanFileImage(rnd, p, lines);
      break;
    case kPortCall: {
      p.FailOp = static_cast<TSoakPortOp>(rnd.Between(1, 9));
      static const char* const kNames[] = {"",    "open",         "line settings", "queues", "timeouts",
                                           "DTR", "clear errors", "purge",         "write",  "read"};
      p.Fault = std::string("port call fails: ") + kNames[static_cast<int>(p.FailOp)];
      if (p.FailOp <= TSoakPortOp::Dtr) {
        // Opening or configuring the port: nothing is sent, a configured port is closed again.
        p.FailAt = 1;
        p.Allowed = {10};
        p.MaxFrames = 0;
        if (p.FailOp == TSoakPortOp::Open) p.ExpectedOpens = 0;
        break;
      }
      // Every frame clears, purges and writes; all but the wake and reset frames read.
      const uint32_t calls = p.FailOp == TSoakPortOp::Read ? frames - 3 : frames;
      p.FailAt = PickFrame(rnd, calls);
      if (p.FailAt <= calls) p.Allowed = {11};
      p.Detail = " call " + std::to_string(p.FailAt) + " of " + std::to_string(calls) + ";";
      break;
    }
    case kShortWrite:
      p.Fault = "short write";
      p.ShortWriteAt = PickFrame(rnd, frames);
      p.Detail = " write " + std::to_string(p.ShortWriteAt) + " of " + std::to_string(frames) + ";";
      break;
    case kWindowCancel:
      // Cancel pressed on another thread while the worker runs: it stops at its next frame, unless it has
      // just finished.
      p.Fault = "cancel from the window thread";
      p.Threaded = true;
      p.CancelAtProgress = static_cast<int32_t>(rnd.Between(1, 98));
      p.Allowed = {20, kEndSuccess};
      p.Detail = " at " + std::to_string(p.CancelAtProgress) + "%;";
      break;
  }
  if (p.Allowed.count(kEndSuccess) == 0 && !p.CheckRecordsOnFailure) p.Records.clear();
  return p;
}

TSoakResult RunPlan(const TSoakPlan& plan) {
  TSoakResult result;
  TProblems problems;

  // The shared settings a run reads, as the window would leave them before it starts a worker.
  CheckClass = plan.CheckClassValue;
  ReadInfoOnly = plan.ReadInfoOnlyValue;
  CancelRequested = false;
  FileLines.clear();
  FileHeader = TBl3FileHeader{};
  SelectedImage = -1;
  if (plan.UseFile) {
    FileHeader = plan.FileHeaderValue;
    FileLines = plan.FileLinesValue;
    SelectedImage = 0;
  }

  TSimLogger logger(plan.Config);
  TVirtualClock clock;
  TSimPortOps simPort(logger, clock);
  TPortRouter router(PlatformPortOps(), simPort);
  TWatchedPort port(plan.UseRouter ? static_cast<IPortOps&>(router) : simPort, plan, problems);
  TEventQueue queue;
  TWatchedSink sink(queue, port, problems);
  TWorkerEnv env{&port, &clock, &sink};

  auto* worker = new TSDCommThread(1, TCmd::tCMD0, TPortRouter::kSimPortName, env);
  if (plan.Threaded) {
    worker->Start();
    for (TWorkerEvent ev = queue.Wait(); !IsFinal(ev.code); ev = queue.Wait())
      if (ev.code == evProgress && ev.value >= plan.CancelAtProgress && plan.CancelAtProgress >= 0)
        CancelRequested = true;
    WaitForWorkers();
  } else {
    worker->RunHere();
  }
  CancelRequested = false;

  result.Events = sink.Events();
  result.Frames = logger.FramesReceived();
  result.VirtualMs = clock.NowMs();
  const auto& events = result.Events;
  const auto& frames = logger.Frames();

  // Exactly one final event, the last one.
  const auto finals =
      std::count_if(events.begin(), events.end(), [](const TWorkerEvent& e) { return IsFinal(e.code); });
  if (finals != 1 || !IsFinal(events.back().code)) {
    problems.Add(std::to_string(finals) + " final events, or not the last");
    result.End = -1000;
  } else {
    const TWorkerEvent& last = events.back();
    if (last.code == evCompleted) result.End = kEndSuccess;
    if (last.code == evCommFailure) result.End = kEndRepeat;
    if (last.code == evFailed) result.End = last.value;
    if (last.code != evFailed && last.value != 0)
      problems.Add("final event carries " + std::to_string(last.value));
    if (last.code == evFailed && last.value == 30) problems.Add("outcome 30 reported with event code 10");
  }
  if (plan.Allowed.count(result.End) == 0) {
    std::string allowed;
    for (int32_t a : plan.Allowed) allowed += (allowed.empty() ? "" : ", ") + EndName(a);
    problems.Add("ended with " + EndName(result.End) + ", expected " + allowed);
  }

  if (port.Opens() != plan.ExpectedOpens || port.Closes() != plan.ExpectedOpens || port.IsOpen())
    problems.Add("port opened " + std::to_string(port.Opens()) + " and closed " +
                 std::to_string(port.Closes()) + " times");
  if (port.QuorSeen() && result.End != 41)
    problems.Add("an answer with bit 0x20 reached the host, yet no outcome 41");

  // A failed run never resets the logger; a complete one ends with the reset frame of its tunnel.
  const bool success = result.End == kEndSuccess;
  std::vector<std::array<uint8_t, 8>> resets;
  if (logger.TunnelCmd() == 0) {
    resets = {ResetFrame(2), ResetFrame(5)};
  } else {
    resets = {ResetFrame(logger.TunnelCmd())};
  }
  const bool anyReset = std::any_of(frames.begin(), frames.end(), [&](const std::array<uint8_t, 8>& f) {
    return std::find(resets.begin(), resets.end(), f) != resets.end();
  });
  if (success && (frames.empty() || frames.back() != resets[0]))
    problems.Add("complete run without the reset frame last");
  if (!success && anyReset) problems.Add("reset frame sent in a failed run");
  if (!frames.empty() && frames[0] != std::array<uint8_t, 8>{})
    problems.Add("the run does not begin with a wake frame");

  if (success || plan.CheckRecordsOnFailure) {
    std::map<uint16_t, std::vector<uint8_t>> held;
    for (const auto& [address, data] : logger.Programmed()) held[address].assign(data.begin(), data.end());
    if (held != plan.Records)
      problems.Add("controller holds " + std::to_string(held.size()) + " records, the image has " +
                   std::to_string(plan.Records.size()) + " (or they differ)");
  }
  if (success && !logger.UpdateFinished()) problems.Add("complete run, yet command 50 never accepted");
  if (success && result.VirtualMs < 4700) problems.Add("complete run in less than its fixed pauses");

  // Progress: a new percentage each time, 1 to 99.
  int32_t lastPercent = 0;
  for (const TWorkerEvent& e : events) {
    if (e.code != evProgress) continue;
    if (e.value <= lastPercent || e.value > 99)
      problems.Add("progress " + std::to_string(e.value) + " after " + std::to_string(lastPercent));
    lastPercent = e.value;
  }

  // The counts of warnings hold for the faults alone; a run that noise ended early has fewer.
  const bool counted = result.End != kEndRepeat;
  if (counted && plan.TxStatusEvents >= 0 &&
      CountEvents(events, evTxStatus, plan.TxStatusValue) != plan.TxStatusEvents)
    problems.Add(std::to_string(CountEvents(events, evTxStatus, plan.TxStatusValue)) + " events 14 with " +
                 std::to_string(plan.TxStatusValue) + ", expected " + std::to_string(plan.TxStatusEvents));
  if (counted && plan.RxStatusEvents >= 0 &&
      CountEvents(events, evRxStatus, plan.RxStatusValue) != plan.RxStatusEvents)
    problems.Add(std::to_string(CountEvents(events, evRxStatus, plan.RxStatusValue)) + " events 15 with " +
                 std::to_string(plan.RxStatusValue) + ", expected " + std::to_string(plan.RxStatusEvents));
  if (counted && plan.VerifyErrorEvents >= 0 &&
      (CountEvents(events, evVerifyError, 0) != plan.VerifyErrorEvents ||
       CountCode(events, evVerifyError) != plan.VerifyErrorEvents))
    problems.Add(std::to_string(CountCode(events, evVerifyError)) + " events 11, expected " +
                 std::to_string(plan.VerifyErrorEvents) + " for line 0");
  if (plan.ConversionErrorLine >= 0 &&
      (CountCode(events, evConversionError) != 1 ||
       CountEvents(events, evConversionError, plan.ConversionErrorLine) != 1))
    problems.Add("no single event 12 for line " + std::to_string(plan.ConversionErrorLine));
  if (plan.MaxFrames >= 0 && !plan.Noise && result.Frames > static_cast<uint32_t>(plan.MaxFrames))
    problems.Add(std::to_string(result.Frames) + " frames, at most " + std::to_string(plan.MaxFrames) +
                 " expected");
  if (result.End == 47 && !plan.UseFile &&
      (CountCode(events, evCheckImage) != 3 || CountEvents(events, evCheckImage, 1) != 1 ||
       CountEvents(events, evCheckImage, 3) != 1))
    problems.Add("outcome 47 without event 27 for each embedded image");
  if (plan.UseFile && CountCode(events, evCheckImage) > 0 &&
      (CountCode(events, evCheckImage) != 1 || CountEvents(events, evCheckImage, 0) != 1))
    problems.Add("file image run tested other candidates");
  result.Problems = problems.Take();
  return result;
}
