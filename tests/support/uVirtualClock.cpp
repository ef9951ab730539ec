#include "tests/support/uVirtualClock.h"

void TVirtualClock::Sleep(uint32_t ms) {
  std::function<void(uint32_t)> hook;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FPauses.push_back(ms);
    FNow += ms;
    FSlept += ms;
    hook = FHook;
  }
  if (hook) hook(ms);
}

uint64_t TVirtualClock::NowMs() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FNow;
}

void TVirtualClock::Advance(uint64_t ms) {
  std::lock_guard<std::mutex> lock(FMutex);
  FNow += ms;
}

std::vector<uint32_t> TVirtualClock::Pauses() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPauses;
}

uint64_t TVirtualClock::TotalSleptMs() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FSlept;
}

void TVirtualClock::SetSleepHook(std::function<void(uint32_t ms)> hook) {
  std::lock_guard<std::mutex> lock(FMutex);
  FHook = std::move(hook);
}
