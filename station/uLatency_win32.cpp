// Adapters' latency timers on Windows: the driver's LatencyTimer (REG_DWORD) in the port's "Device
// Parameters" key, which the driver reads when the device starts. So after writing it the device is
// restarted through SetupAPI, as the Device Manager does after a change on a property page. Both need
// administrator rights; without them this program starts itself once with them (the elevation prompt)
// for all refused ports and reads their results from a file that copy leaves.
#include <windows.h>
// after windows.h
#include <objbase.h>
#include <setupapi.h>
#include <shellapi.h>

#include <string>

#include "device/uWinText_win32.h"
#include "station/uLatency.h"
#include "station/uPortDiag.h"
#include "station/uSetupApi_win32.h"
#include "station/uProcess.h"

namespace {

const wchar_t kMachine[] = L"HKEY_LOCAL_MACHINE\\";

enum class TRestart { Done, NeedsReboot, NotPresent, Denied, Failed };

// Stops and starts the present device whose PortName is `port`, so its driver reads its parameters again.
TRestart RestartPort(const std::wstring& port, DWORD& error) {
  const HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return TRestart::Failed;
  }
  TRestart result = TRestart::NotPresent;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; result == TRestart::NotPresent && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    if (lstrcmpiW(DevicePortName(set, device).c_str(), port.c_str()) != 0) continue;
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;  // stop and start again
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    params.HwProfile = 0;  // the current profile
    if (!SetupDiSetClassInstallParamsW(set, &device, &params.ClassInstallHeader, sizeof params) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &device)) {
      error = GetLastError();
      result = error == ERROR_ACCESS_DENIED ? TRestart::Denied : TRestart::Failed;
      break;
    }
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof install;
    const bool reboot = SetupDiGetDeviceInstallParamsW(set, &device, &install) &&
                        (install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
    result = reboot ? TRestart::NeedsReboot : TRestart::Done;
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

// A file of at most `limit` bytes; false when it cannot be read or is larger.
bool ReadSmallFile(const std::wstring& path, size_t limit, std::string& text) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text.assign(limit + 1, '\0');
  DWORD got = 0;
  const bool ok = ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr) != FALSE;
  CloseHandle(file);
  text.resize(got);
  return ok && got <= limit;
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
    const std::wstring location = ToWide(t.Location);
    const size_t prefix = std::size(kMachine) - 1;
    if (location.compare(0, prefix, kMachine) != 0) {
      r.Notes = {t.Port + ": no registry key holds its latency timer."};
      return r;
    }
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, location.c_str() + prefix, 0, KEY_SET_VALUE | KEY_QUERY_VALUE,
                            &key);
    if (rc == ERROR_SUCCESS) {
      const DWORD value = static_cast<DWORD>(ms);
      rc = RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
      DWORD back = 0, type = 0, size = sizeof back;
      if (rc == ERROR_SUCCESS &&
          RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&back), &size) ==
              ERROR_SUCCESS &&
          type == REG_DWORD) {
        r.TimerMs = back > 1000 ? 1000 : static_cast<int>(back);
      }
      RegCloseKey(key);
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
      r.Notes = {t.Port + ": the latency timer could not be written to " + t.Location + " (error " +
                 std::to_string(rc) + ")."};
      return r;
    }
    if (!t.Present) {
      r.Outcome = TTimerOutcome::SetPending;
      r.Notes = {t.Port + " is not plugged in: its adapter takes the new timer when it is."};
      return r;
    }
    DWORD error = 0;
    switch (RestartPort(ToWide(t.Port), error)) {
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
      case TRestart::NotPresent:
        r.Outcome = TTimerOutcome::SetPending;
        r.Notes = {"The system lists no device for " + t.Port +
                   " to restart: the adapter takes the new timer when it is plugged in again."};
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
    auto tellAll = [&results](TTimerOutcome outcome, const std::string& note) {
      for (TTimerResult& r : results) {
        r.Outcome = outcome;
        r.Notes = {r.Port + ": " + note};
      }
      return results;
    };
    wchar_t dir[MAX_PATH + 1] = {};
    wchar_t file[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH, dir) == 0 || GetTempFileNameW(dir, L"pel", 0, file) == 0) {
      return tellAll(TTimerOutcome::Failed, "no temporary file for the step with administrator rights.");
    }
    // The copy reads its command line as UTF-16: the file's own name reaches it, also under a user folder
    // whose name the ANSI code page lacks and on a volume without short (8.3) names.
    const std::wstring resultFile = file;
    const std::string program = FEnv.ElevatedProgram.empty() ? SelfExecutablePath() : FEnv.ElevatedProgram;
    // The ports last, after "--": no port name is taken for an option.
    std::wstring parameters =
        L"latency --set " + std::to_wstring(ms) + L" --result-file " + QuoteArgument(resultFile) + L" --";
    for (const TAdapterTimer& t : timers) parameters += L" " + QuoteArgument(ToWide(t.Port));

    // The shell may hand the verb to an extension that needs COM.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::wstring path = ToWide(program);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    // Foreign like every argument: a number that names no window is none.
    const auto owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(FEnv.OwnerWindow));
    info.hwnd = owner != nullptr && IsWindow(owner) ? owner : nullptr;
    info.lpVerb = L"runas";
    info.lpFile = path.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    const bool started = ShellExecuteExW(&info) != FALSE;
    const DWORD startError = started ? 0 : GetLastError();
    if (SUCCEEDED(com)) CoUninitialize();
    if (!started) {
      DeleteFileW(file);
      if (startError == ERROR_CANCELLED) {
        return tellAll(TTimerOutcome::NotPermitted,
                       "the elevation was declined; its latency timer stays as it was.");
      }
      return tellAll(TTimerOutcome::Failed, "could not start " + program +
                                                " with administrator rights (error " +
                                                std::to_string(startError) + ").");
    }
    DWORD exitCode = 1;
    if (info.hProcess != nullptr) {
      WaitForSingleObject(info.hProcess, INFINITE);
      GetExitCodeProcess(info.hProcess, &exitCode);
      CloseHandle(info.hProcess);
    }
    std::string text;
    std::vector<TTimerResult> reported;
    const bool read = ReadSmallFile(file, 1u << 20, text) && ParseTimerResults(text, reported);
    DeleteFileW(file);
    for (TTimerResult& r : results) {
      bool found = false;
      for (TTimerResult& e : reported) {
        if (!found && !e.Port.empty() && e.Port == r.Port) {
          r = std::move(e);
          e.Port.clear();  // each reported result answers one port
          found = true;
        }
      }
      if (!found) {
        r.Notes = {r.Port + ": the step with administrator rights " +
                   (read ? std::string("did not report it") : std::string("left no result")) +
                   " (exit code " + std::to_string(exitCode) + ")."};
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
