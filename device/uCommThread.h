// The generic worker: owns the port for one run, the 8-byte frame link with retries, progress and
// exactly one final event.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/uClock.h"
#include "device/uEvents.h"
#include "device/uPortOps.h"

enum class TCmd : uint8_t { tCMD0 = 0, tCMD1 = 1, tCMD2 = 2 };

// Set by the window's Cancel, cleared by StartRun; polled before every frame attempt.
extern std::atomic<bool> CancelRequested;

// Where a worker's port operations, pauses and events go. Front ends set DefaultWorkerEnv() at start.
struct TWorkerEnv {
  IPortOps* Ports = nullptr;
  IClock* Clock = nullptr;
  IEventSink* Events = nullptr;
};
TWorkerEnv& DefaultWorkerEnv();

class TCommThread {
 public:
  // Fields are set before the thread starts; Start() runs Execute on a new thread. The object frees
  // itself after its final event: nobody may touch it once Start() or RunHere() was called.
  TCommThread(intptr_t hWindow, TCmd cmd, std::string sPort, const TWorkerEnv& env = DefaultWorkerEnv());
  virtual ~TCommThread();
  TCommThread(const TCommThread&) = delete;
  TCommThread& operator=(const TCommThread&) = delete;

  void Start();
  // Runs the whole run on the calling thread, then frees the object (fuzzers, single-threaded tests).
  void RunHere();

 protected:
  virtual void Process() {}
  virtual void DoProcess() { Process(); }

  bool SendCommand(bool readAnswer, uint8_t cmd, uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4, uint8_t p5,
                   uint8_t p6);
  bool Transfer(bool readAnswer);
  void SetProgress(int32_t index, int32_t count);
  void ResetProgress() { FnProgres = 0; }
  void ClosePort();
  void Post(uint32_t code, int32_t value);
  void Pause(uint32_t ms);

  TCmd FCmd;
  uint8_t FTxBuffer[1501] = {};
  uint8_t FRxBuffer[1501] = {};
  intptr_t FhWindow;
  std::string FsPort;
  TPortHandle FhPort = kInvalidPort;
  int32_t FnProgres = 0;
  TWorkerEnv FEnv;

 private:
  void Execute();
  static void ThreadMain(TCommThread* self);
};

// Creates and starts a worker of the class the reference stands for.
using TCommThreadClass = TCommThread* (*)(intptr_t hWindow, TCmd cmd, const std::string& sPort);

template <class T>
TCommThread* CreateWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  auto* worker = new T(hWindow, cmd, sPort);
  try {
    worker->Start();
  } catch (...) {
    delete worker;  // never started: still ours
    throw;
  }
  return worker;
}

// Number of workers whose thread has not finished yet, and a wait until there are none (so a process or a
// test can end without cutting a worker's last steps short).
int LiveWorkers();
void WaitForWorkers();
