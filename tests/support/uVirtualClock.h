// A clock that never sleeps: every pause is recorded and moves virtual time on at once. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "device/uClock.h"

class TVirtualClock : public IClock {
 public:
  explicit TVirtualClock(uint64_t startMs = 0) : FNow(startMs) {}

  void Sleep(uint32_t ms) override;
  uint64_t NowMs() override;

  void Advance(uint64_t ms);
  // Every pause asked for, in order.
  std::vector<uint32_t> Pauses();
  uint64_t TotalSleptMs();
  // Runs after each pause has been recorded and time has moved on, outside the clock's lock (a test may
  // press Cancel there, as an operator would during a pause).
  void SetSleepHook(std::function<void(uint32_t ms)> hook);

 private:
  std::mutex FMutex;
  uint64_t FNow;
  uint64_t FSlept = 0;
  std::vector<uint32_t> FPauses;
  std::function<void(uint32_t)> FHook;
};
