// Adapters' latency timers on Windows: the driver's LatencyTimer (REG_DWORD) in the hardware key of the
// port's present device, which the driver reads when the device starts. So after writing it that same
// device is restarted through SetupAPI, as the Device Manager does after a change on a property page. Both
// need administrator rights; without them this program starts itself once with them (the elevation
// prompt) for all refused ports and reads their results from a file that copy leaves.
#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <string>

#include "device/uWinText_win32.h"
#include "station/uElevated_win32.h"
#include "station/uLatency.h"
#include "station/uPortDiag.h"
#include "station/uSetupApi_win32.h"

namespace {

enum class TRestart { Done, NeedsReboot, Denied, Failed };

// Stops and starts `device`, so its driver reads its parameters again.
TRestart RestartDevice(TDeviceByInstance& device, DWORD& error) {
  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = DICS_PROPCHANGE;  // stop and start again
  params.Scope = DICS_FLAG_CONFIGSPECIFIC;
  params.HwProfile = 0;  // the current profile
  if (!SetupDiSetClassInstallParamsW(device.Set(), &device.Data(), &params.ClassInstallHeader,
                                     sizeof params) ||
      !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, device.Set(), &device.Data())) {
    error = GetLastError();
    return error == ERROR_ACCESS_DENIED ? TRestart::Denied : TRestart::Failed;
  }
  SP_DEVINSTALL_PARAMS_W install{};
  install.cbSize = sizeof install;
  const bool reboot = SetupDiGetDeviceInstallParamsW(device.Set(), &device.Data(), &install) &&
                      (install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
  return reboot ? TRestart::NeedsReboot : TRestart::Done;
}

class TWin32AdapterTimers : public IAdapterTimers {
 public:
  explicit TWin32AdapterTimers(TLatencyEnv env) : FEnv(std::move(env)) {}

  TAdapterTimer Read(const std::string& port) override {
    TAdapterTimer t;
    t.Port = port;
    t.Info = DescribePort(port);
    t.Present = !t.Info.Kernel.empty();  // in the serial-port map
    const TLatencyFacts facts = GatherLatencyFacts(port);
    t.TimerMs = facts.TimerMs;
    t.Location = facts.Location;
    return t;
  }

  TTimerResult Write(const TAdapterTimer& t, int ms) override {
    TTimerResult r = TimerResultOf(t, TTimerOutcome::Failed);
    // The device Read found, by its instance id: the timer is written to it and it is restarted, whatever
    // another device of the same port name may hold.
    TDeviceByInstance device(ToWide(t.Location));
    if (!device.Opened()) {
      r.Notes = {t.Port + ": its device " + t.Location + " is gone (error " + std::to_string(device.Error()) +
                 "); the timer was not changed."};
      return r;
    }
    LONG rc = ERROR_SUCCESS;
    const HKEY key = SetupDiOpenDevRegKey(device.Set(), &device.Data(), DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                          KEY_SET_VALUE | KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
      rc = static_cast<LONG>(GetLastError());
      if (rc == ERROR_SUCCESS) rc = ERROR_ACCESS_DENIED;
    } else {
      const DWORD value = static_cast<DWORD>(ms);
      rc = RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
      RegCloseKey(key);
      if (rc == ERROR_SUCCESS) r.TimerMs = DeviceLatencyTimer(device.Set(), device.Data());
    }
    if (rc == ERROR_ACCESS_DENIED) {
      r.Outcome = TTimerOutcome::NotPermitted;
      r.Notes = {t.Port +
                     ": changing its latency timer needs administrator rights. In a console opened as "
                     "administrator run:",
                 "  pellory-cli latency " + t.Port + " --set " + std::to_string(ms)};
      return r;
    }
    if (rc != ERROR_SUCCESS) {
      r.Notes = {t.Port + ": the latency timer could not be written to the device " + t.Location +
                 " (error " + std::to_string(rc) + ")."};
      return r;
    }
    if (!t.Present) {
      r.Outcome = TTimerOutcome::SetPending;
      r.Notes = {t.Port + " is not plugged in: its adapter takes the new timer when it is."};
      return r;
    }
    DWORD error = 0;
    switch (RestartDevice(device, error)) {
      case TRestart::Done:
        r.Outcome = TTimerOutcome::Set;
        r.Notes = {"The adapter was restarted and uses it now."};
        break;
      case TRestart::NeedsReboot:
        r.Outcome = TTimerOutcome::SetPending;
        r.Notes = {
            "Windows restarts this adapter only with the system: it takes the new timer after a restart "
            "of Windows, or when it is plugged in again."};
        break;
      case TRestart::Denied:
        r.Outcome = TTimerOutcome::NotPermitted;
        r.Notes = {t.Port + ": the timer is written, but restarting the adapter needs administrator rights;",
                   "it takes the new timer when it is plugged in again."};
        break;
      case TRestart::Failed:
        r.Outcome = TTimerOutcome::SetPending;
        r.Notes = {"The adapter could not be restarted (error " + std::to_string(error) +
                   "; is the port open in a program?): it takes the new timer when it is plugged in again."};
        break;
    }
    return r;
  }

  bool CanElevate() const override { return true; }

  std::vector<TTimerResult> WriteElevated(const std::vector<TAdapterTimer>& timers, int ms) override {
    std::vector<TTimerResult> results;
    for (const TAdapterTimer& t : timers) results.push_back(TimerResultOf(t, TTimerOutcome::Failed));
    const TElevatedStep step = RunElevated(
        FEnv.ElevatedProgram,
        [&](const std::wstring& resultFile) {
          // The ports last, after "--": no port name is taken for an option.
          std::wstring parameters =
              L"latency --set " + std::to_wstring(ms) + L" --result-file " + resultFile + L" --";
          for (const TAdapterTimer& t : timers) parameters += L" " + QuoteArgument(ToWide(t.Port));
          return parameters;
        },
        FEnv.OwnerWindow);
    std::vector<TTimerResult> reported;
    const bool read = step.Read && ParseTimerResults(step.Result, reported);
    for (TTimerResult& r : results) {
      bool found = false;
      for (TTimerResult& e : reported) {
        if (!found && !e.Port.empty() && e.Port == r.Port) {
          r = std::move(e);
          e.Port.clear();  // each reported result answers one port
          found = true;
        }
      }
      if (found) continue;
      if (step.End == TElevatedStep::TEnd::Declined) {
        r.Outcome = TTimerOutcome::NotPermitted;
        r.Notes = {r.Port + ": the elevation was declined; its latency timer stays as it was."};
      } else {
        TElevatedStep told = step;
        told.Read = read;
        r.Notes = {r.Port + ": " + ElevatedStepProblem(told) + "."};
      }
    }
    return results;
  }

 private:
  TLatencyEnv FEnv;
};

}  // namespace

std::unique_ptr<IAdapterTimers> PlatformAdapterTimers(const TLatencyEnv& env) {
  return std::make_unique<TWin32AdapterTimers>(env);
}
