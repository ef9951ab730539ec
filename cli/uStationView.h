// The station on the command line: on a terminal one line per run, redrawn in place and never taller or
// wider than the terminal; otherwise every report line prefixed with its port; with --json every event as
// JSON. At the end the summary as a table, and on a terminal the runs' hints. Everything from outside
// (port names, USB strings, the runs' output) is made terminal-safe first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "cli/uCliIo.h"
#include "station/uStation.h"

class TStationTerminalView : public IStationView {
 public:
  TStationTerminalView(TCliIo& io, bool json);

  void RunStarted(const TStationRun&) override {}
  void RunChanged(const TStationRun&) override {}
  void RunEvent(const TStationRun& run, const std::string& json) override;
  void RunReport(const TStationRun& run, const std::string& line) override;
  void RunOutput(const TStationRun& run, const std::string& line) override;
  void RunEnded(const TStationRun& run) override;
  void PortSkipped(const std::string& port, const std::string& why) override;
  void Problem(const std::string& text) override;
  // On standard error when rows of the summary start or stop waiting, or go to another file; with --json
  // also as a JSON object on standard output.
  void RecordChanged(const TRecordState& state) override;
  // Rows still wait when the runs have ended: tried again for `seconds`.
  void RecordTrying(const TRecordState& state, uint64_t seconds);
  // Rows still wait when the station ends.
  void RecordLeft(const TRecordState& state);

  // On a terminal: the runs' lines, where they changed.
  void Draw(const TStation& station);
  // The closing table (with --json every column of the summary, else the compact one that names the summary
  // file for the rest), and on a terminal the hints its lines had no room for; the station's exit code.
  int Finish(const TStation& station);

 private:
  void Size(int& columns, int& rows) const;
  // A line on standard error above the redrawn lines, which follow it again at the next Draw.
  void Above(const std::string& line);

  TCliIo& FIo;
  bool FJson;
  bool FTty;  // redrawn lines on standard output
  size_t FDrawnLines = 0;
  std::string FDrawnText;
  TRecordState FRecord;  // as told last
};

// The finished runs as one line each, by port (COM3 before COM12): port, result, time, and the final text, or
// for a port that would not open the hint that says why; lines cut at `width` (0: as long as they are).
std::string CompactTable(const std::deque<TStationRun>& runs, size_t width);
// The line under the compact table: where every column of the runs is (`summary`; empty: none written).
std::string SummaryNote(const std::string& summary, size_t waiting);

// `rows` as a table no wider than `width` (0: as wide as it is): the columns that do not fit follow in
// blocks of their own, each led by the first column again; cells wider than the width are cut.
std::string FoldTable(const std::vector<std::vector<std::string>>& rows, size_t width);
