// pellory-cli station: one update per logger, many at once, each in a child process of this program
// ("update --json"), with a log per run, a summary and an exit code for the whole station. Portable; the
// processes, the port list and the files come from the platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/uCliApp.h"
#include "cli/uCliOptions.h"
#include "station/uProcess.h"

namespace CLI {
class App;
}

// Ctrl-C count of the station (its own handler): the first cancels every run, the second ends all at once.
extern std::atomic<int> StationInterrupts;

inline constexpr int kExitStationFailed = 6;

// What the station takes from its platform; tests substitute each.
struct TStationHost {
  IProcesses* Processes = nullptr;
  std::string Program;  // the executable the runs start
  std::function<std::vector<std::string>(const std::string& devRoot)> ListPorts;
  // One text per physical port: the names of one device give the same key.
  std::function<std::string(const std::string& port)> PortKey;
  std::function<uint64_t()> NowMs;  // monotonic
  bool InternalMode = false;
  int WatchIntervalMs = 500;
};

// The station's options and help, hung into the program's command line as the command `station`.
void AddStationOptions(CLI::App& sub, TStationOptions& o);
// The checks that need no platform (false with `error`): --watch with --port, no port at all.
bool ValidateStationOptions(const TStationOptions& o, std::string& error);
// The station command: `args` after "station".
int StationCommand(const std::vector<std::string>& args, TCliIo& io, const TStationHost& host);
// The station with parsed options: usage checks, the question, the runs, the summary; the exit code.
int RunStation(const TStationOptions& o, TCliIo& io, const TStationHost& host);

// One run of the station, as its summary row tells it.
struct TStationRow {
  std::string Port;
  std::string Started;  // ISO-8601 UTC
  std::string Finished;
  double Seconds = 0;
  std::string Result;  // completed, failed, cancelled
  int ExitCode = 0;
  std::string Text;
  std::string LoggerClass;
  std::string LoggerVersion;
  std::string Platform;
  std::string Print;
  std::string Image;
  int Warnings = 0;
  int Repeats = 0;
};

std::vector<std::string> SummaryHeader();
std::vector<std::string> SummaryCells(const TStationRow& row);
// RFC 4180: a header row, then one row per run, CR LF after each.
std::string SummaryCsv(const std::vector<TStationRow>& rows);
// "YYYYMMDD-HHMMSS_<port>.log" with the port's characters that no file name may hold replaced by '_'.
std::string LogFileName(const std::string& port, const std::tm& localTime);
// What one JSON line of a run tells the station; false for a line that is not a JSON object.
struct TRunState {
  std::string LoggerClass, LoggerVersion, Platform, Print, Image, Final;
  int Warnings = 0;
  int Starts = 0;
  int Progress = 0;
};
bool ApplyRunLine(const std::string& line, TRunState& state, std::vector<std::string>& reportLines,
                  bool& isEvent);
