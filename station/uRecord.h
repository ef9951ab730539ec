// The station's record: one CSV row per finished run, appended to the summary in one write and synced;
// earlier rows are never read back, parsed or rewritten, so what people typed into the file stays as it
// is. Several stations may write one summary: a short lock beside it takes turns. A row that cannot be
// appended now (the file held by a spreadsheet, the folder gone, the disk full) waits in a journal beside
// the summary, or in this user's own folder when that one fails, and is appended in order at the next
// chance, by this station or the next one that writes to that summary.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One finished run as the summary tells it. The first columns keep their order for existing readers.
struct TStationRow {
  std::string Port;
  std::string Started;  // ISO-8601 UTC, the run's own times
  std::string Finished;
  double Seconds = 0;
  std::string Result;  // completed, failed, cancelled
  int ExitCode = 0;
  std::string Text;
  std::string LoggerClass;
  std::string LoggerVersion;
  std::string Platform;
  std::string Print;
  std::string Image;
  int Warnings = 0;
  int Repeats = 0;
  std::string UsbSerial;
  std::string Location;
  std::string Host;
  std::string PelloryVersion;
  std::string LogProblem;  // why the run's log is missing or incomplete; empty when it is whole
};

std::vector<std::string> SummaryHeader();
std::vector<std::string> SummaryCells(const TStationRow& row);
// One line of the summary file: CSV (RFC 4180, CR LF), and a cell that a spreadsheet would take for a
// formula (one starting with =, +, -, @, a tab or a carriage return) written with a leading '.
std::string SummaryLine(const std::vector<std::string>& cells);
// The header and `rows` as a summary file holds them.
std::string SummaryCsv(const std::vector<TStationRow>& rows);

// Where the record stands, as a front end tells it.
struct TRecordState {
  std::string Summary;  // the file the caller named
  std::string File;     // the file the rows go to: Summary, or "summary-2.csv" ... when Summary is not ours
  size_t Waiting = 0;   // rows not yet in File
  std::string Reason;   // why they wait: "is open in another program" ...
  std::string Journal;  // where they wait on disk; empty while they wait in memory only
  bool operator==(const TRecordState&) const = default;

  // "3 rows wait: summary.csv is open in another program"; empty when none wait.
  std::string WaitingText() const;
  // Why the rows go to another file than the one named, and which; empty when they do not.
  std::string DivertedText() const;
};

struct TRecordOptions {
  std::string Summary;     // the summary CSV; empty: no record
  std::string PendingDir;  // this user's folder for rows that wait; empty: the platform's
  int LockWaitMs = 50;     // another station's append takes milliseconds
  int RetryMs = 3000;      // waiting rows are tried again this often
};

class TRecord {
 public:
  using TChanged = std::function<void(const TRecordState& state)>;
  using TProblem = std::function<void(const std::string& text)>;
  // Finds the file the rows go to, and writes the rows that an earlier session left waiting for it.
  TRecord(TRecordOptions options, std::function<uint64_t()> nowMs, TChanged changed, TProblem problem);
  // Rows that still wait stay in their journal (the owner tries them once more at close: Retry(true)).
  ~TRecord() = default;
  TRecord(const TRecord&) = delete;
  TRecord& operator=(const TRecord&) = delete;

  // A finished run's row: appended now, or kept waiting.
  void Add(const TStationRow& row);
  // Tries the waiting rows again when it is time (every RetryMs), or at once with `now`.
  void Retry(bool now = false);
  const TRecordState& State() const { return FState; }

 private:
  struct TJournal;
  void Flush();
  // Reads a journal; one a station did not write is put aside under another name. False when it cannot
  // be read now.
  bool LoadJournal(const std::string& path, TJournal& journal);
  // Settles the mark of an append that was not seen to its end; false when that cannot be told now.
  bool Settle(TJournal& journal, bool& changed);
  bool FindFile(std::string& file, std::string& reason);
  // The rows wait in the journal beside the summary (written anew when `rewrite`).
  void Keep(const TJournal& journal, bool rewrite, bool holdsAside, const std::string& reason);
  // The rows wait in this user's folder, or in memory when that fails too. `locked`: the caller holds that
  // journal's lock already.
  void WaitAside(const std::string& reason, bool locked = false);
  void Tell(size_t waiting, const std::string& reason, const std::string& journal);
  std::string BesidePath() const { return FOptions.Summary + ".pending"; }

  TRecordOptions FOptions;
  std::function<uint64_t()> FNowMs;
  TChanged FChanged;
  TProblem FProblem;
  std::string FFile;                 // where the rows go, as found last
  std::string FAsidePath;            // the journal in this user's folder; empty when there is none
  std::vector<std::string> FMemory;  // rows no journal took yet, as lines of the file
  size_t FBesideRows = 0;            // rows seen last in the journal beside the summary
  uint64_t FNextTry = 0;
  TRecordState FState;
};
