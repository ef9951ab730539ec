#include <windows.h>
// windows.h first: shlobj.h needs its types.
#include <shlobj.h>

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

bool FileFailure(TFileError& error, DWORD code = GetLastError()) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      error.Fault = TFileFault::Missing;
      break;
    // A spreadsheet holding the file lets others read it, not write it.
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      error.Fault = TFileFault::Held;
      break;
    default:
      error.Fault = TFileFault::Failed;
      break;
  }
  error.Text = Reason(code);
  return false;
}

bool ReadAtOffset(HANDLE h, uint64_t offset, size_t count, std::string& bytes, TFileError& error) {
  // In blocks, as far as the file goes: `count` is a bound, not a size to allocate.
  bytes.clear();
  char block[65536];
  while (bytes.size() < count) {
    const uint64_t at = offset + bytes.size();
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min(sizeof block, count - bytes.size()));
    if (!ReadFile(h, block, want, &n, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return FileFailure(error);
    }
    if (n == 0) break;
    bytes.append(block, n);
  }
  return true;
}

bool IsRegularFile(HANDLE h) {
  return GetFileType(h) == FILE_TYPE_DISK;
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

TRecordLock::~TRecordLock() {
  // Closing the handle releases its lock.
  if (FHandle != -1) CloseHandle(AsHandle(FHandle));
}

bool TRecordLock::Take(const std::string& path, int waitMs, TFileError& error) {
  // Hidden: a file of the program's beside the user's summary, not one of theirs.
  const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileFailure(error);
  // LockFileEx locks per handle: two records in one process exclude each other as two processes do.
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(std::max(0, waitMs));
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
    const DWORD code = GetLastError();
    if (code != ERROR_LOCK_VIOLATION || GetTickCount64() >= until) {
      FileFailure(error, code);
      if (code == ERROR_LOCK_VIOLATION) error = {TFileFault::Busy, "another station is writing it"};
      CloseHandle(h);
      return false;
    }
    Sleep(2);
  }
  FHandle = reinterpret_cast<intptr_t>(h);
  return true;
}

TAppendFile::~TAppendFile() {
  if (FHandle != -1) CloseHandle(AsHandle(FHandle));
}

bool TAppendFile::Open(const std::string& path, TFileError& error) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands whole at the end, whatever other writers did
  // meanwhile. Shared for reading and appending only: a program that holds the file for itself (a
  // spreadsheet lets others only read) refuses this open.
  const HANDLE h = CreateFileW(
      ToWide(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileFailure(error);
  if (!IsRegularFile(h)) {
    CloseHandle(h);
    error = {TFileFault::Failed, "it is not a regular file"};
    return false;
  }
  FHandle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool TAppendFile::Size(uint64_t& size, TFileError& error) {
  LARGE_INTEGER n{};
  if (!GetFileSizeEx(AsHandle(FHandle), &n)) return FileFailure(error);
  size = static_cast<uint64_t>(n.QuadPart);
  return true;
}

bool TAppendFile::ReadAt(uint64_t offset, size_t count, std::string& bytes, TFileError& error) {
  return ReadAtOffset(AsHandle(FHandle), offset, count, bytes, error);
}

bool TAppendFile::Append(const std::string& bytes, TFileError& error) {
  const HANDLE h = AsHandle(FHandle);
  return (WriteAll(h, bytes) && FlushFileBuffers(h)) || FileFailure(error);
}

bool ReadFilePart(const std::string& path, uint64_t offset, size_t count, std::string& bytes,
                  TFileError& error) {
  const HANDLE h =
      CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileFailure(error);
  bool ok = IsRegularFile(h);
  if (!ok) error = {TFileFault::Failed, "it is not a regular file"};
  ok = ok && ReadAtOffset(h, offset, count, bytes, error);
  CloseHandle(h);
  return ok;
}

bool RemoveFile(const std::string& path, TFileError& error) {
  if (DeleteFileW(ToWide(path).c_str())) return true;
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || FileFailure(error, code);
}

bool RenameFile(const std::string& from, const std::string& to, TFileError& error) {
  // Without MOVEFILE_REPLACE_EXISTING: never over an existing file.
  return MoveFileExW(ToWide(from).c_str(), ToWide(to).c_str(), MOVEFILE_WRITE_THROUGH) || FileFailure(error);
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string UserPendingFolder() {
  PWSTR local = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &local)) &&
      local != nullptr) {
    folder = std::wstring(local) + L"\\Pellory\\pending";
  }
  CoTaskMemFree(local);
  return ToUtf8(folder);
}

std::string PathKey(const std::string& path) {
  const std::wstring wide = ToWide(path);
  std::wstring full(MAX_PATH, L'\0');
  DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.resize(n);
    n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  full.resize(n > 0 && n < full.size() ? n : 0);
  if (full.empty()) full = wide;
  // File names on Windows are compared without case, as the system compares them.
  CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  return ToUtf8(full);
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FolderTakesFiles(const std::string& dir, std::string& why, bool makeMissing) {
  std::wstring wide = ToWide(dir);
  // SHCreateDirectoryExW takes full paths only.
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH * 2, full, nullptr);
  if (n > 0 && n < MAX_PATH * 2) wide = full;
  if (makeMissing) SHCreateDirectoryExW(nullptr, wide.c_str(), nullptr);
  const HANDLE probe =
      CreateFileW((wide + L"\\.pellory-station-probe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    why = "cannot create files in \"" + dir + "\": " + Reason(GetLastError());
    return false;
  }
  CloseHandle(probe);
  return true;
}

std::string FolderOf(const std::string& path) {
  // "C:runs.csv" is a file in the current folder of drive C.
  const size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos) return path.substr(0, slash + 1);
  return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
}

std::string InFolder(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' || dir.back() == '\\' ? dir + name : dir + "\\" + name;
}
