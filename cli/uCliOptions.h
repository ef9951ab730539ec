// The command line of pellory-cli: commands, options and their checks that need no settings.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/uCliNumber.h"
#include "cli/uStation.h"
#include "cli/uStationSetup.h"
#include "sim/uSimLogger.h"

namespace CLI {
class App;
}

enum class TCliCommand {
  None,
  Update,
  Info,
  Images,
  FileVersion,
  Ports,
  Latency,
  Station,
  StationSetup,
  Help,
  Version
};

struct TLatencyOptions {
  std::vector<std::string> Ports;
  int SetMs = 0;             // 0: show the timers
  std::string ResultFile;    // the copy started with more rights leaves its results there
  uint64_t OwnerWindow = 0;  // the handle of the window the elevation prompt belongs to (Windows)
};

struct TCliOptions {
  TCliCommand Command = TCliCommand::None;
  std::string Port;
  bool Yes = false;
  std::string File;  // --file: an image file instead of the embedded images
  bool NoClassCheck = false;
  bool ClearsMeasurements = false;
  bool Json = false;
  int MaxRepeats = -1;  // no limit, as the window
  std::string FileArg;  // the file of file-version
  // The simulated logger behind "--port sim"; by default it matches embedded image 3.
  TSimConfig Sim;
  bool SimOptionGiven = false;
  // Hidden, for tests of the station: "PORT:FAULT=N", applied to the simulated logger of that port only.
  std::vector<std::string> SimFaults;
  std::string HelpText;  // with Command Help: the help of the command asked about
  TStationOptions Station;
  TLatencyOptions Latency;
  TStationSetupOptions StationSetup;
};

// Hangs every command with its options into `app` (the program's top level); parsing fills `o`. Each
// command sets o.Command and makes its own cross-option checks when its parse is complete, so further
// commands can be added from other files the same way.
void BuildCliApp(CLI::App& app, TCliOptions& o);

// `args` without the program name. False with a one-line `error` on a usage error.
bool ParseCliOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error);

// The top-level help text, exit codes included.
std::string CliHelpText();
