#include "cli/uStationView.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "run/uProgressEstimate.h"
#include "station/uPortInfo.h"
#include "station/uText.h"

namespace {

constexpr size_t kRowBarCells = 20;
constexpr size_t kRowMinBarCells = 6;
// Without a size from the terminal: the classic 80 x 24, one column and one row kept free.
constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;
// When not every run fits, the finished ones shown below the running ones.
constexpr size_t kFinishedShown = 5;

// Columns a text takes on a terminal: one per character (TerminalSafe has removed the controls).
size_t Columns(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// The first `columns` characters of `text`, never half of a UTF-8 sequence.
std::string Cut(const std::string& text, size_t columns) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == columns) return text.substr(0, i);
  }
  return text;
}

std::string Pad(const std::string& text, size_t columns) {
  const size_t n = Columns(text);
  return n >= columns ? text : text + std::string(columns - n, ' ');
}

std::string Safe(const std::string& text) {
  return TerminalSafe(text);
}

bool Finished(const TStationRun& run) {
  return run.Status != TRunStatus::Running && run.Status != TRunStatus::Waiting;
}

}  // namespace

TStationTerminalView::TStationTerminalView(TCliIo& io, bool json)
    : FIo(io), FJson(json), FTty(!json && io.StdoutTty) {}

void TStationTerminalView::Size(int& columns, int& rows) const {
  columns = FIo.OutColumns;
  rows = FIo.OutRows;
  if (FIo.OutSize) FIo.OutSize(columns, rows);
  if (columns <= 0) columns = kDefaultColumns;
  if (rows <= 0) rows = kDefaultRows;
}

void TStationTerminalView::RunEvent(const TStationRun&, const std::string& json) {
  if (FJson) FIo.Out << JsonTerminalSafe(json) << '\n' << std::flush;
}

void TStationTerminalView::RunReport(const TStationRun& run, const std::string& line) {
  if (!FJson && !FTty) FIo.Out << Safe(run.Port) << ": " << Safe(line) << '\n' << std::flush;
}

void TStationTerminalView::RunOutput(const TStationRun& run, const std::string& line) {
  // On a terminal a line between the redrawn ones would shift them: such lines follow the closing table.
  if (!FTty) FIo.Err << Safe(run.Port) << ": " << Safe(line) << '\n' << std::flush;
}

void TStationTerminalView::RunEnded(const TStationRun& run) {
  if (!FJson && !FTty) FIo.Out << Safe(run.Port) << ": " << Safe(run.Text) << '\n' << std::flush;
}

void TStationTerminalView::PortSkipped(const std::string& port, const std::string& why) {
  Above(Safe(port) + ": " + Safe(why));
}

void TStationTerminalView::Problem(const std::string& text) {
  Above(std::string(kProgram) + " station: " + Safe(text));
}

void TStationTerminalView::RecordChanged(const TRecordState& state) {
  if (FJson) {
    nlohmann::ordered_json j;
    j["summary"] = state.Summary;
    j["file"] = state.File;
    j["rows_waiting"] = state.Waiting;
    j["reason"] = state.Reason;
    j["kept_in"] = state.Journal;
    j["ts"] = IsoUtc(std::chrono::system_clock::now(), true);
    FIo.Out << JsonTerminalSafe(j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace))
            << '\n'
            << std::flush;
  }
  const std::string head = std::string(kProgram) + " station: ";
  if (state.File != FRecord.File && !state.DivertedText().empty()) Above(head + Safe(state.DivertedText()));
  if (state.Waiting > 0 && (FRecord.Waiting == 0 || state.Reason != FRecord.Reason ||
                            state.Journal.empty() != FRecord.Journal.empty())) {
    const std::string kept = state.Journal.empty() ? "kept in memory only, as nothing on disk takes them"
                                                   : "kept in \"" + state.Journal + "\"";
    Above(head + Safe(state.WaitingText() + " (" + kept + "; tried again every few seconds)"));
  } else if (state.Waiting == 0 && FRecord.Waiting > 0) {
    Above(head + Safe("the rows that waited are written to \"" + state.File + "\""));
  }
  FRecord = state;
}

