// The C run-time's own calls on the narrow (ANSI) name, as the reader has always opened it. Opening a
// device or a pipe does not block on Windows; only reading would, and the type is known before that.
#include <sys/stat.h>

#include <cstdio>

#include "firmware/uRegularFile.h"

std::FILE* OpenRegularFile(const std::string& fileName, uint64_t maxBytes, TFileProblem& problem) {
  struct _stati64 st {};
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
  if (file == nullptr) {
    // A folder cannot be opened as a file here; say so rather than only that it failed.
    const bool folder = _stati64(fileName.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
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
