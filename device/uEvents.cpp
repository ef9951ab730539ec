#include "device/uEvents.h"

void TEventQueue::Post(intptr_t /*hWindow*/, uint32_t code, int32_t value) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FEvents.push_back(TWorkerEvent{code, value});
  }
  FReady.notify_all();
}

TWorkerEvent TEventQueue::Wait() {
  std::unique_lock<std::mutex> lock(FMutex);
  FReady.wait(lock, [this] { return !FEvents.empty(); });
  TWorkerEvent ev = FEvents.front();
  FEvents.pop_front();
  return ev;
}

bool TEventQueue::TryPop(TWorkerEvent& ev) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (FEvents.empty()) return false;
  ev = FEvents.front();
  FEvents.pop_front();
  return true;
}

size_t TEventQueue::Size() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FEvents.size();
}
