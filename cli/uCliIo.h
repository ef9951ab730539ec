// What every command of pellory-cli shares: the terminal and the platform as seams, the exit codes, and the
// yes/no question. The commands (cli/uCliApp.h) and the station (cli/uStation.h) both build on it.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "device/uClock.h"
#include "device/uCommThread.h"
#include "device/uPortOps.h"
#include "device/uSettings.h"
#include "sim/uSimLogger.h"
#include "station/uLatency.h"
#include "station/uPortInfo.h"

// Set by the Ctrl-C handler (with CancelRequested). A run start clears CancelRequested, so every worker
// start sets it again from this flag until the command ends.
extern std::atomic<bool> CliInterrupted;

// The program's name in its messages.
inline constexpr const char* kProgram = "pellory-cli";

struct TCliIo {
  std::ostream& Out;
  std::ostream& Err;
  std::istream& In;
  bool StdinTty = false;
  bool StdoutTty = false;
  bool StderrTty = false;
  int ErrColumns = 0;  // width of the terminal on Err; 0 when unknown
  int OutColumns = 0;  // size of the terminal on Out; 0 when unknown
  int OutRows = 0;
  // The terminal's size on Out now (it may be resized while a station runs); unset: OutColumns, OutRows.
  std::function<void(int& columns, int& rows)> OutSize = nullptr;
  // Reads one answer line from the terminal; false at its end or on Ctrl-C. Unset: a line from In.
  std::function<bool(std::string& line)> ReadLine = nullptr;
};

struct TStationHost;
class IUsbFlags;

// What the commands take from the platform; tests substitute each.
struct TCliHost {
  bool InternalMode = false;
  IClock* Clock = nullptr;                            // pauses of the worker and the repeat
  IPortOps* RealPorts = nullptr;                      // every port name but "sim"
  std::function<std::vector<TPortInfo>()> ListPorts;  // unset: ListPortInfo(Roots)
  TSystemRoots Roots;                                 // where the port hints look (POSIX)
  IAdapterTimers* AdapterTimers = nullptr;            // unset: the platform's, looking in Roots
  IUsbFlags* UsbFlags = nullptr;                      // station-setup's flags; unset: the platform's
  TSimFaults SimFaults;                               // faults of the simulated logger (tests)
  // The worker factory: the update procedure, started so that Ctrl-C reaches the main thread only.
  TCommThreadClass WorkerClass = DefaultCommThreadClass();
  // The station's platform (processes, port identity, clocks), the program its runs start and the port
  // list it watches (unset: ListSerialPortsIn).
  const TStationHost* Station = nullptr;
  std::string StationProgram;
  std::function<std::vector<std::string>(const std::string& devRoot)> StationPorts;
  std::string PendingDir;  // where summary rows wait when not beside it; empty: this user's folder
  int WatchIntervalMs = 500;
  // Called when a run is started by the station: its standard input then carries the cancel.
  std::function<void()> CancelOnStdin;
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFatal = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDeclined = 3;

// A question of the window (lines apart by CR LF) on one line.
std::string QuestionLine(const std::string& question);
// Asks `question` on the terminal (Err, one line) and reads the answer from In: true for a Yes.
bool AskYesNo(TCliIo& io, const std::string& question);
