#include "tests/support/uFakePortOps.h"

#include <algorithm>

#include "device/uConvert1V0.h"

const char* PortOpName(TPortOp op) {
  static const char* const kNames[] = {"open",  "line",  "queues", "timeouts", "dtr",
                                       "clear", "purge", "write",  "read",     "close"};
  return kNames[static_cast<int>(op)];
}

std::vector<uint8_t> AnswerFrame(std::initializer_list<uint8_t> first7) {
  std::vector<uint8_t> frame(first7);
  frame.resize(7, 0);
  frame.push_back(Crc8(frame.data(), 7));
  return frame;
}

void TFakePortOps::SetExistingPorts(std::set<std::string> names) {
  std::lock_guard<std::mutex> lock(FMutex);
  FExisting = std::move(names);
}

void TFakePortOps::QueueAnswer(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(FMutex);
  FScript.push_back(std::move(bytes));
}

void TFakePortOps::QueueAnswers(const std::vector<std::vector<uint8_t>>& answers) {
  for (const auto& a : answers) QueueAnswer(a);
}

void TFakePortOps::SetResponder(TResponder responder) {
  std::lock_guard<std::mutex> lock(FMutex);
  FResponder = std::move(responder);
}

void TFakePortOps::SetCallHook(TCallHook hook) {
  std::lock_guard<std::mutex> lock(FMutex);
  FHook = std::move(hook);
}

void TFakePortOps::FailOn(TPortOp op, int k) {
  std::lock_guard<std::mutex> lock(FMutex);
  FFailures.push_back({op, k, 0});
}

void TFakePortOps::ShortWrite(int k, uint32_t n) {
  std::lock_guard<std::mutex> lock(FMutex);
  FShort.push_back({TPortOp::Write, k, n});
}

void TFakePortOps::ShortRead(int k, uint32_t n) {
  std::lock_guard<std::mutex> lock(FMutex);
  FShort.push_back({TPortOp::Read, k, n});
}

std::vector<TPortCall> TFakePortOps::Calls() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FCalls;
}

std::vector<TPortOp> TFakePortOps::Ops() {
  std::lock_guard<std::mutex> lock(FMutex);
  std::vector<TPortOp> ops;
  for (const auto& c : FCalls) ops.push_back(c.Op);
  return ops;
}

int TFakePortOps::CallCount(TPortOp op) {
  std::lock_guard<std::mutex> lock(FMutex);
  return FCounts[static_cast<int>(op)];
}

std::vector<std::vector<uint8_t>> TFakePortOps::Frames() {
  std::lock_guard<std::mutex> lock(FMutex);
  std::vector<std::vector<uint8_t>> frames;
  for (const auto& c : FCalls)
    if (c.Op == TPortOp::Write && c.Ok) frames.push_back(c.Data);
  return frames;
}

int TFakePortOps::OpenHandles() {
  std::lock_guard<std::mutex> lock(FMutex);
  return static_cast<int>(FOpen.size());
}

int TFakePortOps::StrayCalls() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FStray;
}

bool TFakePortOps::RuleHits(const std::vector<TRule>& rules, TPortOp op, int k, uint32_t* limit) const {
  for (const TRule& r : rules) {
    if (r.Op == op && r.K == k) {
      if (limit != nullptr) *limit = r.Limit;
      return true;
    }
  }
  return false;
}

bool TFakePortOps::Begin(TPortOp op, TPortHandle h, int& k) {
  k = ++FCounts[static_cast<int>(op)];
  if (op != TPortOp::Open && FOpen.count(h) == 0) {
    ++FStray;
    return true;  // a real port fails an invalid handle too
  }
  return RuleHits(FFailures, op, k);
}

void TFakePortOps::Finish(TPortCall call) {
  TCallHook hook;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FCalls.push_back(call);
    hook = FHook;
  }
  if (hook) hook(call);
}

