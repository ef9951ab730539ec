// The update worker against a device that answers anything: every answer, short read, timeout and failing
// port call comes from the fuzz input. Whatever happens, the run ends in exactly one final event, posted
// after the port was closed, and nothing uses the port after it was closed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/uCommThread.h"
#include "device/uConvert1V0.h"
#include "device/uEventTexts.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "tests/support/uVirtualClock.h"

namespace {

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_worker: %s\n", what);
  std::abort();
}

class TInput {
 public:
  TInput(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
  bool Empty() const { return FAt >= FSize; }
  uint8_t Byte() { return FAt < FSize ? FData[FAt++] : 0; }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FAt = 0;
};

// Port operations whose results the input decides. Each read takes a control byte: most give seven bytes
// from the input with a correct CRC, others raw bytes, a short read, a failed read, or the answer of a
// controller that stores the words written (so a read-back can match). An empty input answers nothing.
class TFuzzPort : public IPortOps {
 public:
  enum TFail : uint8_t { kNone, kOpen, kLine, kQueues, kTimeouts, kDtr, kClear, kPurge, kWrite, kShortWrite };

  TFuzzPort(TInput& input, uint8_t failOp, uint32_t failAt, uint32_t cancelAt)
      : FIn(input), FFail(failOp), FFailAt(failAt), FCancelAt(cancelAt) {}

  TPortHandle Open(const std::string&) override {
    Require(!FOpen, "port opened twice");
    if (FFail == kOpen) return kInvalidPort;
    FOpen = true;
    ++FOpens;
    return kHandle;
  }
  bool SetLine(TPortHandle h, const TLineSettings&) override { return Use(h, kLine); }
  bool SetQueues(TPortHandle h, uint32_t, uint32_t) override { return Use(h, kQueues); }
  bool SetTimeouts(TPortHandle h, const TTimeouts&) override { return Use(h, kTimeouts); }
  bool RaiseDtr(TPortHandle h) override { return Use(h, kDtr); }
  bool ClearErrors(TPortHandle h) override { return Use(h, kClear); }
  bool Purge(TPortHandle h) override { return Use(h, kPurge); }
  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override {
    written = 0;
    Require(count == 8, "a write of other than 8 bytes");
    if (!Use(h, kWrite)) return false;
    std::memcpy(FLast, data, 8);
    written = 8;
    if (FFail == kShortWrite && FWrites == FFailAt) written = FWrites % 8;
    ++FWrites;
    if (FWrites == FCancelAt) CancelRequested = true;
    if (data[2] >= 0x80 && data[2] <= 0x90 && (data[3] | data[4] | data[5] | data[6]) != 0)
      std::memcpy(FWords[data[2] - 0x80], data + 3, 4);
    return true;
  }
  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override {
    got = 0;
    Require(count == 8, "a read of other than 8 bytes");
    Use(h, kNone);
    if (FIn.Empty()) return true;
    const uint8_t control = FIn.Byte();
    uint8_t answer[8] = {};
    switch (control & 7) {
      case 4:
        for (uint8_t& b : answer) b = FIn.Byte();
        break;
      case 5:
        got = (control >> 4) & 7;
        for (uint32_t i = 0; i < got; ++i) data[i] = FIn.Byte();
        return true;
      case 6:
        return false;
      case 7: {
        // A controller that keeps what was written: status from the input, data of the word asked for.
        answer[1] = FIn.Byte();
        answer[2] = FLast[2];
        const uint8_t reg = FLast[2];
        if (reg >= 0x80 && reg <= 0x90)
          for (int k = 0; k < 4; ++k) answer[3 + k] = static_cast<uint8_t>(~FWords[reg - 0x80][k]);
        answer[7] = Crc8(answer, 7);
        break;
      }
      default:
        for (int i = 0; i < 7; ++i) answer[i] = FIn.Byte();
        answer[7] = Crc8(answer, 7);
        break;
    }
    std::memcpy(data, answer, 8);
    got = 8;
    return true;
  }
  void Close(TPortHandle h) override {
    Require(FOpen && h == kHandle, "close of a port that is not open");
    FOpen = false;
    ++FCloses;
  }

