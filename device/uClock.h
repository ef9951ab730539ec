#pragma once

#include <cstdint>

// Every pause of the worker and of the run control goes through one clock, so tests run in virtual time.
class IClock {
 public:
  virtual ~IClock() = default;
  virtual void Sleep(uint32_t ms) = 0;
  // Milliseconds on a monotonic scale (virtual in tests).
  virtual uint64_t NowMs() = 0;
};

IClock& RealClock();
