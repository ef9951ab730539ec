#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

#include "device/uWinText_win32.h"
#include "run/uWinTools1V4.h"

namespace {

std::wstring ModuleFileName() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::vector<std::string> ProcessParams() {
  std::vector<std::string> params;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  // Parameter 0 is the full path of the program file, whatever the command line called it.
  params.push_back(ToAnsi(ModuleFileName()));
  if (argv != nullptr) {
    for (int i = 1; i < count; ++i) params.push_back(ToAnsi(argv[i]));
    LocalFree(argv);
  }
  return params;
}

std::string GetParamValue(const std::string& prefix, const std::string& def) {
  return GetParamValue(prefix, def, ProcessParams());
}