  bool IsOpen() const { return FOpen; }
  int Opens() const { return FOpens; }
  int Closes() const { return FCloses; }

 private:
  static constexpr TPortHandle kHandle = 0x4711;

  bool Use(TPortHandle h, uint8_t op) {
    Require(FOpen && h == kHandle, "port used while not open");
    if (op == kNone || op != FFail) return true;
    const uint32_t call = FCalls[op]++;
    return call != FFailAt;
  }

  TInput& FIn;
  uint8_t FFail;
  uint32_t FFailAt;
  uint32_t FCancelAt;
  bool FOpen = false;
  int FOpens = 0;
  int FCloses = 0;
  uint32_t FWrites = 0;
  uint32_t FCalls[16] = {};
  uint8_t FLast[8] = {};
  uint8_t FWords[17][4] = {};
};

bool IsFinal(uint32_t code) {
  return code == evCompleted || code == evFailed || code == evCommFailure;
}

class TFinalCheck : public IEventSink {
 public:
  explicit TFinalCheck(const TFuzzPort& port) : FPort(port) {}
  void Post(intptr_t, uint32_t code, int32_t value) override {
    Require(FFinals == 0, "an event after the final event");
    if (IsFinal(code)) {
      ++FFinals;
      FCode = code;
      FValue = value;
      Require(!FPort.IsOpen(), "final event posted while the port is open");
    }
  }
  int Finals() const { return FFinals; }
  uint32_t Code() const { return FCode; }
  int32_t Value() const { return FValue; }

 private:
  const TFuzzPort& FPort;
  int FFinals = 0;
  uint32_t FCode = 0;
  int32_t FValue = 0;
};

}  // namespace

// Input: a flags byte (bit 0 read info only, 1 class check off, 2 file image, 3-4 which image, 5-6 how many
// records, 7 cancel), the frame to cancel at, the port call to fail and its number, then the answers.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TInput input(data, size);
  const uint8_t flags = input.Byte();
  const uint8_t cancelAt = input.Byte();
  const uint8_t failOp = input.Byte();
  const uint8_t failAt = input.Byte();

  ReadInfoOnly = (flags & 1) != 0;
  CheckClass = (flags & 2) == 0;
  CancelRequested = false;
  FileHeader = TBl3FileHeader{};
  FileLines.clear();
  SelectedImage = -1;
  if (flags & 4) {
    // The file image: the first one to four records of an embedded image (1 to 3) and the end-of-file line,
    // so that a whole run fits in a short input.
    const int32_t image = 1 + ((flags >> 3) & 3) % 3;
    const int32_t records = 1 + ((flags >> 5) & 3);
    GetImageHeader(image, FileHeader);
    const int32_t last = GetImageLastLine(image);
    for (int32_t i = 0; i <= last; ++i) {
      if (i == records) i = last;
      TBl3FileHeader ignored;
      int32_t lastIndex = 0;
      std::string line;
      AccessImage(image, 2, i, ignored, lastIndex, line);
      FileLines.push_back(line);
    }
    SelectedImage = 0;
  }

  TFuzzPort port(input, failOp % 10, failAt, (flags & 0x80) ? cancelAt + 1u : 0u);
  TVirtualClock clock;
  TFinalCheck sink(port);
  TWorkerEnv env{&port, &clock, &sink};
  (new TSDCommThread(1, TCmd::tCMD0, "fuzz", env))->RunHere();
  Require(sink.Finals() == 1, "no final event");
  Require(port.Closes() == port.Opens() && !port.IsOpen(), "port left open");
  // PELLORY_FUZZ_VERBOSE=1 tells how each input ended, to see how deep a corpus reaches.
  static const bool verbose = std::getenv("PELLORY_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "final event %u value %d\n", sink.Code(), sink.Value());
  CancelRequested = false;
  return 0;
}
