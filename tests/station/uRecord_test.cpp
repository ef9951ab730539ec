// The record on real files: appended, never rewritten; left alone when not ours; rows that cannot be
// written wait in order and are written once, also after a station died in the middle of it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "station/uRecord.h"
#include "station/uStationSys.h"

namespace {

namespace fs = std::filesystem;

// Paths as the record takes them: UTF-8, on Windows too.
std::string Utf8(const fs::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(PathOf(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(PathOf(path), std::ios::binary) << text;
}

TStationRow Row(const std::string& port, const std::string& text = "ok") {
  TStationRow row;
  row.Port = port;
  row.Result = "completed";
  row.Text = text;
  return row;
}

std::string Line(const TStationRow& row) {
  return SummaryLine(SummaryCells(row));
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The clock keeps apart test runs of several work trees on one machine; the folder's name is not
    // ASCII, as a user's may not be.
    root = fs::temp_directory_path() /
           ("pellory_record_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    dir = root / fs::path(u8"Pr\u00fcfung") / fs::path(u8"L\u00f6gs");
    fs::create_directories(dir);
    fs::create_directories(root / "pending");
    options.Summary = Utf8(dir / "summary.csv");
    options.PendingDir = Utf8(root / "pending");
    options.LockWaitMs = 0;
  }
  void TearDown() override { fs::remove_all(root); }

  TRecord Make() {
    return TRecord(
        options, [this] { return now; }, [this](const TRecordState& s) { told.push_back(s); },
        [this](const std::string& text) { problems.push_back(text); });
  }
  std::string Aside() const {
    for (const auto& e : fs::directory_iterator(root / "pending")) {
      if (e.path().extension() == ".pending") return Utf8(e.path());
    }
    return {};
  }

  fs::path root, dir;
  TRecordOptions options;
  uint64_t now = 0;
  std::vector<TRecordState> told;
  std::vector<std::string> problems;
};

TEST_F(RecordTest, RowsAreAppendedAndWhatIsThereStaysByteForByte) {
  { Make().Add(Row("COM5")); }
  const std::string header = SummaryCsv({});
  EXPECT_EQ(ReadFile(options.Summary), header + Line(Row("COM5")));

  // A note typed in without its line end, and a stray quote in an unquoted cell: the next session's row
  // follows on a line of its own, and not a byte before it changes.
  const std::string edited =
      ReadFile(options.Summary) + "COM6,,,,,,moved to 5\" hub\r\nchecked by J\u00fcrgen";
  WriteFile(options.Summary, edited);
  {
    TRecord record = Make();
    record.Add(Row("COM7"));
    EXPECT_EQ(record.State().Waiting, 0u);
  }
  EXPECT_EQ(ReadFile(options.Summary), edited + "\r\n" + Line(Row("COM7")));

  // Cells from devices and the system that a spreadsheet would run as formulas: text in the file.
  TStationRow evil = Row("=HYPERLINK(\"http://x\",\"y\")", "-2+3");
  evil.UsbSerial = "@SUM(A1)";
  evil.Location = "+1";
  evil.Image = "\tx";
  evil.LogProblem = "\rcmd";
  const std::vector<std::string> cells = SummaryCells(evil);
  const std::string line = SummaryLine(cells);
  EXPECT_EQ(line.rfind("\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\",,,0.0,", 0), 0u) << line;
  for (const char* part : {",'-2+3,", ",'\tx,", ",'@SUM(A1),'+1,", "\"'\rcmd\"\r\n"})
    EXPECT_NE(line.find(part), std::string::npos) << part;
  EXPECT_EQ(cells[0], evil.Port) << "the cells themselves (logs, JSON, the table) keep the text";
}

TEST_F(RecordTest, ASummaryWithAnotherHeaderIsLeftAloneAndTheRowsGoToTheNextNumberedFile) {
  // A spreadsheet's re-save (byte-order mark) and one with semicolons.
  const std::string bom = "\xEF\xBB\xBF" + SummaryCsv({Row("COM1")});
  const std::string semicolons = "port;started;finished\r\nCOM2;;\r\n";
  WriteFile(options.Summary, bom);
  WriteFile(Utf8(dir / "summary-2.csv"), semicolons);
  {
    TRecord record = Make();
    ASSERT_EQ(told.size(), 1u) << "told at once";
    EXPECT_EQ(record.State().File, Utf8(dir / "summary-3.csv"));
    EXPECT_EQ(record.State().DivertedText(),
              "summary.csv has another header than this program writes: it is left as it is, and the rows go "
              "to summary-3.csv");
    record.Add(Row("COM3"));
  }
  EXPECT_EQ(ReadFile(options.Summary), bom);
  EXPECT_EQ(ReadFile(Utf8(dir / "summary-2.csv")), semicolons);
  EXPECT_EQ(ReadFile(Utf8(dir / "summary-3.csv")), SummaryCsv({Row("COM3")}));
}

TEST_F(RecordTest, RowsThatCannotBeWrittenWaitAndAreWrittenInOrderOnceWhenTheyCan) {
  TRecord record = Make();
  {
    // Another station holds the summary's lock: the rows wait in this user's folder, in memory nowhere.
    TRecordLock other;
    TFileError error;
    ASSERT_TRUE(other.Take(options.Summary + ".lock", 0, error)) << error.Text;
    record.Add(Row("A"));
    record.Add(Row("B"));
    EXPECT_EQ(record.State().Waiting, 2u);
    EXPECT_EQ(record.State().WaitingText(), "2 rows wait: summary.csv is being written by another station");
    EXPECT_EQ(record.State().Journal, Aside());
    EXPECT_FALSE(fs::exists(dir / "summary.csv"));
    // Not before it is time to try again.
    now += 1000;
    record.Retry();
  }
  record.Retry();
  EXPECT_FALSE(fs::exists(dir / "summary.csv"));
  now += 3000;
  record.Retry();
  EXPECT_EQ(record.State().Waiting, 0u);
  EXPECT_EQ(told.back().Waiting, 0u);
  EXPECT_EQ(ReadFile(options.Summary), SummaryCsv({Row("A"), Row("B")}));
  EXPECT_EQ(Aside(), "") << "the journal goes once its rows are written";

  // The folder gone (a share offline): the rows wait aside; a new session writes them first, once.
  fs::remove_all(dir);
  record.Add(Row("C"));
  EXPECT_EQ(record.State().Waiting, 1u);
  EXPECT_EQ(record.State().WaitingText().rfind("1 row waits: summary.csv cannot be written: ", 0), 0u);
  fs::create_directories(dir);
  {
    TRecord next = Make();
    EXPECT_EQ(next.State().Waiting, 0u);
    next.Add(Row("D"));
  }
  record.Retry(true);
  EXPECT_EQ(record.State().Waiting, 0u);
  EXPECT_EQ(ReadFile(options.Summary), SummaryCsv({Row("C"), Row("D")}));
  EXPECT_TRUE(problems.empty());
}

TEST_F(RecordTest, AnAppendCutShortByADeathIsNeitherLostNorDoubled) {
  const std::string pending = options.Summary + ".pending";
  const std::string a = Line(Row("A")), b = Line(Row("B"));
  auto journal = [&](bool appending, uint64_t at, const std::string& bytes) {
    std::string text = "pellory pending rows 1\nsummary " + std::to_string(options.Summary.size()) + "\n" +
                       options.Summary + "\n";
    if (appending) {
      uint64_t h = 14695981039346656037ull;
      for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
      const std::string mark = std::to_string(at) + " " + std::to_string(bytes.size()) + " " +
                               std::to_string(h) + " 2 " + options.Summary;
      text += "appending " + std::to_string(mark.size()) + "\n" + mark + "\n";
    }
    for (const std::string& row : {a, b}) text += "row " + std::to_string(row.size()) + "\n" + row + "\n";
    WriteFile(pending, text);
  };
  // Appended, then the station died before the journal went: the next one finds the rows in the file.
  const std::string header = SummaryCsv({});
  WriteFile(options.Summary, header + a + b);
  journal(true, 0, header + a + b);
  { Make().Add(Row("C")); }
  EXPECT_EQ(ReadFile(options.Summary), header + a + b + Line(Row("C")));
  EXPECT_FALSE(fs::exists(PathOf(pending)));

  // Died before the append: the rows are written, in order, before the next one.
  WriteFile(options.Summary, header);
  journal(true, header.size(), a + b);
  { Make().Add(Row("C")); }
  EXPECT_EQ(ReadFile(options.Summary), header + a + b + Line(Row("C")));

  // A journal no station wrote is kept under another name; the record goes on without it.
  WriteFile(pending, "pellory pending rows 1\nrow 99999\nshort\n");
  { Make().Add(Row("D")); }
  EXPECT_EQ(ReadFile(options.Summary), header + a + b + Line(Row("C")) + Line(Row("D")));
  EXPECT_EQ(ReadFile(pending + ".unreadable"), "pellory pending rows 1\nrow 99999\nshort\n");
  ASSERT_EQ(problems.size(), 1u);
}

TEST_F(RecordTest, StationsWritingOneSummaryAtOnceLoseAndDoubleNoRow) {
  // Each record locks as another process would (one lock per open file): two stations, two threads.
  options.LockWaitMs = 5000;
  auto station = [this](const std::string& port) {
    TRecord record(
        options, [] { return uint64_t{0}; }, nullptr, nullptr);
    for (int i = 0; i < 40; ++i) record.Add(Row(port + std::to_string(i)));
  };
  std::thread one(station, "COM5-"), two(station, "COM7-");
  one.join();
  two.join();
  const std::string text = ReadFile(options.Summary);
  EXPECT_EQ(Count(text, "\r\n"), 81u);
  EXPECT_EQ(Count(text, "port,"), 1u);
  for (const std::string port : {"COM5-", "COM7-"}) {
    for (int i = 0; i < 40; ++i) EXPECT_EQ(Count(text, "\r\n" + port + std::to_string(i) + ","), 1u);
  }
}

}  // namespace
