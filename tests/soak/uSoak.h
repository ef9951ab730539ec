// Fault-injection soak over the in-process simulated logger: one run per random key, each with faults
// drawn from that key, every run checked against the outcome its faults call for.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/uEvents.h"
#include "firmware/uBl3File.h"
#include "sim/uSimLogger.h"

// How a run ended: event code 0, event code 13, or the outcome code that event code 10 carried.
inline constexpr int32_t kEndSuccess = -1;
inline constexpr int32_t kEndRepeat = -13;
std::string EndName(int32_t end);

// Port operations the soak can make fail.
enum class TSoakPortOp : uint8_t { None, Open, Line, Queues, Timeouts, Dtr, Clear, Purge, Write, Read };

// What one random key makes of a run.
struct TSoakPlan {
  uint64_t Key = 0;
  std::string Fault;  // the kind of fault, for the outcome table
  std::string Detail;
  TSimConfig Config;
  int32_t Image = 0;     // embedded image the controller fits (1..3), 0 none
  bool UseFile = false;  // the run uses the loaded image file (SelectedImage 0)
  TBl3FileHeader FileHeaderValue;
  std::vector<std::string> FileLinesValue;
  bool CheckClassValue = true;
  bool ReadInfoOnlyValue = false;
  uint32_t CancelAtFrame = 0;              // CancelRequested is set once this frame was written (0 never)
  bool Threaded = false;                   // Start() instead of RunHere()
  bool UseRouter = false;                  // through TPortRouter, as the programs reach the port "sim"
  TSoakPortOp FailOp = TSoakPortOp::None;  // the FailAt-th call of this operation fails
  uint32_t FailAt = 0;
  uint32_t ShortWriteAt = 0;  // this write (from 1) takes fewer than 8 bytes
  // The window thread presses Cancel once it sees this progress percentage (threaded runs; -1 never).
  int32_t CancelAtProgress = -1;
  uint32_t ExpectedOpens = 1;
  bool Noise = false;         // light answer faults on top
  std::set<int32_t> Allowed;  // the ends the faults allow
  // Checks that hold only for some faults; -1 means not checked.
  int32_t TxStatusEvents = -1;  // number of event codes 14 with value TxStatusValue
  int32_t TxStatusValue = 0;
  int32_t RxStatusEvents = -1;
  int32_t RxStatusValue = 0;
  int32_t VerifyErrorEvents = -1;    // event codes 11, all for line 0
  int32_t ConversionErrorLine = -1;  // value of the one event code 12
  int32_t MaxFrames = -1;            // frames written at most
  // Records the controller must hold after the run (checked on success, and on outcome 43 for the lines
  // before the bad one).
  std::map<uint16_t, std::vector<uint8_t>> Records;
  bool CheckRecordsOnFailure = false;
};

struct TSoakResult {
  int32_t End = 0;
  std::vector<std::string> Problems;  // empty when every check held
  std::vector<TWorkerEvent> Events;
  uint32_t Frames = 0;
  uint64_t VirtualMs = 0;
};

TSoakPlan MakePlan(uint64_t key);
TSoakResult RunPlan(const TSoakPlan& plan);
