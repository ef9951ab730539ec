// The type and size come from the open descriptor, so what was checked is what is read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "firmware/uRegularFile.h"

std::FILE* OpenRegularFile(const std::string& fileName, uint64_t maxBytes, TFileProblem& problem) {
  // Non-blocking: a FIFO without a writer would otherwise hold the open for good.
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    problem = TFileProblem::CannotOpen;
    return nullptr;
  }
  struct stat st {};
  problem = ::fstat(fd, &st) != 0                          ? TFileProblem::CannotOpen
            : S_ISDIR(st.st_mode)                          ? TFileProblem::Folder
            : !S_ISREG(st.st_mode)                         ? TFileProblem::NotRegular
            : static_cast<uint64_t>(st.st_size) > maxBytes ? TFileProblem::TooLarge
                                                           : TFileProblem::None;
  std::FILE* file = problem == TFileProblem::None ? ::fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    ::close(fd);
    if (problem == TFileProblem::None) problem = TFileProblem::CannotOpen;
  }
  return file;
}
