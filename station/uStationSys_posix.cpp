#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "station/uStationSys.h"

namespace {

std::string Reason() {
  return std::strerror(errno);
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TLogFile::~TLogFile() {
  if (FHandle != kNone) close(static_cast<int>(FHandle));
}

bool TLogFile::Create(const std::string& path, bool& exists, std::string& error) {
  exists = false;
  // O_CLOEXEC: a run started later must not hold this log open; O_EXCL: never another run's file.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    exists = errno == EEXIST;
    error = Reason();
    return false;
  }
  FHandle = fd;
  return true;
}

bool TLogFile::Write(const std::string& text, std::string& error) {
  if (FHandle == kNone) return false;
  if (WriteAll(static_cast<int>(FHandle), text)) return true;
  error = Reason();
  return false;
}

bool TLogFile::Close(std::string& error) {
  if (FHandle == kNone) return true;
  const int fd = static_cast<int>(FHandle);
  FHandle = kNone;
  bool ok = fsync(fd) == 0;
  if (!ok) error = Reason();
  if (close(fd) != 0 && ok) {
    ok = false;
    error = Reason();
  }
  return ok;
}

bool ReplaceWholeFile(const std::string& path, const std::string& text, std::string& error) {
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    error = "\"" + temp + "\": " + Reason();
    return false;
  }
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  if (!ok) error = "\"" + temp + "\": " + Reason();
  close(fd);
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = "\"" + path + "\": " + Reason();
  }
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk with its folder.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  text.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return n == 0;
    }
    text.append(buf, static_cast<size_t>(n));
  }
}

bool WriteIntoOwnFile(const std::string& path, const std::string& text, std::string& error) {
  // O_NOFOLLOW: a symbolic link is refused, not followed; no O_CREAT; O_NONBLOCK: a FIFO does not hold the
  // open up (it is refused below).
  const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "\"" + path + "\": " + (errno == ELOOP ? std::string("a symbolic link") : Reason());
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    error = "\"" + path + "\": " + Reason();
  } else if (!S_ISREG(st.st_mode)) {
    ok = false;
    error = "\"" + path + "\": not a regular file";
  } else if (st.st_nlink != 1) {
    ok = false;
    error = "\"" + path + "\": the file has " + std::to_string(st.st_nlink) + " names (hard links)";
  } else if (ftruncate(fd, 0) != 0 || !WriteAll(fd, text)) {
    ok = false;
    error = "\"" + path + "\": " + Reason();
  }
  close(fd);
  return ok;
}

std::string ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}
