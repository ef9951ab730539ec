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

// The program's full path (whatever the command line called it), then the parameters after it, each
// converted by `convert`.
template <class TConvert>
std::vector<std::string> Params(TConvert convert) {
  std::vector<std::string> params{convert(ModuleFileName())};
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv != nullptr) {
    for (int i = 1; i < count; ++i) params.push_back(convert(argv[i]));
    LocalFree(argv);
  }
  return params;
}

}  // namespace

std::vector<std::string> ProcessParams() {
  return Params([](const std::wstring& text) { return ToAnsi(text); });
}

std::vector<std::string> ProcessParamsUtf8() {
  return Params([](const std::wstring& text) { return ToUtf8(text); });
}

std::string GetParamValue(const std::string& prefix, const std::string& def) {
  return GetParamValue(prefix, def, ProcessParams());
}
