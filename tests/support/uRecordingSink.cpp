#include "tests/support/uRecordingSink.h"

void TRecordingSink::Post(intptr_t hWindow, uint32_t code, int32_t value) {
  std::function<void(const TWorkerEvent&)> hook;
  const TWorkerEvent ev{code, value};
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FEvents.push_back(ev);
    FWindows.push_back(hWindow);
    hook = FHook;
  }
  if (hook) hook(ev);
}

std::vector<TWorkerEvent> TRecordingSink::Events() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FEvents;
}

std::vector<uint32_t> TRecordingSink::Codes() {
  std::lock_guard<std::mutex> lock(FMutex);
  std::vector<uint32_t> codes;
  for (const auto& ev : FEvents) codes.push_back(ev.code);
  return codes;
}

std::vector<intptr_t> TRecordingSink::Windows() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FWindows;
}

void TRecordingSink::SetPostHook(std::function<void(const TWorkerEvent&)> hook) {
  std::lock_guard<std::mutex> lock(FMutex);
  FHook = std::move(hook);
}
