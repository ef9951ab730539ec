// Why a port could not be opened, and what a slow USB adapter costs: hints for standard error, after the
// outcome text. The platform half (uPortDiag_posix.cpp, uPortDiag_win32.cpp) gathers the facts; the texts
// are made here.
#pragma once

#include <string>
#include <vector>

#include "station/uPortInfo.h"
#include "device/uPortOps.h"

// What the system tells about a port that could not be opened.
struct TOpenFacts {
  std::string Port;
  TPortError Error;
  TPortInfo Info;                     // the port as the system describes it (driver, USB identity)
  unsigned Mode = 0;                  // POSIX: the device node's permission bits
  std::string Owner;                  // POSIX: the user that owns the device node
  bool InGroupNow = false;            // this process has the node's group
  bool InGroupDatabase = false;       // the user database lists this user in it (a new login gives it)
  std::vector<std::string> Holders;   // the programs that have the port open: "name (process N)"
  bool HoldersVisible = true;         // false where the system does not name them
  std::vector<std::string> Existing;  // the ports that do exist
  bool ModemManagerRunning = false;
};

// Platform: the facts of `error` for `port`.
TOpenFacts GatherOpenFacts(const std::string& port, const TPortError& error, const TSystemRoots& roots = {});
// The hints for a port that could not be opened or configured, one line each; none when the error is
// unknown.
std::vector<std::string> OpenFailureHints(const TOpenFacts& facts);

// A USB adapter's latency timer: how long it holds a short answer before passing it on.
struct TLatencyFacts {
  int TimerMs = -1;                 // -1: not a USB adapter with a latency timer
  std::string Location;             // where it is kept: the sysfs file, or the device's instance id
  std::vector<std::string> Change;  // platform: where and how to set it to 1
};

// Exchanges of a complete update with the largest embedded image, each waiting once for an answer.
inline constexpr int kExchangesPerUpdate = 7040;

// Platform: the latency timer of the adapter behind `port`.
TLatencyFacts GatherLatencyFacts(const std::string& port, const TSystemRoots& roots = {});
// The hints when the timer is above 1 ms; none otherwise.
std::vector<std::string> LatencyHints(const std::string& port, const TLatencyFacts& facts);
// What a timer of `timerMs` adds to a complete update, the first of those hints.
std::string LatencyCostText(const std::string& port, int timerMs);
// Linux: the udev rule that sets the timer of `info`'s adapter to `ms` whenever it is plugged in, matched by
// its USB vendor and product (else by its driver); empty when neither is a plain id.
std::string UdevLatencyRule(const TPortInfo& info, int ms);
