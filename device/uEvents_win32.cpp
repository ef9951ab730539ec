#include <windows.h>

#include "device/uEvents.h"

static_assert(WM_USER == kWorkerEventMessage);

namespace {

class TWindowEventSink : public IEventSink {
 public:
  void Post(intptr_t hWindow, uint32_t code, int32_t value) override {
    // Posted, never sent: the worker must not wait for the window. A full queue or a window that is gone
    // loses the event; there is nobody the worker could tell.
    PostMessageW(reinterpret_cast<HWND>(hWindow), WM_USER, static_cast<WPARAM>(code),
                 static_cast<LPARAM>(value));
  }
};

}  // namespace

IEventSink& WindowEventSink() {
  static TWindowEventSink sink;
  return sink;
}
