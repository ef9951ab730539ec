// One run's log: a new file per run in the log folder, named by its start and its port, each line written
// through at once and synced at the end. Errors become one sentence that names the log and the port.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

class TLogFile;

// "YYYYMMDD-HHMMSS_<port>.log": the port made safe as a file name and short enough for every file system.
std::string LogFileName(const std::string& port, const std::tm& localTime);

class TRunLog {
 public:
  TRunLog();
  ~TRunLog();
  TRunLog(const TRunLog&) = delete;
  TRunLog& operator=(const TRunLog&) = delete;

  // Creates the log of `port` in `dir` (".2", ".3" ... when a port was plugged twice within a second).
  // False with Problem() set.
  bool Open(const std::string& dir, const std::string& port, std::chrono::system_clock::time_point started);
  // False when this write failed (Problem() set); the log is closed then, and later lines are dropped.
  bool Line(const std::string& line);
  // Syncs and closes; false when the sync failed (Problem() set).
  bool Close();
  bool IsOpen() const;
  const std::string& Path() const { return FPath; }
  const std::string& Problem() const { return FProblem; }

 private:
  bool Fail(const std::string& what, const std::string& why);

  std::unique_ptr<TLogFile> FFile;
  std::string FPort;
  std::string FPath;
  std::string FProblem;
};
