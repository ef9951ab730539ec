#include "station/uSummary.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "station/uStationSys.h"

namespace {

// RFC 4180 as written by SummaryCsv; rows of cells.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string cell;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().push_back(std::move(cell));
      cell.clear();
    } else if (c == '\n') {
      if (!cell.empty() && cell.back() == '\r') cell.pop_back();
      rows.back().push_back(std::move(cell));
      cell.clear();
      rows.emplace_back();
    } else {
      cell += c;
    }
  }
  if (!cell.empty()) rows.back().push_back(std::move(cell));
  if (rows.back().empty()) rows.pop_back();
  return rows;
}

std::string CsvLine(const std::vector<std::string>& cells) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& c = cells[i];
    if (c.find_first_of(",\"\r\n") == std::string::npos) {
      out += c;
      continue;
    }
    out += '"';
    for (char ch : c) {
      if (ch == '"') out += '"';
      out += ch;
    }
    out += '"';
  }
  return out + "\r\n";
}

}  // namespace

std::vector<std::string> SummaryHeader() {
  return {"port",      "started", "finished",        "seconds",        "result",
          "exit_code", "text",    "logger_class",    "logger_version", "platform",
          "print",     "image",   "warnings",        "repeats",        "usb_serial",
          "location",  "host",    "pellory_version", "log_problem"};
}

std::vector<std::string> SummaryCells(const TStationRow& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", r.Seconds);
  return {r.Port,
          r.Started,
          r.Finished,
          seconds,
          r.Result,
          std::to_string(r.ExitCode),
          r.Text,
          r.LoggerClass,
          r.LoggerVersion,
          r.Platform,
          r.Print,
          r.Image,
          std::to_string(r.Warnings),
          std::to_string(r.Repeats),
          r.UsbSerial,
          r.Location,
          r.Host,
          r.PelloryVersion,
          r.LogProblem};
}

std::string SummaryCsv(const std::vector<TStationRow>& rows) {
  std::string csv = CsvLine(SummaryHeader());
  for (const TStationRow& r : rows) csv += CsvLine(SummaryCells(r));
  return csv;
}

TSummaryFile::TSummaryFile(std::string path, bool keepEarlierRows, TProblem problem)
    : FPath(std::move(path)), FProblem(std::move(problem)) {
  if (keepEarlierRows && !FPath.empty()) ReadEarlierRows();
}

void TSummaryFile::ReadEarlierRows() {
  std::string text;
  if (!ReadWholeFile(FPath, text)) return;
  std::vector<std::vector<std::string>> rows = ParseCsv(text);
  if (rows.empty()) return;
  const std::vector<std::string> header = SummaryHeader();
  const bool prefix =
      rows[0].size() <= header.size() && std::equal(rows[0].begin(), rows[0].end(), header.begin());
  if (!prefix) {
    // Not a summary of ours: copied aside rather than lost when this session's is written.
    const std::string aside = FPath + ".earlier";
    std::string error;
    if (ReplaceWholeFile(aside, text, error)) {
      FProblem("the summary \"" + FPath + "\" has other columns; kept as \"" + aside + "\"");
    } else {
      FProblem("the summary \"" + FPath + "\" has other columns and cannot be kept aside: " + error);
      FPath.clear();
    }
    return;
  }
  // Rows of an older version with fewer columns are padded.
  for (size_t r = 1; r < rows.size(); ++r) {
    rows[r].resize(header.size());
    FEarlierRows.push_back(std::move(rows[r]));
  }
}

void TSummaryFile::Write(const std::vector<TStationRow>& rows) {
  if (FPath.empty()) return;
  std::string csv = CsvLine(SummaryHeader());
  for (const auto& cells : FEarlierRows) csv += CsvLine(cells);
  for (const TStationRow& r : rows) csv += CsvLine(SummaryCells(r));
  std::string error;
  if (ReplaceWholeFile(FPath, csv, error)) {
    FLastProblem.clear();
    return;
  }
  if (error == FLastProblem) return;
  FLastProblem = error;
  FProblem("cannot write the summary: " + error);
}
