// What start-up derives from internal mode and the options: the service level, the class check, the
// measurement-clearing flag and which controls exist. One derivation for the window and the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The options of a start, however they were written.
struct TStartOptions {
  bool NoClassCheck = false;        // "cc:-", --no-class-check
  bool ClearsMeasurements = false;  // "mf:+" ("mf:-" leaves it false), --clears-measurements
  bool ImageFiles = false;          // "f:+", --file
};

// The window's options from its command-line parameters (ANSI code page, index 0 the program path).
TStartOptions StartOptionsFromParams(const std::vector<std::string>& params);

struct TStartupSettings {
  int32_t ServiceLevel = 0;  // 0 normal, 1 internal, 2 internal with image files
  bool CheckClass = true;
  bool ClearsMeasurements = false;
  bool ReadInfoOnlyShown = false;  // the "Read info only" check box
  bool FileControlsShown = false;  // the File button and the "File version" menu item
  // Options that need internal mode, given without it: the window ignores them, the command line refuses
  // them.
  bool ImageFilesRefused = false;
  bool NoClassCheckRefused = false;
};

TStartupSettings DeriveStartupSettings(bool internal, const TStartOptions& options);
// Puts the derived values into ServiceLevel, CheckClass and ClearsMeasurements.
void ApplyStartupSettings(const TStartupSettings& settings);
