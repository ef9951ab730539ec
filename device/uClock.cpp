#include "device/uClock.h"

#include <chrono>
#include <thread>

namespace {

class TRealClock : public IClock {
 public:
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  uint64_t NowMs() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
};

}  // namespace

IClock& RealClock() {
  static TRealClock clock;
  return clock;
}
