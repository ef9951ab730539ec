// The command line of pellory-cli: commands, options and their checks that need no settings.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/uSimLogger.h"

namespace CLI {
class App;
}

enum class TCliCommand { None, Update, Info, Images, FileVersion, Ports, Station, Help, Version };

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
};

// Hangs every command with its options into `app` (the program's top level); parsing fills `o`. Each
// command sets o.Command and makes its own cross-option checks when its parse is complete, so further
// commands can be added from other files the same way.
void BuildCliApp(CLI::App& app, TCliOptions& o);

// `args` without the program name. False with a one-line `error` on a usage error.
bool ParseCliOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error);

// A number as decimal or 0x-prefixed hex, within 0..max; false for anything else.
bool ParseCliNumber(const std::string& text, uint64_t max, uint64_t& value);

// The top-level help text, exit codes included.
std::string CliHelpText();
