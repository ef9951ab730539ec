// What the station's records need of the system: a run's log written as it comes and synced at its end,
// files replaced whole, the summary's lock and appends, small reads, a folder of this user's for rows that
// cannot wait beside the summary, and the computer's name. Paths are UTF-8. One implementation per
// platform (uStationSys_posix.cpp, uStationSys_win32.cpp).
#pragma once

#include <cstdint>
#include <string>

// One run's log: always a new file (never over another), held by no child process, each line written
// through at once. Errors come back as the system's reason.
class TLogFile {
 public:
  TLogFile() = default;
  ~TLogFile();  // closes without syncing
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  // False with `error`; `exists` is set when a file of that name is already there.
  bool Create(const std::string& path, bool& exists, std::string& error);
  bool Write(const std::string& text, std::string& error);
  // Syncs to the disk and closes.
  bool Close(std::string& error);
  bool IsOpen() const { return FHandle != kNone; }

 private:
  static constexpr intptr_t kNone = -1;  // no descriptor; INVALID_HANDLE_VALUE on Windows
  intptr_t FHandle = kNone;
};

// Writes `text` to `path` through a temporary file beside it, synced and renamed over it: a reader sees
// the old file or the new one, never half of one. False with the system's reason.
bool ReplaceWholeFile(const std::string& path, const std::string& text, std::string& error);

// Writes `text` into the existing file `path` and truncates it there: what a copy started with more rights
// leaves for the program that started it, in the file that program made. Nothing is created, and a link
// (symbolic, a reparse point, or a second name of the file) or anything but a regular file is refused, so
// the rights cannot be turned on a file that the caller could not write itself. False with the reason.
bool WriteIntoOwnFile(const std::string& path, const std::string& text, std::string& error);

// The computer's name (host name); empty when the system does not tell.
std::string ComputerName();

// Why a file call failed, as far as the record acts on it.
enum class TFileFault {
  None,
  Missing,  // no such file
  Held,     // another program has it open and lets others only read it (a spreadsheet)
  Busy,     // the lock is taken by another station
  Failed,   // anything else: Text says what
};

struct TFileError {
  TFileFault Fault = TFileFault::None;
  std::string Text;  // the system's reason
};

// An exclusive lock on a lock file (created when missing and left in place: removing it would race with
// the next station). Released when dropped; ends with the process whatever happens to it.
class TRecordLock {
 public:
  TRecordLock() = default;
  ~TRecordLock();
  TRecordLock(const TRecordLock&) = delete;
  TRecordLock& operator=(const TRecordLock&) = delete;

  // Tries for at most `waitMs`; Busy when another holder kept it that long.
  bool Take(const std::string& path, int waitMs, TFileError& error);

 private:
  intptr_t FHandle = -1;  // INVALID_HANDLE_VALUE on Windows
};

// A file opened to be appended to (created when missing), shared with readers and other appenders.
class TAppendFile {
 public:
  TAppendFile() = default;
  ~TAppendFile();
  TAppendFile(const TAppendFile&) = delete;
  TAppendFile& operator=(const TAppendFile&) = delete;

  bool Open(const std::string& path, TFileError& error);
  bool Size(uint64_t& size, TFileError& error);
  // Up to `count` bytes from `offset`; fewer at the end of the file.
  bool ReadAt(uint64_t offset, size_t count, std::string& bytes, TFileError& error);
  // `bytes` at the end in one write, then synced to the disk.
  bool Append(const std::string& bytes, TFileError& error);

 private:
  intptr_t FHandle = -1;
};

// Up to `count` bytes of `path` from `offset`, fewer at its end; Missing when there is no such file. Read
// also while another program holds the file.
bool ReadFilePart(const std::string& path, uint64_t offset, size_t count, std::string& bytes,
                  TFileError& error);
// True also when there was no such file.
bool RemoveFile(const std::string& path, TFileError& error);
// Renames `from` to `to`, never over an existing file.
bool RenameFile(const std::string& from, const std::string& to, TFileError& error);
bool FileExists(const std::string& path);
// This user's folder for rows that wait (Windows: local application data; POSIX: $XDG_STATE_HOME or
// ~/.local/state), with "pellory/pending" below it; empty when the system names none. Not created here.
std::string UserPendingFolder();
// One text for every spelling of a path: absolute, and on Windows without regard to case.
std::string PathKey(const std::string& path);
bool IsFolder(const std::string& path);
// The folder part of a file's path ("." when it has none), and a name in a folder, as the platform
// separates them.
std::string FolderOf(const std::string& path);
std::string InFolder(const std::string& dir, const std::string& name);
// `dir` (with its parents made where missing when `makeMissing`), tried by creating a file in it and deleting
// it at once (a folder may be there and still take none): false with the reason.
bool FolderTakesFiles(const std::string& dir, std::string& why, bool makeMissing = true);
