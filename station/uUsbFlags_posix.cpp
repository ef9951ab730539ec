// Linux has no such flag and needs none: a USB serial adapter's name in /dev/serial/by-path follows its
// socket already, and a udev rule sets every adapter's latency timer when it is plugged in.
#include "station/uUsbFlags.h"

namespace {

class TPosixUsbFlags : public IUsbFlags {
 public:
  bool Available() const override { return false; }
  bool IgnoresSerial(TUsbId) override { return false; }
  TSetupResult Apply(TUsbId id, bool) override {
    TSetupResult r;
    r.Id = id;
    r.Notes = {"there is no such flag on this system."};
    return r;
  }
  bool CanElevate() const override { return false; }
  std::vector<TSetupResult> ApplyElevated(const std::vector<TUsbId>& ids, bool undo) override {
    std::vector<TSetupResult> results;
    for (const TUsbId& id : ids) results.push_back(Apply(id, undo));
    return results;
  }
};

}  // namespace

std::unique_ptr<IUsbFlags> PlatformUsbFlags(const TUsbFlagsEnv&) {
  return std::make_unique<TPosixUsbFlags>();
}
