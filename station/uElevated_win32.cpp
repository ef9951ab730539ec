#include "station/uElevated_win32.h"

// after windows.h
#include <objbase.h>
#include <shellapi.h>

#include "device/uWinText_win32.h"
#include "station/uProcess.h"

namespace {

constexpr size_t kMaxResult = 1u << 20;

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

}  // namespace

TElevatedStep RunElevated(const std::string& program,
                          const std::function<std::wstring(const std::wstring& resultFile)>& parameters,
                          uint64_t ownerWindow, DWORD waitMs) {
  TElevatedStep step;
  step.Program = program.empty() ? SelfExecutablePath() : program;
  // The caller makes the result file: the elevated copy only writes into it.
  wchar_t dir[MAX_PATH + 1] = {};
  wchar_t file[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH, dir) == 0 || GetTempFileNameW(dir, L"pel", 0, file) == 0) {
    step.Error = GetLastError();
    return step;
  }
  // The copy reads its command line as UTF-16: the file's own name reaches it, also under a user folder
  // whose name the ANSI code page lacks and on a volume without short (8.3) names.
  const std::wstring arguments = parameters(QuoteArgument(file));

  // The shell may hand the verb to an extension that needs COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const std::wstring path = ToWide(step.Program);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  // Foreign like every argument: a number that names no window is none.
  const auto owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(ownerWindow));
  info.hwnd = owner != nullptr && IsWindow(owner) ? owner : nullptr;
  info.lpVerb = L"runas";
  info.lpFile = path.c_str();
  info.lpParameters = arguments.c_str();
  info.nShow = SW_HIDE;
  const bool started = ShellExecuteExW(&info) != FALSE;
  const DWORD startError = started ? 0 : GetLastError();
  if (SUCCEEDED(com)) CoUninitialize();
  if (!started) {
    DeleteFileW(file);
    step.End =
        startError == ERROR_CANCELLED ? TElevatedStep::TEnd::Declined : TElevatedStep::TEnd::NotStarted;
    step.Error = startError;
    return step;
  }
  step.End = TElevatedStep::TEnd::Done;
  if (info.hProcess != nullptr) {
    // Bounded: a copy that hangs in a driver call must not hold the command or the window's helper forever.
    if (WaitForSingleObject(info.hProcess, waitMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(info.hProcess, &step.ExitCode);
    } else {
      step.End = TElevatedStep::TEnd::TimedOut;
    }
    CloseHandle(info.hProcess);
  }
  if (step.End == TElevatedStep::TEnd::Done) step.Read = ReadSmallFile(file, kMaxResult, step.Result);
  // A copy still going finds no file to write into, and creates none.
  DeleteFileW(file);
  return step;
}

std::string ElevatedStepProblem(const TElevatedStep& step) {
  switch (step.End) {
    case TElevatedStep::TEnd::Declined:
      return "the elevation was declined";
    case TElevatedStep::TEnd::NotStarted:
      return "could not start " + step.Program + " with administrator rights (error " +
             std::to_string(step.Error) + ")";
    case TElevatedStep::TEnd::TimedOut:
      return "the step with administrator rights (" + step.Program + ") has not ended after " +
             std::to_string(kElevatedWaitMs / 1000) + " s; what it changed is not known";
    case TElevatedStep::TEnd::Done:
      break;
  }
  return "the step with administrator rights " +
         std::string(step.Read ? "did not report it" : "left no result") + " (exit code " +
         std::to_string(step.ExitCode) + ")";
}