void TStationTerminalView::RecordTrying(const TRecordState& state, uint64_t seconds) {
  Above(std::string(kProgram) + " station: " +
        Safe(state.WaitingText() + "; trying again for " + std::to_string(seconds) +
             " s (Ctrl-C ends the wait)"));
}

void TStationTerminalView::RecordLeft(const TRecordState& state) {
  const std::string they = state.Waiting == 1 ? "it is" : "they are";
  const std::string them = state.Waiting == 1 ? "it" : "them";
  const std::string where = state.Journal.empty()
                                ? they + " lost when the station ends (nothing on disk took " + them + ")"
                                : they + " kept in \"" + state.Journal +
                                      "\", and the next station that writes to \"" + state.Summary +
                                      "\" writes " + them + " first";
  Above(std::string(kProgram) + " station: " + Safe(state.WaitingText() + ": " + where));
}

void TStationTerminalView::Above(const std::string& line) {
  if (FTty && FIo.StderrTty && FDrawnLines > 0) {
    // The lines are drawn again below the message at the next Draw.
    FIo.Out << "\x1b[" << FDrawnLines << "F\x1b[J" << std::flush;
    FDrawnLines = 0;
    FDrawnText.clear();
  }
  FIo.Err << line << '\n' << std::flush;
}

void TStationTerminalView::Draw(const TStation& station) {
  if (!FTty) return;
  int columns = 0;
  int rows = 0;
  Size(columns, rows);
  // One column and one row short of the terminal: the cursor never wraps and the redraw never scrolls.
  const size_t width = static_cast<size_t>(std::max(columns - 1, 20));
  const size_t height = static_cast<size_t>(std::max(rows - 1, 2));
  const size_t budget = height - 1;  // the counter line takes one

  // Which runs: all while they fit; else every running one (as many as fit) and the last few finished.
  const std::deque<TStationRun>& runs = station.Runs();
  std::vector<const TStationRun*> shown;
  size_t hiddenRunning = 0;
  if (runs.size() <= budget) {
    for (const TStationRun& run : runs) shown.push_back(&run);
  } else {
    std::vector<const TStationRun*> running, finished;
    for (const TStationRun& run : runs) (Finished(run) ? finished : running).push_back(&run);
    if (running.size() > budget) {
      hiddenRunning = running.size() - (budget - 1);
      running.resize(budget - 1);
    }
    const size_t room = budget - running.size() - (hiddenRunning > 0 ? 1 : 0);
    const size_t keep = std::min({room, kFinishedShown, finished.size()});
    shown = running;
    shown.insert(shown.end(), finished.end() - static_cast<std::ptrdiff_t>(keep), finished.end());
    std::sort(shown.begin(), shown.end(),
              [](const TStationRun* a, const TStationRun* b) { return a->Number < b->Number; });
  }

  struct TCells {
    std::string Port, Location, Logger, Image;
  };
  std::vector<TCells> cells;
  size_t portW = 0, locationW = 0, loggerW = 0, imageW = 0;
  for (const TStationRun* run : shown) {
    cells.push_back({Safe(run->Port), Safe(SocketLabel(run->Identity.Location)),
                     run->LoggerClass.empty() ? "-" : Safe(run->LoggerClass + " " + run->LoggerVersion),
                     run->Image.empty() ? "-" : Safe(run->Image)});
    portW = std::max(portW, Columns(cells.back().Port));
    locationW = std::max(locationW, Columns(cells.back().Location));
    loggerW = std::max(loggerW, Columns(cells.back().Logger));
    imageW = std::max(imageW, Columns(cells.back().Image));
  }
  // What fits: the port, percent and time always; the bar narrows first, then the socket, the logger and
  // the image are left out in that order. The socket only where a little of the final text fits too.
  bool withLocation = locationW > 0, withLogger = true, withImage = true;
  size_t barCells = kRowBarCells;
  for (int drop = 0; drop < 4; ++drop) {
    withLocation = withLocation && drop < 1;
    withLogger = drop < 2;
    withImage = drop < 3;
    const size_t fixed = portW + 2 + (withLocation ? locationW + 2 + 16 : 0) +
                         (withLogger ? loggerW + 2 : 0) + (withImage ? imageW + 2 : 0) + 3 + 4 + 2 + 5;
    barCells = std::min(kRowBarCells, width > fixed ? width - fixed : 0);
    if (barCells >= kRowMinBarCells) break;
  }
  barCells = std::max(barCells, kRowMinBarCells);

  std::string text;
  for (size_t i = 0; i < shown.size(); ++i) {
    const TStationRun& run = *shown[i];
    const size_t filled = static_cast<size_t>(std::clamp(run.Progress, 0, 100)) * barCells / 100;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", std::clamp(run.Progress, 0, 100));
    std::string line = Pad(cells[i].Port, portW) + "  ";
    if (withLocation) line += Pad(cells[i].Location, locationW) + "  ";
    if (withLogger) line += Pad(cells[i].Logger, loggerW) + "  ";
    if (withImage) line += Pad(cells[i].Image, imageW) + "  ";
    // Appended piece by piece: g++ 12 at -O3 takes "[" + std::string(...) for an overlapping copy.
    line += '[';
    line.append(filled, '#');
    line.append(barCells - filled, '-');
    line += "] ";
    line += percent;
    line += "  ";
    const std::string elapsed = FormatDuration(run.ElapsedMs);
    line.append(elapsed.size() < 5 ? 5 - elapsed.size() : 0, ' ');
    line += elapsed;
    if (!Finished(run)) {
      if (run.LeftMs) line += ", " + FormatDuration(*run.LeftMs) + " left";
    } else {
      line += "  ";
      line += Safe(run.Text);
    }
    text += Cut(line, width) + "\x1b[K\n";
  }
  if (hiddenRunning > 0)
    text += Cut("... and " + std::to_string(hiddenRunning) + " more running", width) + "\x1b[K\n";
  const TStation::TCounts counts = station.Counts();
  const size_t hidden = runs.size() - shown.size() - hiddenRunning;
  std::string counter = "completed " + std::to_string(counts.Completed) + "  failed " +
                        std::to_string(counts.Failed) + "  cancelled " + std::to_string(counts.Cancelled) +
                        "  running " + std::to_string(counts.Running);
  if (hidden > 0) counter += "  (" + std::to_string(hidden) + " earlier runs not shown)";
  text += Cut(counter, width) + "\x1b[K\n";

  // Only what changed goes out: at most once a second while the runs are quiet.
  if (text == FDrawnText) return;
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  if (FDrawnLines > 0) FIo.Out << "\x1b[" << FDrawnLines << "F";
  FIo.Out << text;
  if (lines < FDrawnLines) FIo.Out << "\x1b[J";
  FIo.Out << std::flush;
  FDrawnText = text;
  FDrawnLines = lines;
}