TPortHandle TFakePortOps::Open(const std::string& portName) {
  TPortCall call;
  call.Op = TPortOp::Open;
  call.Name = portName;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    int k;
    const bool fail =
        Begin(TPortOp::Open, kInvalidPort, k) || (!FExisting.empty() && FExisting.count(portName) == 0);
    if (fail) {
      call.Ok = false;
    } else {
      call.Handle = FNextHandle++;
      FOpen.insert(call.Handle);
      FPending.clear();
    }
  }
  const TPortHandle h = call.Handle;
  Finish(std::move(call));
  return h;
}

namespace {

TPortCall CallOf(TPortOp op, TPortHandle h) {
  TPortCall call;
  call.Op = op;
  call.Handle = h;
  return call;
}

}  // namespace

bool TFakePortOps::Simple(TPortCall call) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    int k;
    call.Ok = !Begin(call.Op, call.Handle, k);
    if (call.Ok && call.Op == TPortOp::Purge) FPending.clear();
  }
  const bool ok = call.Ok;
  Finish(std::move(call));
  return ok;
}

bool TFakePortOps::SetLine(TPortHandle h, const TLineSettings& settings) {
  TPortCall call = CallOf(TPortOp::Line, h);
  call.Line = settings;
  return Simple(std::move(call));
}

bool TFakePortOps::SetQueues(TPortHandle h, uint32_t inSize, uint32_t outSize) {
  TPortCall call = CallOf(TPortOp::Queues, h);
  call.InSize = inSize;
  call.OutSize = outSize;
  return Simple(std::move(call));
}

bool TFakePortOps::SetTimeouts(TPortHandle h, const TTimeouts& timeouts) {
  TPortCall call = CallOf(TPortOp::Timeouts, h);
  call.Timeouts = timeouts;
  return Simple(std::move(call));
}

bool TFakePortOps::RaiseDtr(TPortHandle h) {
  return Simple(CallOf(TPortOp::Dtr, h));
}
bool TFakePortOps::ClearErrors(TPortHandle h) {
  return Simple(CallOf(TPortOp::Clear, h));
}
bool TFakePortOps::Purge(TPortHandle h) {
  return Simple(CallOf(TPortOp::Purge, h));
}

bool TFakePortOps::Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) {
  written = 0;
  TPortCall call = CallOf(TPortOp::Write, h);
  call.Count = count;
  TResponder responder;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    int k;
    call.Ok = !Begin(TPortOp::Write, h, k);
    if (call.Ok) {
      uint32_t limit = count;
      if (RuleHits(FShort, TPortOp::Write, k, &limit)) limit = std::min(limit, count);
      written = limit;
      call.Data.assign(data, data + limit);
      if (written == count) responder = FResponder;
    }
  }
  // The device sees only a frame that went out whole.
  if (responder) {
    std::vector<uint8_t> answer = responder(call.Data);
    std::lock_guard<std::mutex> lock(FMutex);
    FPending.insert(FPending.end(), answer.begin(), answer.end());
  }
  const bool ok = call.Ok;
  Finish(std::move(call));
  return ok;
}

bool TFakePortOps::Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) {
  got = 0;
  TPortCall call = CallOf(TPortOp::Read, h);
  call.Count = count;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    int k;
    call.Ok = !Begin(TPortOp::Read, h, k);
    if (call.Ok) {
      if (FPending.empty() && FScriptNext < FScript.size()) FPending = FScript[FScriptNext++];
      uint32_t limit = count;
      if (RuleHits(FShort, TPortOp::Read, k, &limit)) limit = std::min(limit, count);
      got = std::min<uint32_t>(limit, static_cast<uint32_t>(FPending.size()));
      std::copy_n(FPending.begin(), got, data);
      call.Data.assign(FPending.begin(), FPending.begin() + got);
      FPending.erase(FPending.begin(), FPending.begin() + got);
    }
  }
  const bool ok = call.Ok;
  Finish(std::move(call));
  return ok;
}

void TFakePortOps::Close(TPortHandle h) {
  TPortCall call = CallOf(TPortOp::Close, h);
  {
    std::lock_guard<std::mutex> lock(FMutex);
    int k;
    Begin(TPortOp::Close, h, k);
    call.Ok = FOpen.erase(h) == 1;
  }
  Finish(std::move(call));
}
