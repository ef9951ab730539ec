// What the station's records need of the system: a run's log written as it comes and synced at its end,
// the summary replaced whole, and the computer's name. One implementation per platform
// (uStationSys_posix.cpp, uStationSys_win32.cpp).
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

// The whole of a file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& text);

// Writes `text` into the existing file `path` and truncates it there: what a copy started with more rights
// leaves for the program that started it, in the file that program made. Nothing is created, and a link
// (symbolic, a reparse point, or a second name of the file) or anything but a regular file is refused, so
// the rights cannot be turned on a file that the caller could not write itself. False with the reason.
bool WriteIntoOwnFile(const std::string& path, const std::string& text, std::string& error);

// The computer's name (host name); empty when the system does not tell.
std::string ComputerName();
