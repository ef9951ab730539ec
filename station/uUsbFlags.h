// Setting a PC up once for the station (`pellory-cli station-setup`, the window's "Set up this PC..."):
// Windows' documented IgnoreHWSerNumVVVVPPPP flag (REG_BINARY 01 under
// HKLM\SYSTEM\CurrentControlSet\Control\UsbFlags) makes it treat every device of that USB vendor and
// product in one socket as one device: one COM number per socket, and one latency timer that, once set,
// holds for every logger plugged there. Portable texts and the results file; the platform half is
// uUsbFlags_win32.cpp (the registry, one elevation) and uUsbFlags_posix.cpp (nothing to set up).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct TUsbId {
  uint16_t Vendor = 0;
  uint16_t Product = 0;
  bool operator==(const TUsbId&) const = default;
};

// "0403:6001" (four hex digits each, either case); false for anything else.
bool ParseUsbId(const std::string& text, TUsbId& id);
// "0403:6001".
std::string UsbIdText(TUsbId id);
// "IgnoreHWSerNum04036001": the value's name under UsbFlags.
std::string IgnoreSerialValueName(TUsbId id);

enum class TSetupOutcome : uint8_t {
  Set,           // the flag is set now
  AlreadySet,    // it was set before
  Removed,       // --undo: it is gone now
  NotSet,        // --undo: it was not there
  NotPermitted,  // this user may not change it, or the elevation was declined
  Failed,        // the system refused for another reason
};

struct TSetupResult {
  TUsbId Id;
  TSetupOutcome Outcome = TSetupOutcome::Failed;
  std::vector<std::string> Notes;  // why, where it did not work
};

class IUsbFlags {
 public:
  virtual ~IUsbFlags() = default;
  // False where the system has no such flag (everything but Windows): there is nothing to set up.
  virtual bool Available() const = 0;
  // Whether the flag is set for `id` now.
  virtual bool IgnoresSerial(TUsbId id) = 0;
  // Sets (or with `undo` removes) the flag for `id` with this process's rights.
  virtual TSetupResult Apply(TUsbId id, bool undo) = 0;
  virtual bool CanElevate() const = 0;
  // The same for all `ids` in one step with more rights; one result per id, in their order.
  virtual std::vector<TSetupResult> ApplyElevated(const std::vector<TUsbId>& ids, bool undo) = 0;
};

// Windows: the program started with administrator rights (empty: this one; it must take
// `station-setup --vid-pid ... [--undo] --result-file FILE`), and the window its prompt belongs to.
struct TUsbFlagsEnv {
  std::string ElevatedProgram;
  uint64_t OwnerWindow = 0;
};
std::unique_ptr<IUsbFlags> PlatformUsbFlags(const TUsbFlagsEnv& env = {});

// Applies the flag to each of `ids`, those refused for want of rights in one step with more (when
// `mayElevate` and the platform can; `onElevate` is told first). One result per id, in their order.
std::vector<TSetupResult> ApplyUsbFlags(IUsbFlags& flags, const std::vector<TUsbId>& ids, bool undo,
                                        bool mayElevate, const std::function<void()>& onElevate = {});

// `station-setup` exits with these beside 0, 1 (the system refused) and 2 (usage); 5 is latency's too.
inline constexpr int kExitSetupNotPermitted = 5;
inline constexpr int kExitNothingToSetUp = 9;
int SetupExitCode(const std::vector<TSetupResult>& results);

// What each result means, one line each, for the terminal and the window; then what follows from it.
std::vector<std::string> SetupResultLines(const std::vector<TSetupResult>& results);

// The results as one JSON array (also the elevated step's result file), and back; reading treats the
// text as foreign: false for anything but such an array of at most 256 entries with sane fields.
std::string SetupResultsJson(const std::vector<TSetupResult>& results);
bool ParseSetupResults(const std::string& text, std::vector<TSetupResult>& results);
