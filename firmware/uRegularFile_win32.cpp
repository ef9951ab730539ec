// The C run-time's own calls on the wide name: a UTF-8 name reaches every file, whatever the ANSI code page
// holds and whether or not the volume keeps short (8.3) names. Opening a device or a pipe does not block on
// Windows; only reading would, and the type is known before that.
#include <windows.h>
// windows.h first: the C run-time's wide calls follow it.
#include <sys/stat.h>

#include <climits>
#include <cstdio>

#include "firmware/uRegularFile.h"

namespace {

std::wstring WideName(const std::string& name) {
  if (name.empty() || name.size() > INT_MAX) return {};
  const int n = static_cast<int>(name.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, name.data(), n, nullptr, 0);
  std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, name.data(), n, wide.data(), size);
  return wide;
}

}  // namespace

std::FILE* OpenRegularFile(const std::string& fileName, uint64_t maxBytes, TFileProblem& problem) {
  struct _stati64 st {};
  const std::wstring name = WideName(fileName);
  std::FILE* file = _wfopen(name.c_str(), L"rb");
  if (file == nullptr) {
    // A folder cannot be opened as a file here; say so rather than only that it failed.
    const bool folder = _wstati64(name.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
    problem = folder ? TFileProblem::Folder : TFileProblem::CannotOpen;
    return nullptr;
  }
  problem = _fstati64(_fileno(file), &st) != 0             ? TFileProblem::CannotOpen
            : (st.st_mode & _S_IFMT) != _S_IFREG           ? TFileProblem::NotRegular
            : static_cast<uint64_t>(st.st_size) > maxBytes ? TFileProblem::TooLarge
                                                           : TFileProblem::None;
  if (problem != TFileProblem::None) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}
