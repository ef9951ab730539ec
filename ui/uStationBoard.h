// What the station window shows, without the window: its start options, one row per socket in a stable
// order with the texts and state of each row, the counters, and when the last run will end. Portable, so
// it is tested natively; the window (uStation_win32) only draws it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/uLatency.h"
#include "station/uStation.h"

// The station window's options on pellory.exe's command line (ANSI code page, index 0 the program path),
// written like the program's others: prefix and value together.
struct TStationStart {
  bool Station = false;    // "st:+": the station window instead of the main window
  bool Simulated = false;  // "sim:+": the simulated loggers sim1 to sim8
  std::string LogDir;      // "log:DIR": the folder of the logs and the summary; empty: the default
};
TStationStart StationStartFromParams(const std::vector<std::string>& params);

// sim1 to sim8: the loggers the station lists with "sim:+".
std::vector<std::string> SimulatedStationPorts();
// What every simulated run gets when a person tries the station: the pace of a real line at 9600 baud.
std::vector<std::pair<std::string, std::string>> PacedSimOptions();

// The program every run starts: `name` in the folder of `selfPath` (either kind of slash).
std::string ProgramBeside(const std::string& selfPath, const std::string& name);
// The summary's name in the log folder.
inline constexpr const char* kSummaryName = "summary.csv";

// "0:07", "1:05", "1:02:03".
std::string DurationText(uint64_t ms);
// "slow adapter (16 ms)" for an adapter whose latency timer is above 1 ms, else empty.
std::string SlowAdapterNote(int latencyMs);

// One socket (and port of a multi-port adapter there): where the system tells the physical socket, a logger
// plugged in there again under another port name takes the same row.
struct TBoardRow {
  std::string Key;
  std::string Port;
  TPortIdentity Identity;
  bool Present = false;
  const TStationRun* Run = nullptr;  // the newest run here; none before the first and after a replug
  // Its adapter's timer was set to 1 ms, but the adapter takes it only when plugged in again.
  bool ReplugDue = false;
  // "Speed up adapters" is setting its adapter's timer (and may restart it): no run starts here meanwhile.
  bool SpeedingUp = false;
};

struct TListedPort {
  std::string Port;
  TPortIdentity Identity;
  // The logger completed its update moments ago and is back after its own reset: its row stays completed.
  bool JustCompleted = false;
};

// The rows of the window: sorted by socket, then port name; a row is never reordered by its state.
class TStationBoard {
 public:
  // The ports listed now. A socket that comes back after its run ended shows "waiting" again (a new
  // logger); a socket that is gone keeps its row while it has a run to show.
  void Listed(const std::vector<TListedPort>& ports);
  // A run started: its socket's row shows it (a row is made for a port that is not listed).
  void RunStarted(const TStationRun& run);
  // The row that shows `run`, or -1.
  int RowOf(const TStationRun& run) const;
  const std::vector<TBoardRow>& Rows() const { return FRows; }
  // Listed ports with no run going: what Start starts.
  std::vector<std::string> ToStart() const;
  // Listed ports whose last run failed, was cancelled or unplugged: what "Repeat failed" starts.
  std::vector<std::string> ToRepeat() const;
  // Listed ports with no run going whose adapter holds answers longer than 1 ms: what "Speed up
  // adapters" sets to 1 ms (restarting an adapter under a run would break the run).
  std::vector<std::string> ToSpeedUp() const;
  // Listed ports with an adapter latency timer (FTDI-type) whose socket is not set up yet: what "Set up
  // this PC..." is for.
  std::vector<std::string> NotSetUp() const;
  // These ports' adapters take their new timer when plugged in again: their rows say so until the port has
  // been gone from the list once.
  void ReplugDue(const std::vector<std::string>& ports);
  // These ports' adapters are being sped up now (none: the speed-up has ended); Start and Repeat leave them.
  void SpeedingUp(const std::vector<std::string>& ports);
  // Each logger's newest run, in the order the loggers came: what the counters count. A logger is a row's
  // runs from the first until it is plugged in again (then it is another logger), so a logger updated
  // again counts once, by how its last run went.
  const std::vector<const TStationRun*>& Loggers() const { return FLoggers; }

 private:
  TBoardRow& RowFor(const std::string& port, const TPortIdentity& identity);
  void Sort();
  std::vector<TBoardRow> FRows;
  std::vector<const TStationRun*> FLoggers;
};

// What a run means for its logger: "running", "completed", or for one that did not complete whether the
// logger was written and what it needs ("cancelled at 50 % — update it again", "failed — not updated: ..."
// with why: the final text, or the hint where the port would not open).
std::string RunOutcome(const TStationRun& run);

// What one row shows; texts from outside (port names, USB strings, a run's own output) made safe.
struct TRowTexts {
  TRunStatus State = TRunStatus::Waiting;
  int Progress = 0;
  std::string Socket, Port, UsbSerial, Logger, Image, Time, Result;
  // The row's tip: the port and the whole result, then the run's hints (the cause and what to do), one a
  // line.
  std::string Tip;
  bool operator==(const TRowTexts&) const = default;
};
TRowTexts RowTexts(const TBoardRow& row, uint64_t nowMs);

// A run's report as its window shows it, one line each: the report lines, the run's hints and log problem,
// and for a run that did not complete what it means for the logger.
std::vector<std::string> RunReportLines(const TStationRun& run);

struct TBoardCounts {
  int Completed = 0;
  int Failed = 0;  // failed and unplugged
  int Cancelled = 0;
  int Running = 0;
  int Total = 0;  // every run given
  bool operator==(const TBoardCounts&) const = default;
};
// By each run's state; given each logger's newest run (TStationBoard::Loggers), the loggers.
TBoardCounts CountRuns(const std::vector<const TStationRun*>& runs);

// The texts of the window's own questions and of its empty list. `image`: "the embedded images" or the
// image file's name.
// The line before the update's question: how many loggers Start or "Repeat failed" updates, and with what.
std::string StartLine(const std::vector<std::string>& ports, const std::string& image);
// The same for plugging: every logger plugged in from now on.
std::string PlugLine(const std::string& image);
// The line a question that stops `running` runs adds: how many it stops, and what that means.
std::string StopsLine(int running);
// What the list says while it lists no port: that no logger port is listed, what it lists (`otherPorts`:
// the serial ports it leaves out), and what to do (with plugging `watching` on, the loggers are awaited).
std::string EmptyListText(const std::vector<std::string>& otherPorts, bool watching);

// What "Speed up adapters" tells the operator once `helper` (pellory-cli.exe latency ... --set 1 --json)
// has ended: a line under the list and the details, port by port. Texts from outside made safe.
struct TSpeedUpReport {
  std::string Summary;
  std::vector<std::string> Details;
  bool Problem = false;                // a port was not changed: the summary is shown as an error
  std::vector<std::string> ReplugDue;  // set, but the adapter takes it only when plugged in again
};
// `results` as read from the helper's output (nullptr when it left none that could be read; then its
// `exitCode` and `output` say why) for the `ports` it was given.
TSpeedUpReport SpeedUpReport(const std::vector<std::string>& ports, const std::vector<TTimerResult>* results,
                             int exitCode, const std::vector<std::string>& output, const std::string& helper);

// How long until the last running run ends, from the runs' own estimates; a run that has none yet is
// taken to last as long as the completed runs did on average. Nothing when no run goes or nothing tells.
std::optional<uint64_t> LastEndsInMs(const std::vector<const TStationRun*>& runs, uint64_t nowMs);
