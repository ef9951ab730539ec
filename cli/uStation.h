// pellory-cli station: the command's options, the question, Ctrl-C and hang-up, and the loop that steps the
// station (station/uStation.h) with the terminal as its view (cli/uStationView.h).
#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "cli/uCliIo.h"

namespace CLI {
class App;
}

// The station's interrupts (its own handler): Ctrl-C, SIGTERM and SIGHUP. The first cancels every run,
// the second ends all at once.
extern std::atomic<int> StationInterrupts;
// Windows: the console window is being closed. Windows ends the process about 5 s later; the runs are
// cancelled, killed when they take too long, and the summary is written before.
extern std::atomic<bool> StationClosing;

struct TStationOptions {
  std::vector<std::string> Ports;
  bool All = false;
  bool Watch = false;
  std::string DevRoot = "/dev";
  bool Yes = false;
  int MaxRepeats = 3;
  std::string File;
  bool Json = false;
  std::string LogDir;
  std::string Summary;
  // The simulated loggers' options, passed on to every run on a simulated port.
  std::vector<std::pair<std::string, std::string>> SimOptions;
  int GraceMs = 10000;  // from cancel to kill
};

// The station's options and help, hung into the program's command line as the command `station`.
void AddStationOptions(CLI::App& sub, TStationOptions& o);
// The checks that need no platform (false with `error`): --watch with --port, no port at all.
bool ValidateStationOptions(const TStationOptions& o, std::string& error);
// The station with parsed options: usage checks, the question, the runs, the summary; the exit code.
int RunStation(const TStationOptions& o, TCliIo& io, const TCliHost& host);