int TStationTerminalView::Finish(const TStation& station) {
  Draw(station);
  bool allCompleted = true;
  for (const TStationRow& row : station.Rows()) allCompleted = allCompleted && row.Result == "completed";
  // On a terminal the table keeps within its width.
  size_t width = 0;
  if (FTty) {
    int columns = 0;
    int rows = 0;
    Size(columns, rows);
    width = static_cast<size_t>(std::max(columns - 1, 20));
  } else if (FJson && FIo.StderrTty && FIo.ErrColumns > 1) {
    width = static_cast<size_t>(FIo.ErrColumns - 1);
  }
  if (FJson) {
    // Beside the events on standard output, every column of the summary, folded at a terminal's width.
    std::vector<std::vector<std::string>> table{SummaryHeader()};
    for (const TStationRow& row : station.Rows()) {
      std::vector<std::string> cells = SummaryCells(row);
      for (std::string& cell : cells) cell = Safe(cell);
      table.push_back(std::move(cells));
    }
    if (width > 0) {
      // The columns no run fills are left out: fewer blocks to read.
      for (size_t c = table[0].size(); c-- > 1;) {
        const bool empty = std::all_of(table.begin() + 1, table.end(),
                                       [c](const std::vector<std::string>& row) { return row[c].empty(); });
        if (empty && table.size() > 1) {
          for (auto& row : table) row.erase(row.begin() + static_cast<std::ptrdiff_t>(c));
        }
      }
    }
    FIo.Err << '\n' << (width > 0 ? FoldTable(table, width) : FormatTable(table)) << std::flush;
  } else {
    FIo.Out << '\n'
            << CompactTable(station.Runs(), width) << '\n'
            << SummaryNote(station.Record().File, station.Record().Waiting) << '\n'
            << std::flush;
  }
  if (FTty) {
    // What the runs' programs said beyond their events (why a port would not open ...), per port.
    bool first = true;
    for (const TStationRun& run : station.Runs()) {
      for (const std::string& hint : run.Hints) {
        if (first) FIo.Err << '\n';
        first = false;
        FIo.Err << Safe(run.Port) << ": " << Safe(hint) << '\n';
      }
    }
    FIo.Err << std::flush;
  }
  return allCompleted ? 0 : kExitStationFailed;
}

