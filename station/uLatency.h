// The latency timer of a USB serial adapter: how long it holds a short answer before passing it on, which
// every exchange of an update pays once. Read and set per port (`pellory-cli latency`); the ports this
// process may not change are set together in one step with more rights (Windows: one elevation prompt
// for all of them). The platform half: uLatency_posix.cpp (sysfs), uLatency_win32.cpp (the driver's value
// in the device's hardware key, through SetupAPI).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/uPortInfo.h"

// What the system tells of one port's adapter and its timer.
struct TAdapterTimer {
  std::string Port;
  bool Present = false;  // the port exists now
  TPortInfo Info;        // driver, USB identity, product
  int TimerMs = -1;      // -1: no adapter latency timer
  std::string Location;  // where the timer is kept: the sysfs file, or the device's instance id (Windows)
};

enum class TTimerOutcome : uint8_t {
  Shown,         // read only
  Set,           // set, and the adapter uses it now
  SetPending,    // set; the adapter takes it when it is plugged in again (or the system restarts)
  NoTimer,       // no such port, or no adapter latency timer (a CDC-ACM device, a pty, the simulator)
  NotPermitted,  // this user may not change it, or the elevation was declined
  Failed,        // the system refused for another reason
};

struct TTimerResult {
  std::string Port;
  TTimerOutcome Outcome = TTimerOutcome::Failed;
  int WasMs = -1;    // the timer before
  int TimerMs = -1;  // the timer now (after a change: as read back)
  std::string Driver, UsbId, Product;
  std::vector<std::string> Notes;  // what the user is told, one line each
};

// Where the platform half looks and writes; tests replace each part.
struct TLatencyEnv {
  TSystemRoots Roots;
  // POSIX: writes `text` to the file `path`; returns 0 or the errno. Unset: the file itself. Tests refuse
  // here: they run as root, whom no file mode refuses.
  std::function<int(const std::string& path, const std::string& text)> WriteFile;
  // Windows: the program started with administrator rights to set the refused ports; it must take
  // `latency PORT... --set N --result-file FILE`. Empty: this program (pellory-cli). The window names
  // pellory-cli.exe here.
  std::string ElevatedProgram;
  // Windows: the window the elevation prompt belongs to, so that it comes up in front of it; without one
  // (a window's child has none) Windows may only flash the prompt in the taskbar. 0: none.
  uint64_t OwnerWindow = 0;
};

class IAdapterTimers {
 public:
  virtual ~IAdapterTimers() = default;
  virtual TAdapterTimer Read(const std::string& port) = 0;
  // Sets the timer that Read found, with this process's rights (Windows: and restarts the device).
  virtual TTimerResult Write(const TAdapterTimer& timer, int ms) = 0;
  // Whether WriteElevated can get more rights (Windows: the elevation prompt; POSIX: no, Write says what
  // to run instead).
  virtual bool CanElevate() const = 0;
  // Sets all `timers` in one step with more rights; one result per timer, in their order.
  virtual std::vector<TTimerResult> WriteElevated(const std::vector<TAdapterTimer>& timers, int ms) = 0;
};

std::unique_ptr<IAdapterTimers> PlatformAdapterTimers(const TLatencyEnv& env = {});

// `pellory-cli latency` exits with these beside 0 (all set or shown), 1 (the system refused for another
// reason) and 2 (usage). With several ports the first that applies of 1, 5, 4, 7.
inline constexpr int kExitNoTimer = 4;       // a port has no adapter latency timer
inline constexpr int kExitNotPermitted = 5;  // not permitted, or the elevation was declined
inline constexpr int kExitSetPending = 7;    // set, but the adapter takes it only when plugged in again
int LatencyExitCode(const std::vector<TTimerResult>& results);

// The timers of `ports` as they are (Shown or NoTimer).
std::vector<TTimerResult> ShowAdapterTimers(IAdapterTimers& timers, const std::vector<std::string>& ports);
// Sets the timers of `ports` to `ms`: each with this process's rights first, then those refused for want
// of rights in one step with more (when `mayElevate` and the platform can; `onElevate` is told their
// ports first). One result per port, in their order. Waits for the elevated step (and its prompt): a window
// calls it from a thread of its own.
std::vector<TTimerResult> SetAdapterTimers(
    IAdapterTimers& timers, const std::vector<std::string>& ports, int ms, bool mayElevate,
    const std::function<void(const std::vector<std::string>&)>& onElevate = {});
// The ports among `ports` whose adapter holds answers longer than 1 ms: what "speed up" would change.
std::vector<std::string> SlowAdapterPorts(IAdapterTimers& timers, const std::vector<std::string>& ports);

// A result for `t` as Read found it (the timer as it was), with `outcome` and no notes yet.
TTimerResult TimerResultOf(const TAdapterTimer& t, TTimerOutcome outcome);
// A result that no adapter was asked about: the port has no timer, for `why` ("the simulated logger").
TTimerResult NoTimerResult(const std::string& port, const std::string& why);

// The results as one JSON array (also the elevated step's result file), and back. Reading treats the text
// as foreign: false for anything but such an array of at most 256 entries with sane fields.
std::string TimerResultsJson(const std::vector<TTimerResult>& results);
bool ParseTimerResults(const std::string& text, std::vector<TTimerResult>& results);

// The table of `results`: port, driver, USB id, product, timer.
std::string TimerTable(const std::vector<TTimerResult>& results);
// `port` in a POSIX shell command, quoted where it needs it.
std::string ShellWord(const std::string& port);
