// Adapters' latency timers on Linux: the usb-serial driver's sysfs attribute latency_timer (ftdi_sio and
// the like), which takes effect as it is written and holds until the adapter is unplugged.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "station/uLatency.h"
#include "station/uPortDiag.h"

namespace fs = std::filesystem;

namespace {

int WriteAttribute(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int error = n == static_cast<ssize_t>(text.size()) ? 0 : n < 0 ? errno : EIO;
  ::close(fd);
  return error;
}

class TPosixAdapterTimers : public IAdapterTimers {
 public:
  explicit TPosixAdapterTimers(TLatencyEnv env) : FEnv(std::move(env)) {}

  TAdapterTimer Read(const std::string& port) override {
    TAdapterTimer t;
    t.Port = port;
    t.Info = DescribePort(port, FEnv.Roots);
    std::error_code ec;
    t.Present = fs::exists(t.Info.Kernel, ec);
    const TLatencyFacts facts = GatherLatencyFacts(port, FEnv.Roots);
    t.TimerMs = facts.TimerMs;
    t.Location = facts.Location;
    return t;
  }

  TTimerResult Write(const TAdapterTimer& t, int ms) override {
    TTimerResult r = TimerResultOf(t, TTimerOutcome::Failed);
    const std::string value = std::to_string(ms);
    const int error = FEnv.WriteFile ? FEnv.WriteFile(t.Location, value) : WriteAttribute(t.Location, value);
    if (error == EACCES || error == EPERM || error == EROFS) {
      r.Outcome = TTimerOutcome::NotPermitted;
      r.Notes = {t.Port + ": this user may not change its latency timer (" + t.Location + "). Run:",
                 "  echo " + value + " | sudo tee " + ShellWord(t.Location),
                 "or: sudo pellory-cli latency " + ShellWord(t.Port) + " --set " + value};
      return r;
    }
    if (error != 0) {
      r.Outcome = TTimerOutcome::Failed;
      r.Notes = {t.Port + ": the latency timer could not be set: " + std::strerror(error) + " (" +
                 t.Location + ")."};
      return r;
    }
    // What the driver made of it.
    r.TimerMs = DescribePort(t.Port, FEnv.Roots).LatencyMs;
    if (r.TimerMs != ms) {
      r.Outcome = TTimerOutcome::Failed;
      r.Notes = {t.Port + ": the driver took " + value + " ms but reports " +
                 (r.TimerMs < 0 ? std::string("no timer") : std::to_string(r.TimerMs) + " ms") + "."};
      return r;
    }
    r.Outcome = TTimerOutcome::Set;
    const std::string rule = UdevLatencyRule(t.Info, ms);
    if (rule.empty()) {
      r.Notes = {"It holds until the adapter is unplugged."};
    } else {
      r.Notes = {
          "It holds until the adapter is unplugged. To set it whenever the adapter is plugged in, add this",
          "udev rule, e.g. to /etc/udev/rules.d/99-pellory.rules:", "  " + rule,
          "then: sudo udevadm control --reload-rules"};
    }
    return r;
  }

  // Write already said what to run with sudo: a terminal program does not raise its own rights here.
  bool CanElevate() const override { return false; }

  std::vector<TTimerResult> WriteElevated(const std::vector<TAdapterTimer>& timers, int ms) override {
    std::vector<TTimerResult> results;
    for (const TAdapterTimer& t : timers) results.push_back(Write(t, ms));
    return results;
  }

 private:
  TLatencyEnv FEnv;
};

}  // namespace

std::unique_ptr<IAdapterTimers> PlatformAdapterTimers(const TLatencyEnv& env) {
  return std::make_unique<TPosixAdapterTimers>(env);
}
