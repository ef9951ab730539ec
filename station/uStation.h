// The production station's core: one update per logger, many at once, each the ordinary update in a child
// process of the command line ("update --yes --json --station-child"), with a log per run, a summary row per
// finished run and a state per run that a front end shows. Portable; the caller steps it (the command line
// from its loop, the window from a timer) and it reports to a view, the way the run control reports to
// its view. No global flags, no command-line parsing here.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/uPortInfo.h"
#include "station/uProcess.h"
#include "station/uRunLog.h"
#include "station/uRecord.h"

inline constexpr int kExitStationFailed = 6;
// The runs have ended, but rows of the summary still wait to be written (they are kept in a journal).
inline constexpr int kExitRowsWaiting = 8;

// What the station knows of one port, whatever name it was given by. Empty where the system does not tell.
struct TPortIdentity {
  std::string
      Key;  // one text per physical port: the resolved device on Linux, the upper-cased name on Windows
  std::string
      UsbSerial;  // the USB serial number of the port's device (the logger's own USB interface or adapter)
  std::string Location;      // the physical socket: "1-1.4" on Linux, the USB location path on Windows
  std::string Interface;     // which port of a multi-port device in that socket; empty for a device with one
  int LatencyMs = -1;        // the adapter's latency timer; -1 where it has none
  bool SocketSetUp = false;  // Windows: every logger in this socket is one device (IgnoreHWSerNum)
};
// The identity of a port as the system describes it.
TPortIdentity PortIdentityOf(const TPortInfo& info, const std::string& key);

struct TStationConfig {
  std::string Program;  // the executable every run starts (pellory-cli)
  int MaxRepeats = 3;
  std::string File;  // an image file for every run (internal mode), checked before the station is made
  // Passed on to every run on a simulated port ("--sim-pace", "9600").
  std::vector<std::pair<std::string, std::string>> SimOptions;
  std::string LogDir;   // one log per run; empty: none
  std::string Summary;  // the summary CSV, a row appended after every finished run; empty: none
  // This user's folder for rows that cannot wait beside the summary; empty: the platform's.
  std::string PendingDir;
  int RecordRetryMs = 3000;  // how often rows that wait are tried again
  int GraceMs = 10000;       // from cancel to kill
  int ReapWaitMs = 5000;     // from kill to giving a child up as not reaped
  int ReplugGuardMs = 5000;  // a completed logger that re-enumerates this soon after its run gets none
};

// What the station takes from its platform; tests substitute each.
struct TStationHost {
  IProcesses* Processes = nullptr;
  std::function<TPortIdentity(const std::string& port)> Identify;
  // Identify's Key alone, cheap enough for every port list (twice a second); unset: Identify(port).Key.
  std::function<std::string(const std::string& port)> PortKey;
  // Identify for several ports with one look at the system's devices; unset: Identify for each.
  std::function<std::vector<TPortIdentity>(const std::vector<std::string>& ports)> IdentifyAll;
  std::function<uint64_t()> NowMs;                                 // monotonic
  std::function<std::chrono::system_clock::time_point()> WallNow;  // unset: the system clock
  std::string HostName;                                            // the computer's name
  std::string Version;                                             // pellory_version
};

enum class TRunStatus { Waiting, Running, Completed, Failed, Cancelled, Unplugged };
// "waiting", "running", "completed", "failed", "cancelled", "unplugged".
const char* RunStatusWord(TRunStatus status);

// One run as a front end shows it; the station keeps every run of the session (finished runs beyond the
// last 100 give up their report lines, which their logs keep).
struct TStationRun {
  int Number = 0;  // 1, 2, ... in the order the runs started
  std::string Port;
  TPortIdentity Identity;
  TRunStatus Status = TRunStatus::Running;
  int Progress = 0;  // 0..100
  std::string LoggerClass, LoggerVersion, Platform, Print, Image;
  uint64_t StartMs = 0;  // the host's monotonic clock
  uint64_t ElapsedMs = 0;
  std::optional<uint64_t> LeftMs;   // from the pace of the writing so far
  std::string Text;                 // the final text once ended
  std::vector<std::string> Report;  // the report lines as the report window shows them
  std::vector<std::string> Hints;   // the run's own lines that are no events: why a port would not open ...
  std::string LogPath;
  std::string LogProblem;  // why the log could not be opened, written or synced; empty when it is fine
  bool Killed = false;     // ended by the station after the grace
  bool Unreaped = false;   // killed, and it did not end within the bounded wait
  TStationRow Row;         // once ended
};

