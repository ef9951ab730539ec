#include "device/uCommThread.h"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "device/uConvert1V0.h"
#include "device/uEventTexts.h"
#include "device/uExceptions1V0.h"
#include "device/uRS232.h"

std::atomic<bool> CancelRequested{false};

namespace {

constexpr uint32_t kFrameSize = 8;
constexpr int kAttempts = 5;
constexpr uint32_t kRetryPauseMs = 100;
constexpr uint32_t kWakePauseMs = 100;
constexpr uint8_t kWakeCommand = 255;
constexpr uint32_t kBaudRate = 9600;

// Outcome codes of the link.
constexpr int32_t kOutcomePortNotReady = 10;
constexpr int32_t kOutcomeSerialError = 11;
constexpr int32_t kOutcomeCancelled = 20;
constexpr int32_t kOutcomeNoAnswer = 30;
constexpr int32_t kOutcomeNotReady = 41;

// Workers free themselves on their own thread; this count lets a process or a test wait until the last one
// has really finished. Never destroyed, so a worker still running at process exit finds it intact.
struct TLiveWorkers {
  std::mutex Mutex;
  std::condition_variable Done;
  int Count = 0;
};

TLiveWorkers& Live() {
  static TLiveWorkers* live = new TLiveWorkers;
  return *live;
}

void WorkerStarted() {
  std::lock_guard<std::mutex> lock(Live().Mutex);
  ++Live().Count;
}

void WorkerFinished() {
  TLiveWorkers& live = Live();
  {
    std::lock_guard<std::mutex> lock(live.Mutex);
    --live.Count;
  }
  live.Done.notify_all();
}

}  // namespace

TWorkerEnv& DefaultWorkerEnv() {
  static TWorkerEnv env{&PlatformPortOps(), &RealClock(), nullptr};
  return env;
}

int LiveWorkers() {
  std::lock_guard<std::mutex> lock(Live().Mutex);
  return Live().Count;
}

void WaitForWorkers() {
  TLiveWorkers& live = Live();
  std::unique_lock<std::mutex> lock(live.Mutex);
  live.Done.wait(lock, [&live] { return live.Count == 0; });
}

TCommThread::TCommThread(intptr_t hWindow, TCmd cmd, std::string sPort, const TWorkerEnv& env)
    : FCmd(cmd), FhWindow(hWindow), FsPort(std::move(sPort)), FEnv(env) {
  // A partial environment keeps the real port and clock for what it leaves out; no sink means no events.
  if (FEnv.Ports == nullptr) FEnv.Ports = DefaultWorkerEnv().Ports;
  if (FEnv.Clock == nullptr) FEnv.Clock = DefaultWorkerEnv().Clock;
}

TCommThread::~TCommThread() = default;

void TCommThread::Start() {
  WorkerStarted();
  try {
    std::thread(&TCommThread::ThreadMain, this).detach();
  } catch (...) {
    // No thread, no run: undo the count and leave the object to the caller, who still owns it.
    WorkerFinished();
    throw;
  }
}

void TCommThread::RunHere() {
  WorkerStarted();
  ThreadMain(this);
}

void TCommThread::ThreadMain(TCommThread* self) {
  try {
    self->Execute();
  } catch (...) {
    // Execute reports every failure itself; nothing may escape a thread body.
  }
  delete self;
  WorkerFinished();  // the very last step: afterwards the process may end
}

void TCommThread::Execute() {
  uint32_t finalCode = evCompleted;
  int32_t finalValue = static_cast<int32_t>(FCmd);
  try {
    FhPort = OpenComPort(*FEnv.Ports, FsPort, kBaudRate);
    if (FhPort == kInvalidPort) throw EQuor(kOutcomePortNotReady);
    try {
      ResetProgress();
      SendCommand(false, kWakeCommand, 0, 0, 0, 0, 0, 0);
      Pause(kWakePauseMs);
      SendCommand(false, kWakeCommand, 0, 0, 0, 0, 0, 0);
      Pause(kWakePauseMs);
      DoProcess();
    } catch (...) {
      ClosePort();
      throw;
    }
    ClosePort();
  } catch (const EQuor& e) {
    if (e.iException == kOutcomeNoAnswer) {
      finalCode = evCommFailure;
    } else {
      finalCode = evFailed;
      finalValue = e.iException;
    }
  } catch (...) {
    finalCode = evFailed;
    finalValue = 0;
  }
  Post(finalCode, finalValue);
}

bool TCommThread::SendCommand(bool readAnswer, uint8_t cmd, uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4,
                              uint8_t p5, uint8_t p6) {
  if (cmd == kWakeCommand) {
    std::memset(FTxBuffer, 0, kFrameSize);
  } else {
    const uint8_t frame[7] = {static_cast<uint8_t>(cmd | 0x80), p1, p2, p3, p4, p5, p6};
    std::memcpy(FTxBuffer, frame, sizeof frame);
    FTxBuffer[7] = Crc8(FTxBuffer, 7);
  }
  for (int attempt = 1;; ++attempt) {
    if (CancelRequested.load()) throw EQuor(kOutcomeCancelled);
    if (Transfer(readAnswer)) return true;
    if (attempt == kAttempts) throw EQuor(kOutcomeNoAnswer);
    Pause(kRetryPauseMs);
  }
}

bool TCommThread::Transfer(bool readAnswer) {
  IPortOps& ops = *FEnv.Ports;
  if (!ops.ClearErrors(FhPort)) throw EQuor(kOutcomeSerialError, "ClearCommError");
  // Purging both queues drops a late answer to the previous attempt before the frame goes out again.
  if (!ops.Purge(FhPort)) throw EQuor(kOutcomeSerialError, "PurgeComm");
  uint32_t written = 0;
  if (!ops.Write(FhPort, FTxBuffer, kFrameSize, written)) throw EQuor(kOutcomeSerialError, "WriteFile");
  if (written != kFrameSize) return false;
  if (!readAnswer) return true;
  uint32_t got = 0;
  if (!ops.Read(FhPort, FRxBuffer, kFrameSize, got)) throw EQuor(kOutcomeSerialError, "ReadFile");
  if (got != kFrameSize) return false;
  if (Crc8(FRxBuffer, 7) != FRxBuffer[7]) return false;
  if (FRxBuffer[0] & 0x20) throw EQuor(kOutcomeNotReady, "QUOR Exception!");
  return true;
}

void TCommThread::SetProgress(int32_t index, int32_t count) {
  // 64-bit, so that no index can overflow the product (or divide INT32_MIN by -1).
  int64_t percent = 0;
  if (count != 0) percent = static_cast<int64_t>(index) * 99 / count;
  if (percent < 0) percent = 0;
  if (percent > 99) percent = 99;
  if (percent == FnProgres) return;
  FnProgres = static_cast<int32_t>(percent);
  Post(evProgress, FnProgres);
}

void TCommThread::ClosePort() {
  if (FhPort == kInvalidPort) return;
  CloseComPort(*FEnv.Ports, FhPort);
  FhPort = kInvalidPort;
}

void TCommThread::Post(uint32_t code, int32_t value) {
  if (FEnv.Events != nullptr) FEnv.Events->Post(FhWindow, code, value);
}

void TCommThread::Pause(uint32_t ms) {
  FEnv.Clock->Sleep(ms);
}
