#include "station/uRecord.h"

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <utility>

#include "station/uStationSys.h"

namespace {

// A journal is ours alone and read whole; anything larger was not written by a station.
constexpr size_t kMaxJournalBytes = 64u << 20;
constexpr int kMaxNumberedFiles = 1000;
constexpr char kJournalHead[] = "pellory pending rows 1\n";

std::string CsvLine(const std::vector<std::string>& cells, bool defuse) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) out += ',';
    std::string c = cells[i];
    // CSV injection: a spreadsheet runs such a cell as a formula; with the quote it shows the text.
    if (defuse && !c.empty() && std::string_view("=+-@\t\r").find(c[0]) != std::string_view::npos)
      c.insert(0, 1, '\'');
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

const std::string& HeaderLine() {
  static const std::string line = CsvLine(SummaryHeader(), false);
  return line;
}

uint64_t Fnv1a64(const std::string& text) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

size_t NameStart(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

std::string FileNameOf(const std::string& path) {
  return path.substr(NameStart(path));
}

// "summary.csv" -> "summary-2.csv"; "runs" -> "runs-2".
std::string NumberedName(const std::string& path, int n) {
  const size_t dot = path.rfind('.');
  const size_t at = dot == std::string::npos || dot <= NameStart(path) ? path.size() : dot;
  return path.substr(0, at) + "-" + std::to_string(n) + path.substr(at);
}

std::string ReasonOf(const TFileError& error, const char* doing) {
  switch (error.Fault) {
    case TFileFault::Held:
      return "is open in another program";
    case TFileFault::Busy:
      return "is being written by another station";
    default:
      return std::string(doing) + ": " + error.Text;
  }
}

// Framed by byte counts: a row may hold any byte, line ends included.
void PutField(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += ' ' + std::to_string(value.size()) + '\n' + value + '\n';
}

bool GetField(const std::string& text, size_t& at, const std::string& key, std::string& value) {
  if (text.compare(at, key.size() + 1, key + " ") != 0) return false;
  size_t i = at + key.size() + 1;
  uint64_t n = 0;
  const size_t digits = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - digits < 12)
    n = n * 10 + (text[i++] - '0');
  if (i == digits || i >= text.size() || text[i] != '\n' || n > text.size() - i - 1) return false;
  ++i;
  if (i + n >= text.size() || text[i + n] != '\n') return false;
  value = text.substr(i, n);
  at = i + n + 1;
  return true;
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

std::string SummaryLine(const std::vector<std::string>& cells) {
  return CsvLine(cells, true);
}

std::string SummaryCsv(const std::vector<TStationRow>& rows) {
  std::string csv = HeaderLine();
  for (const TStationRow& r : rows) csv += SummaryLine(SummaryCells(r));
  return csv;
}

std::string TRecordState::WaitingText() const {
  if (Waiting == 0) return {};
  return std::to_string(Waiting) + (Waiting == 1 ? " row waits: " : " rows wait: ") + FileNameOf(File) + " " +
         Reason;
}

std::string TRecordState::DivertedText() const {
  if (File == Summary) return {};
  return FileNameOf(Summary) + " has another header than this program writes: it is left as it is, and the " +
         "rows go to " + FileNameOf(File);
}

// The rows that wait in a journal file. While an append of them is under way the journal says where it
// went and what it wrote: a station that dies between the append and the journal's removal leaves a
// journal whose rows the next one finds in the file, and does not write twice.
struct TRecord::TJournal {
  std::string Summary;  // for people who come across the file
  bool Appending = false;
  std::string Target;
  uint64_t At = 0, Length = 0, Hash = 0, Count = 0;  // the append: where, how long, its bytes' hash, rows
  std::vector<std::string> Rows;
  bool Found = false;  // read from its file

  std::string Text() const {
    std::string out = kJournalHead;
    PutField(out, "summary", Summary);
    if (Appending) {
      PutField(out, "appending",
               std::to_string(At) + " " + std::to_string(Length) + " " + std::to_string(Hash) + " " +
                   std::to_string(Count) + " " + Target);
    }
    for (const std::string& row : Rows) PutField(out, "row", row);
    return out;
  }

  bool Parse(const std::string& text) {
    size_t at = sizeof kJournalHead - 1;
    if (text.compare(0, at, kJournalHead) != 0 || !GetField(text, at, "summary", Summary)) return false;
    std::string mark;
    if (GetField(text, at, "appending", mark)) {
      // "AT LENGTH HASH COUNT TARGET", the numbers in decimal.
      size_t i = 0;
      for (uint64_t* number : {&At, &Length, &Hash, &Count}) {
        const size_t from = i;
        *number = 0;
        while (i < mark.size() && mark[i] >= '0' && mark[i] <= '9' && i - from < 20)
          *number = *number * 10 + static_cast<uint64_t>(mark[i++] - '0');
        if (i == from || i >= mark.size() || mark[i++] != ' ') return false;
      }
      Appending = true;
      Target = mark.substr(i);
    }
    std::string row;
    while (at < text.size()) {
      if (!GetField(text, at, "row", row)) return false;
      Rows.push_back(std::move(row));
    }
    return !Appending || Count <= Rows.size();
  }
};

TRecord::TRecord(TRecordOptions options, std::function<uint64_t()> nowMs, TChanged changed, TProblem problem)
    : FOptions(std::move(options)),
      FNowMs(std::move(nowMs)),
      FChanged(std::move(changed)),
      FProblem(std::move(problem)) {
  if (FOptions.Summary.empty()) return;
  if (FOptions.PendingDir.empty()) FOptions.PendingDir = UserPendingFolder();
  if (!FOptions.PendingDir.empty()) {
    // One journal per summary, whatever way its path is written.
    char key[24];
    std::snprintf(key, sizeof key, "%016llx",
                  static_cast<unsigned long long>(Fnv1a64(PathKey(FOptions.Summary))));
    FAsidePath = InFolder(FOptions.PendingDir, key + ("-" + FileNameOf(FOptions.Summary)) + ".pending");
  }
  FFile = FOptions.Summary;
  FState.Summary = FOptions.Summary;
  FState.File = FOptions.Summary;
  std::string reason;
  FindFile(FFile, reason);
  // Told at once when the rows go to another file than the one named.
  Tell(0, {}, {});
  // Rows an earlier session left waiting for this summary go first.
  if (FileExists(BesidePath()) || (!FAsidePath.empty() && FileExists(FAsidePath))) Flush();
}

void TRecord::Add(const TStationRow& row) {
  if (FOptions.Summary.empty()) return;
  FMemory.push_back(SummaryLine(SummaryCells(row)));
  Flush();
  FNextTry = FNowMs() + static_cast<uint64_t>(FOptions.RetryMs);
}

void TRecord::Retry(bool now) {
  if (FState.Waiting == 0) return;
  if (!now && FNowMs() < FNextTry) return;
  Flush();
  FNextTry = FNowMs() + static_cast<uint64_t>(FOptions.RetryMs);
}

void TRecord::Tell(size_t waiting, const std::string& reason, const std::string& journal) {
  TRecordState next;
  next.Summary = FOptions.Summary;
  next.File = FFile;
  next.Waiting = waiting;
  if (waiting > 0) {
    next.Reason = reason;
    next.Journal = journal;
  }
  if (next == FState) return;
  FState = std::move(next);
  if (FChanged) FChanged(FState);
}

bool TRecord::FindFile(std::string& file, std::string& reason) {
  // The summary, unless its header is not ours (another program's file, an older version's, a
  // spreadsheet's re-save with a byte-order mark or semicolons, an edited header): then the first numbered
  // file that is missing or ours.
  const std::string& header = HeaderLine();
  for (int n = 1; n <= kMaxNumberedFiles; ++n) {
    const std::string name = n == 1 ? FOptions.Summary : NumberedName(FOptions.Summary, n);
    std::string head;
    TFileError error;
    if (!ReadFilePart(name, 0, header.size(), head, error)) {
      file = name;
      if (error.Fault == TFileFault::Missing) return true;
      // Whether it is ours cannot be told: it is not written, and not taken for missing either.
      reason = ReasonOf(error, "cannot be read");
      return false;
    }
    if (head.empty() || head == header) {
      file = name;
      return true;
    }
  }
  reason = "and the numbered files beside it are not summaries of this program";
  return false;
}

bool TRecord::LoadJournal(const std::string& path, TJournal& journal) {
  std::string text;
  TFileError error;
  if (!ReadFilePart(path, 0, kMaxJournalBytes + 1, text, error)) return error.Fault == TFileFault::Missing;
  if (text.size() <= kMaxJournalBytes && journal.Parse(text)) {
    journal.Found = true;
    return true;
  }
  // Not one a station wrote: kept under another name, never overwritten, and the rows go on without it.
  journal = {};
  for (int n = 1; n <= kMaxNumberedFiles; ++n) {
    const std::string kept = path + ".unreadable" + (n == 1 ? std::string() : "-" + std::to_string(n));
    if (FileExists(kept)) continue;
    if (!RenameFile(path, kept, error)) return false;
    if (FProblem)
      FProblem("the waiting rows in \"" + path + "\" cannot be read; the file is kept as \"" + kept + "\"");
    return true;
  }
  return false;
}

bool TRecord::Settle(TJournal& journal, bool& changed) {
  if (!journal.Appending) return true;
  // An append that a station did not see to its end: are its bytes in the file?
  std::string written;
  TFileError error;
  if (journal.Length <= 2 * kMaxJournalBytes &&
      ReadFilePart(journal.Target, journal.At, journal.Length, written, error)) {
    if (written.size() == journal.Length && Fnv1a64(written) == journal.Hash)
      journal.Rows.erase(journal.Rows.begin(),
                         journal.Rows.begin() + static_cast<std::ptrdiff_t>(journal.Count));
  } else if (error.Fault != TFileFault::Missing && journal.Length <= 2 * kMaxJournalBytes) {
    return false;  // not to be told now: the mark stays until it can be
  }
  journal.Appending = false;
  changed = true;
  return true;
}

void TRecord::Flush() {
  TFileError error;
  TRecordLock lock;
  if (!lock.Take(FOptions.Summary + ".lock", FOptions.LockWaitMs, error))
    return WaitAside(ReasonOf(error, "cannot be written"));
  // Under the summary's lock no other station appends to it or touches the journal beside it.
  TJournal beside;
  if (!LoadJournal(BesidePath(), beside))
    return WaitAside("cannot be written: its waiting rows cannot be read");
  FBesideRows = beside.Rows.size();
  bool changed = false;  // the journal beside differs from its file
  const bool settled = Settle(beside, changed);
  TJournal aside;
  TRecordLock asideLock;
  bool holdsAside = false;
  if (!FAsidePath.empty() && FileExists(FAsidePath)) {
    const bool locked = asideLock.Take(FAsidePath + ".lock", FOptions.LockWaitMs, error);
    holdsAside = locked && LoadJournal(FAsidePath, aside);
    // Rows that wait there go before any later row: none is written until they can be.
    if (!holdsAside)
      return WaitAside("cannot be written: the rows waiting in this user's folder cannot be read", locked);
  }
  // Everything that waits, oldest first.
  TJournal all = beside;
  all.Summary = FOptions.Summary;
  all.Rows.insert(all.Rows.end(), aside.Rows.begin(), aside.Rows.end());
  all.Rows.insert(all.Rows.end(), FMemory.begin(), FMemory.end());
  changed = changed || all.Rows.size() > beside.Rows.size();
  std::string reason;
  if (!FindFile(FFile, reason)) return Keep(all, changed, holdsAside, reason);
  if (!settled) return Keep(all, changed, holdsAside, "cannot be read: an earlier append is not settled");
  if (all.Rows.empty()) {
    if (beside.Found) RemoveFile(BesidePath(), error);
    FBesideRows = 0;
    return Tell(0, {}, {});
  }
  TAppendFile out;
  uint64_t size = 0;
  std::string last;
  if (!out.Open(FFile, error) || !out.Size(size, error) ||
      (size > 0 && !out.ReadAt(size - 1, 1, last, error)))
    return Keep(all, changed, holdsAside, ReasonOf(error, "cannot be written"));
  // A new file gets the header; a last line that someone left without its line end stays apart.
  std::string bytes = size == 0 ? HeaderLine() : last == "\n" ? std::string() : std::string("\r\n");
  for (const std::string& row : all.Rows) bytes += row;
  const bool fromJournal = all.Rows.size() > FMemory.size();
  if (fromJournal) {
    // Marked before the append: a station that dies between the append and the journal's removal leaves
    // a journal whose rows the next one finds in the file, and they are not written twice.
    all.Appending = true;
    all.Target = FFile;
    all.At = size;
    all.Length = bytes.size();
    all.Hash = Fnv1a64(bytes);
    all.Count = all.Rows.size();
    std::string why;
    if (!ReplaceWholeFile(BesidePath(), all.Text(), why)) {
      all.Appending = false;
      return Keep(all, changed, holdsAside, "cannot be written: " + why);
    }
    FMemory.clear();
    if (holdsAside) RemoveFile(FAsidePath, error);
    holdsAside = false;
    changed = false;
  }
  if (!out.Append(bytes, error)) return Keep(all, changed, holdsAside, ReasonOf(error, "cannot be written"));
  if (fromJournal || beside.Found) RemoveFile(BesidePath(), error);
  FMemory.clear();
  FBesideRows = 0;
  Tell(0, {}, {});
}

void TRecord::Keep(const TJournal& journal, bool rewrite, bool holdsAside, const std::string& reason) {
  std::string why;
  TFileError error;
  if (rewrite) {
    if (!ReplaceWholeFile(BesidePath(), journal.Text(), why)) return WaitAside(reason, holdsAside);
    FMemory.clear();
    if (holdsAside) RemoveFile(FAsidePath, error);
  }
  FBesideRows = journal.Rows.size();
  Tell(journal.Rows.size(), reason, BesidePath());
}

void TRecord::WaitAside(const std::string& reason, bool locked) {
  // Nothing beside the summary takes the rows now: this user's folder keeps them.
  size_t kept = 0;
  TRecordLock lock;
  TFileError error;
  std::string why;
  TJournal aside;
  if (!FAsidePath.empty() && FolderTakesFiles(FOptions.PendingDir, why) &&
      (locked || lock.Take(FAsidePath + ".lock", FOptions.LockWaitMs, error)) &&
      LoadJournal(FAsidePath, aside)) {
    if (!FMemory.empty()) {
      aside.Summary = FOptions.Summary;
      aside.Rows.insert(aside.Rows.end(), FMemory.begin(), FMemory.end());
      if (ReplaceWholeFile(FAsidePath, aside.Text(), why)) {
        FMemory.clear();
      } else {
        aside.Rows.resize(aside.Rows.size() - FMemory.size());
      }
    }
    kept = aside.Rows.size();
  }
  // Rows that this station saw beside the summary wait there still.
  const std::string journal = !FMemory.empty() ? std::string() : kept > 0 ? FAsidePath : BesidePath();
  Tell(FBesideRows + kept + FMemory.size(), reason, journal);
}
