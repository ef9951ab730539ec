// The seam through which the worker's events reach a front end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

// The message value of worker events (WM_USER).
inline constexpr uint32_t kWorkerEventMessage = 0x400;

struct TWorkerEvent {
  uint32_t code = 0;
  int32_t value = 0;
  bool operator==(const TWorkerEvent&) const = default;
};

class IEventSink {
 public:
  virtual ~IEventSink() = default;
  // Queues the event for `hWindow` and returns at once; failures are ignored.
  virtual void Post(intptr_t hWindow, uint32_t code, int32_t value) = 0;
};

// Thread-safe queue for front ends without a window (command line, tests).
class TEventQueue : public IEventSink {
 public:
  void Post(intptr_t hWindow, uint32_t code, int32_t value) override;
  // Blocks until an event is there.
  TWorkerEvent Wait();
  bool TryPop(TWorkerEvent& ev);
  size_t Size();

 private:
  std::mutex FMutex;
  std::condition_variable FReady;
  std::deque<TWorkerEvent> FEvents;
};

// PostMessageW(hWindow, WM_USER, code, value): Windows only (uEvents_win32.cpp).
IEventSink& WindowEventSink();
