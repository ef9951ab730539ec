// An event sink that keeps every event with the window handle it was posted to. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "device/uEvents.h"

class TRecordingSink : public IEventSink {
 public:
  void Post(intptr_t hWindow, uint32_t code, int32_t value) override;

  std::vector<TWorkerEvent> Events();
  std::vector<uint32_t> Codes();
  std::vector<intptr_t> Windows();
  // Runs on the posting thread for every event, outside the sink's lock.
  void SetPostHook(std::function<void(const TWorkerEvent&)> hook);

 private:
  std::mutex FMutex;
  std::vector<TWorkerEvent> FEvents;
  std::vector<intptr_t> FWindows;
  std::function<void(const TWorkerEvent&)> FHook;
};