class IStationView {
 public:
  virtual ~IStationView() = default;
  virtual void RunStarted(const TStationRun& run) = 0;
  // Progress, identity, a report line: whatever a row shows changed.
  virtual void RunChanged(const TStationRun& run) = 0;
  // One worker event of the run as its JSON object, with "port" added (the command line's --json).
  virtual void RunEvent(const TStationRun& run, const std::string& json) = 0;
  // One report line ("hh-nn-ss -> text"), and one line of the run's own output that is no event.
  virtual void RunReport(const TStationRun& run, const std::string& line) = 0;
  virtual void RunOutput(const TStationRun& run, const std::string& line) = 0;
  // The run has ended; its row and its log are on disk when this is called.
  virtual void RunEnded(const TStationRun& run) = 0;
  // A port that gets no run now, and why (it re-enumerated after its update, it is already running ...).
  virtual void PortSkipped(const std::string& port, const std::string& why) = 0;
  // A log or the summary cannot be written: said once per problem.
  virtual void Problem(const std::string& text) = 0;
  // Rows of the summary started or stopped waiting, or go to another file than the one named.
  virtual void RecordChanged(const TRecordState&) {}
};

class TStation {
 public:
  TStation(const TStationConfig& config, const TStationHost& host, IStationView& view);
  // Kills and reaps every run still going.
  ~TStation();
  TStation(const TStation&) = delete;
  TStation& operator=(const TStation&) = delete;

  // Starts a run on `port`. False (PortSkipped told) when a run goes on the same port name or device, or
  // when the port's logger completed its update moments ago (it is back after its own reset).
  bool Start(const std::string& port);
  // Whether the logger on `port` completed its update moments ago: the same USB serial number in the same
  // socket (either alone where the other is unknown, else the same port), within ReplugGuardMs.
  bool JustCompleted(const std::string& port, const TPortIdentity& identity) const;
  // The ports present now, as the front end lists them. A port gone while its run goes makes that run
  // "unplugged" when it ends without success; with watching on, each port that appears gets one run.
  void PortsListed(const std::vector<std::string>& ports);
  void SetWatching(bool on);
  // Waits at most `timeoutMs` for the runs' output and endings and handles them; kills after the grace.
  void Step(int timeoutMs);
  // Asks every run to end ("Process cancelled!"); a run still going after the grace is killed.
  void Cancel();
  // Ends every run at once.
  void Kill();
  // Ends every run within a deadline, as when the session ends: cancels, kills what has not ended after
  // `killAfterMs`, and after `giveUpAfterMs` reports what still has not ended as killed and not reaped.
  // Every row and log is written when it returns.
  void EndWithin(int killAfterMs, int giveUpAfterMs);
  // Tries the summary's waiting rows again: when it is time, or at once with `now` (Step does the former).
  void RetryRecord(bool now);
  const TRecordState& Record() const;
  bool Busy() const;  // runs not yet ended
  const std::deque<TStationRun>& Runs() const;
  const std::vector<TStationRow>& Rows() const;  // this session's finished runs, in the order they ended

  struct TCounts {
    int Completed = 0, Failed = 0, Cancelled = 0, Running = 0;
  };
  TCounts Counts() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
};

// The platform's station host: its processes, the port identity from the system's port description (`roots`
// on POSIX), the clocks, the computer's name and this program's version. The command line and the window
// build theirs with it; tests replace single members.
TStationHost PlatformStationHost(IProcesses* processes, const TSystemRoots& roots = {});
