// A scripted serial port: records every call and every byte written, answers from a script or a callback,
// and fails exactly the operation a test names.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/uPortOps.h"

enum class TPortOp : uint8_t { Open, Line, Queues, Timeouts, Dtr, Clear, Purge, Write, Read, Close };
const char* PortOpName(TPortOp op);

struct TPortCall {
  TPortOp Op = TPortOp::Open;
  // The handle passed in; for Open the handle returned (kInvalidPort when it failed).
  TPortHandle Handle = kInvalidPort;
  bool Ok = true;
  std::string Name;                  // Open
  TLineSettings Line;                // Line
  uint32_t InSize = 0, OutSize = 0;  // Queues
  TTimeouts Timeouts;                // Timeouts
  uint32_t Count = 0;                // Write, Read: the count asked for
  std::vector<uint8_t> Data;         // Write: the bytes taken; Read: the bytes delivered
};

// Eight bytes: the seven given and their CRC-8, as the logger answers.
std::vector<uint8_t> AnswerFrame(std::initializer_list<uint8_t> first7);

class TFakePortOps : public IPortOps {
 public:
  // Gets every frame written in full and returns the bytes the device answers (empty: silence).
  using TResponder = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& written)>;
  using TCallHook = std::function<void(const TPortCall&)>;

  // Only these names open (all names when the set is empty, the default).
  void SetExistingPorts(std::set<std::string> names);
  // Scripted answers: a read that finds nothing pending takes the next one (fewer than asked = timeout).
  void QueueAnswer(std::vector<uint8_t> bytes);
  void QueueAnswers(const std::vector<std::vector<uint8_t>>& answers);
  void SetResponder(TResponder responder);
  // Called after every call, outside the port's lock (a test may change the world there).
  void SetCallHook(TCallHook hook);

  // The k-th call (from 1) of `op` fails; Open then returns kInvalidPort.
  void FailOn(TPortOp op, int k = 1);
  // The k-th write takes only `n` bytes; the k-th read delivers at most `n` bytes.
  void ShortWrite(int k, uint32_t n);
  void ShortRead(int k, uint32_t n);

  std::vector<TPortCall> Calls();
  std::vector<TPortOp> Ops();
  int CallCount(TPortOp op);
  // Every write, as the bytes it took.
  std::vector<std::vector<uint8_t>> Frames();
  int OpenHandles();
  // Calls made on a handle that was not open at the time (after Close, or never opened).
  int StrayCalls();

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
  struct TRule {
    TPortOp Op;
    int K;
    uint32_t Limit;  // for short transfers
  };
  // Counts the call, checks the handle and returns whether it is to fail. Lock held.
  bool Begin(TPortOp op, TPortHandle h, int& k);
  bool RuleHits(const std::vector<TRule>& rules, TPortOp op, int k, uint32_t* limit = nullptr) const;
  void Finish(TPortCall call);
  // A configuration call, Clear or Purge: no data, only success or the failure a rule asks for.
  bool Simple(TPortCall call);

  std::mutex FMutex;
  std::set<std::string> FExisting;
  std::vector<std::vector<uint8_t>> FScript;
  size_t FScriptNext = 0;
  std::vector<uint8_t> FPending;
  TResponder FResponder;
  TCallHook FHook;
  std::vector<TRule> FFailures;
  std::vector<TRule> FShort;
  std::vector<TPortCall> FCalls;
  int FCounts[10] = {};
  std::set<TPortHandle> FOpen;
  TPortHandle FNextHandle = 0x100;
  int FStray = 0;
};
