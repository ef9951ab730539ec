// The station's summary: one CSV row per finished run, in the order the runs ended, beside the rows an
// earlier session left in the file (where the caller keeps them).
#pragma once

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

// The summary as CSV (RFC 4180, header row, CR LF).
std::vector<std::string> SummaryHeader();
std::vector<std::string> SummaryCells(const TStationRow& row);
std::string SummaryCsv(const std::vector<TStationRow>& rows);

// The summary file of one station: rewritten whole after every finished run, so a reader never sees half
// of it. A problem is told once, not after every run that meets it again.
class TSummaryFile {
 public:
  using TProblem = std::function<void(const std::string& text)>;
  // `path` empty: no summary. With `keepEarlierRows` the rows already in the file stay before this
  // session's; a file with other columns is copied aside first.
  TSummaryFile(std::string path, bool keepEarlierRows, TProblem problem);
  void Write(const std::vector<TStationRow>& rows);

 private:
  void ReadEarlierRows();

  std::string FPath;
  TProblem FProblem;
  std::vector<std::vector<std::string>> FEarlierRows;
  std::string FLastProblem;
};
