#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

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

bool FileFailure(TFileError& error) {
  error.Fault = errno == ENOENT ? TFileFault::Missing : TFileFault::Failed;
  error.Text = Reason();
  return false;
}

bool ReadAtOffset(int fd, uint64_t offset, size_t count, std::string& bytes, TFileError& error) {
  // In blocks, as far as the file goes: `count` is a bound, not a size to allocate.
  bytes.clear();
  char block[65536];
  while (bytes.size() < count) {
    const size_t want = std::min(sizeof block, count - bytes.size());
    const ssize_t n = pread(fd, block, want, static_cast<off_t>(offset + bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileFailure(error);
    if (n == 0) break;
    bytes.append(block, static_cast<size_t>(n));
  }
  return true;
}

bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
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

TRecordLock::~TRecordLock() {
  // Closing the descriptor releases its lock.
  if (FHandle >= 0) close(static_cast<int>(FHandle));
}

bool TRecordLock::Take(const std::string& path, int waitMs, TFileError& error) {
  // Read and write for everyone the umask allows: stations of other users on a shared folder lock it too.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  // A lock file made by another user, that this one may only read, still takes a lock.
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return FileFailure(error);
  // flock: one lock per open file, so two records in one process exclude each other as two processes do.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= until) {
      const bool busy = errno == EWOULDBLOCK;
      FileFailure(error);
      if (busy) error = {TFileFault::Busy, "another station is writing it"};
      close(fd);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  FHandle = fd;
  return true;
}

TAppendFile::~TAppendFile() {
  if (FHandle >= 0) close(static_cast<int>(FHandle));
}

bool TAppendFile::Open(const std::string& path, TFileError& error) {
  // O_APPEND: every write lands whole at the end, whatever other writers did meanwhile.
  const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return FileFailure(error);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    error = {TFileFault::Failed, "it is not a regular file"};
    return false;
  }
  FHandle = fd;
  return true;
}

bool TAppendFile::Size(uint64_t& size, TFileError& error) {
  struct stat st {};
  if (fstat(static_cast<int>(FHandle), &st) != 0) return FileFailure(error);
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool TAppendFile::ReadAt(uint64_t offset, size_t count, std::string& bytes, TFileError& error) {
  return ReadAtOffset(static_cast<int>(FHandle), offset, count, bytes, error);
}

bool TAppendFile::Append(const std::string& bytes, TFileError& error) {
  const int fd = static_cast<int>(FHandle);
  return (WriteAll(fd, bytes) && fsync(fd) == 0) || FileFailure(error);
}

bool ReadFilePart(const std::string& path, uint64_t offset, size_t count, std::string& bytes,
                  TFileError& error) {
  // O_NONBLOCK: a FIFO put where the summary was expected is not waited on.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return FileFailure(error);
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) error = {TFileFault::Failed, "it is not a regular file"};
  ok = ok && ReadAtOffset(fd, offset, count, bytes, error);
  close(fd);
  return ok;
}

bool RemoveFile(const std::string& path, TFileError& error) {
  return unlink(path.c_str()) == 0 || errno == ENOENT || FileFailure(error);
}

bool RenameFile(const std::string& from, const std::string& to, TFileError& error) {
  // link and unlink: rename would replace an existing `to`. A file system without hard links gets the
  // check and the rename (the caller holds the summary's lock).
  if (link(from.c_str(), to.c_str()) == 0) return unlink(from.c_str()) == 0 || FileFailure(error);
  if (errno == EEXIST || errno == ENOENT) return FileFailure(error);
  if (FileExists(to)) {
    errno = EEXIST;
    return FileFailure(error);
  }
  return rename(from.c_str(), to.c_str()) == 0 || FileFailure(error);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string UserPendingFolder() {
  // A relative XDG_STATE_HOME is to be ignored, as the base-directory convention says.
  std::string base;
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  return base + "/pellory/pending";
}

std::string PathKey(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FolderTakesFiles(const std::string& dir, std::string& why, bool makeMissing) {
  if (makeMissing) MakeFolders(dir);
  const std::string probe = dir + "/.pellory-station-probe";
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    why = "cannot create files in \"" + dir + "\": " + Reason();
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

std::string InFolder(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}
