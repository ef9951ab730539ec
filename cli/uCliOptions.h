// The command line of pellory-cli: commands, options and their checks that need no settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/uSimLogger.h"

enum class TCliCommand { None, Update, Info, Images, FileVersion, Ports, Help, Version };

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
};

// `args` without the program name. False with `error` on a usage error.
bool ParseCliOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error);

// A number as decimal or 0x-prefixed hex, within 0..max; false for anything else.
bool ParseCliNumber(const std::string& text, uint64_t max, uint64_t& value);

// The whole help text, exit codes included.
std::string CliHelpText();
