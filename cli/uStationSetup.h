// pellory-cli station-setup: sets a Windows PC up once for the station (IgnoreHWSerNum for the adapters'
// USB ids, station/uUsbFlags.h), or undoes it; elsewhere it says there is nothing to set up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/uCliIo.h"

namespace CLI {
class App;
}

struct TStationSetupOptions {
  std::vector<std::string> VidPids;  // "0403:6001", checked when parsed; none: the FTDI-type ports' ids
  bool Undo = false;
  std::string ResultFile;    // the copy started with more rights leaves its results there
  uint64_t OwnerWindow = 0;  // the handle of the window the elevation prompt belongs to (Windows)
};

// The command's options and help, hung into the program's command line; `json` is the program's --json.
void AddStationSetupOptions(CLI::App& sub, TStationSetupOptions& o, bool& json);
// The exit code: 0, 1, 5 (not permitted), 9 (nothing to set up).
int RunStationSetup(const TStationSetupOptions& o, bool json, TCliIo& io, const TCliHost& host);
