#include <windows.h>

#include <algorithm>
#include <iterator>

#include "device/uWinText_win32.h"
#include "station/uStationSys.h"

namespace {

std::string Reason(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason = n > 0 ? ToUtf8(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
    reason.pop_back();
  }
  return reason.empty() ? "error " + std::to_string(code) : reason;
}

HANDLE AsHandle(intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

bool WriteAll(HANDLE h, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    if (!WriteFile(h, text.data() + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

TLogFile::~TLogFile() {
  if (FHandle != kNone) CloseHandle(AsHandle(FHandle));
}

bool TLogFile::Create(const std::string& path, bool& exists, std::string& error) {
  exists = false;
  // No security attributes: the handle is not inheritable, so no run holds another's log. CREATE_NEW:
  // never another run's file.
  const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    error = Reason(code);
    return false;
  }
  FHandle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool TLogFile::Write(const std::string& text, std::string& error) {
  if (FHandle == kNone) return false;
  if (WriteAll(AsHandle(FHandle), text)) return true;
  error = Reason(GetLastError());
  return false;
}

bool TLogFile::Close(std::string& error) {
  if (FHandle == kNone) return true;
  const HANDLE h = AsHandle(FHandle);
  FHandle = kNone;
  bool ok = FlushFileBuffers(h) != 0;
  if (!ok) error = Reason(GetLastError());
  CloseHandle(h);
  return ok;
}

bool ReplaceWholeFile(const std::string& path, const std::string& text, std::string& error) {
  const std::wstring temp = ToWide(path + ".tmp");
  const HANDLE h =
      CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "\"" + path + ".tmp\": " + Reason(GetLastError());
    return false;
  }
  bool ok = WriteAll(h, text) && FlushFileBuffers(h) != 0;
  if (!ok) error = "\"" + path + ".tmp\": " + Reason(GetLastError());
  CloseHandle(h);
  if (ok &&
      !MoveFileExW(temp.c_str(), ToWide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = "\"" + path + "\": " + Reason(GetLastError());
  }
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  text.clear();
  char buf[65536];
  DWORD n = 0;
  bool ok = true;
  while ((ok = ReadFile(h, buf, sizeof buf, &n, nullptr) != 0) && n > 0) text.append(buf, n);
  CloseHandle(h);
  return ok;
}

bool WriteIntoOwnFile(const std::string& path, const std::string& text, std::string& error) {
  // OPEN_EXISTING: nothing is created. FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than what
  // it points to, so that it can be refused below; no sharing while it is checked and written.
  const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "\"" + path + "\": " + Reason(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  if (!ok) {
    error = "\"" + path + "\": " + Reason(GetLastError());
  } else if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
             GetFileType(h) != FILE_TYPE_DISK) {
    ok = false;
    error = "\"" + path + "\": a link or no regular file";
  } else if (info.nNumberOfLinks != 1) {
    ok = false;
    error = "\"" + path + "\": the file has " + std::to_string(info.nNumberOfLinks) + " names (hard links)";
  } else if (!WriteAll(h, text) || !SetEndOfFile(h)) {
    ok = false;
    error = "\"" + path + "\": " + Reason(GetLastError());
  }
  CloseHandle(h);
  return ok;
}

std::string ComputerName() {
  wchar_t name[256] = {};
  DWORD size = static_cast<DWORD>(std::size(name));
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
  return ToUtf8(name, size);
}
