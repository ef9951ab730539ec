// The IgnoreHWSerNum flags in HKLM\SYSTEM\CurrentControlSet\Control\UsbFlags: read by anyone, written with
// administrator rights; without them this program starts itself once with them for all the ids it was
// refused, as `latency --set` does.
#include <windows.h>

#include "device/uWinText_win32.h"
#include "station/uElevated_win32.h"
#include "station/uUsbFlags.h"

namespace {

const wchar_t kUsbFlags[] = L"SYSTEM\\CurrentControlSet\\Control\\UsbFlags";
const char kUsbFlagsText[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\UsbFlags";

// Whether the value is there at all, and whether it is the documented REG_BINARY 01.
void ReadFlag(TUsbId id, bool& present, bool& set) {
  BYTE value[8] = {};
  DWORD type = 0, size = sizeof value;
  const LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, kUsbFlags, ToWide(IgnoreSerialValueName(id)).c_str(),
                               RRF_RT_ANY, &type, value, &size);
  present = rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA;
  set = rc == ERROR_SUCCESS && type == REG_BINARY && size >= 1 && value[0] == 1;
}

class TWin32UsbFlags : public IUsbFlags {
 public:
  explicit TWin32UsbFlags(TUsbFlagsEnv env) : FEnv(std::move(env)) {}

  bool Available() const override { return true; }

  bool IgnoresSerial(TUsbId id) override {
    bool present = false, set = false;
    ReadFlag(id, present, set);
    return set;
  }

  TSetupResult Apply(TUsbId id, bool undo) override {
    TSetupResult r;
    r.Id = id;
    bool present = false, set = false;
    ReadFlag(id, present, set);
    // Nothing to change needs no rights.
    if (!undo && set) {
      r.Outcome = TSetupOutcome::AlreadySet;
      return r;
    }
    if (undo && !present) {
      r.Outcome = TSetupOutcome::NotSet;
      return r;
    }
    HKEY key = nullptr;
    LONG rc =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUsbFlags, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
      const std::wstring name = ToWide(IgnoreSerialValueName(id));
      const BYTE on = 1;
      rc = undo ? RegDeleteValueW(key, name.c_str())
                : RegSetValueExW(key, name.c_str(), 0, REG_BINARY, &on, 1);
      RegCloseKey(key);
    }
    if (rc == ERROR_ACCESS_DENIED) {
      r.Outcome = TSetupOutcome::NotPermitted;
      r.Notes = {std::string("changing ") + kUsbFlagsText + " needs administrator rights."};
    } else if (rc != ERROR_SUCCESS) {
      r.Notes = {std::string(kUsbFlagsText) + " could not be changed (error " + std::to_string(rc) + ")."};
    } else {
      r.Outcome = undo ? TSetupOutcome::Removed : TSetupOutcome::Set;
    }
    return r;
  }

  bool CanElevate() const override { return true; }

  std::vector<TSetupResult> ApplyElevated(const std::vector<TUsbId>& ids, bool undo) override {
    const TElevatedStep step = RunElevated(
        FEnv.ElevatedProgram,
        [&](const std::wstring& resultFile) {
          std::wstring parameters = L"station-setup";
          for (const TUsbId& id : ids) parameters += L" --vid-pid " + ToWide(UsbIdText(id));
          if (undo) parameters += L" --undo";
          return parameters + L" --result-file " + resultFile;
        },
        FEnv.OwnerWindow);
    std::vector<TSetupResult> reported;
    const bool read = step.Read && ParseSetupResults(step.Result, reported);
    std::vector<TSetupResult> results;
    std::vector<bool> taken(reported.size(), false);  // each reported result answers one id
    for (const TUsbId& id : ids) {
      TSetupResult r;
      r.Id = id;
      bool found = false;
      for (size_t i = 0; !found && i < reported.size(); ++i) {
        if (taken[i] || reported[i].Id != id) continue;
        r = reported[i];
        taken[i] = found = true;
      }
      if (!found) {
        TElevatedStep told = step;
        told.Read = read;
        r.Outcome =
            step.End == TElevatedStep::TEnd::Declined ? TSetupOutcome::NotPermitted : TSetupOutcome::Failed;
        r.Notes = {ElevatedStepProblem(told) + "."};
      }
      results.push_back(std::move(r));
    }
    return results;
  }

 private:
  TUsbFlagsEnv FEnv;
};

}  // namespace

std::unique_ptr<IUsbFlags> PlatformUsbFlags(const TUsbFlagsEnv& env) {
  return std::make_unique<TWin32UsbFlags>(env);
}