std::string CompactTable(const std::deque<TStationRun>& runs, size_t width) {
  std::vector<const TStationRun*> finished;
  for (const TStationRun& run : runs) {
    if (Finished(run)) finished.push_back(&run);
  }
  // By port, and a port's runs in the order they started.
  std::stable_sort(finished.begin(), finished.end(),
                   [](const TStationRun* a, const TStationRun* b) { return NaturalLess(a->Port, b->Port); });
  std::vector<std::vector<std::string>> rows{{"port", "result", "time", "outcome"}};
  for (const TStationRun* run : finished) {
    // Where the port would not open, why.
    std::string outcome = OpenFailureHint(run->Port, run->Row.ExitCode, run->Hints);
    if (outcome.empty()) outcome = run->Row.Text;
    const auto ms = static_cast<uint64_t>(std::max(0.0, run->Row.Seconds) * 1000.0 + 0.5);
    rows.push_back({Safe(run->Port), RunStatusWord(run->Status), FormatDuration(ms), Safe(outcome)});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Columns(row[c]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c + 1 < row.size(); ++c) line += Pad(row[c], widths[c]) + "  ";
    line += row.back();
    out += (width > 0 ? Cut(line, width) : line) + '\n';
  }
  return out;
}

std::string SummaryNote(const std::string& summary, size_t waiting) {
  if (summary.empty()) return "All columns of every run: add --summary FILE (or --json).";
  // Not yet true while rows wait: said so, as the lines below tell where they are.
  if (waiting > 0)
    return "All columns of every run go to " + Safe(summary) + " once the rows that wait are written.";
  return "All columns of every run are in " + Safe(summary) + ".";
}

std::string FoldTable(const std::vector<std::vector<std::string>>& rows, size_t width) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Columns(row[c]));
  }
  if (widths.empty()) return {};
  std::string out;
  size_t from = 1;
  do {
    // The first column leads every block; then as many further ones as fit, at least one.
    size_t to = from;
    size_t used = widths[0];
    while (to < widths.size() && (to == from || used + 2 + widths[to] <= width)) used += 2 + widths[to++];
    if (!out.empty()) out += '\n';
    for (const auto& row : rows) {
      auto cell = [&row, &widths](size_t c) { return Pad(c < row.size() ? row[c] : "", widths[c]); };
      std::string line = cell(0);
      for (size_t c = from; c < to; ++c) line += "  " + cell(c);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += (width > 0 ? Cut(line, width) : line) + '\n';
    }
    from = to;
  } while (from < widths.size());
  return out;
}
