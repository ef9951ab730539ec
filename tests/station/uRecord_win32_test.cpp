// The record on Windows: a summary held the way a spreadsheet holds it (others may only read).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device/uWinText_win32.h"
#include "station/uRecord.h"

namespace {

TEST(RecordWin32, ASummaryHeldByASpreadsheetKeepsItsRowsBesideItUntilItIsReleased) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::filesystem::path dir =
      std::filesystem::path(temp) / (L"pellory-record-\u00c5se-" + std::to_wstring(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::wstring summary = (dir / L"summary.csv").wstring();
  TRecordOptions options;
  options.Summary = ToUtf8(summary);
  options.PendingDir = ToUtf8(dir.wstring());
  options.LockWaitMs = 0;
  uint64_t now = 0;
  TRecord record(
      options, [&now] { return now; }, nullptr, nullptr);
  TStationRow row;
  row.Port = "COM5";
  record.Add(row);

  // Open in a spreadsheet: it reads and writes the file and lets others only read it.
  const HANDLE held = CreateFileW(summary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  row.Port = "COM6";
  record.Add(row);
  EXPECT_EQ(record.State().WaitingText(), "1 row waits: summary.csv is open in another program");
  EXPECT_EQ(record.State().Journal, options.Summary + ".pending");
  now += 3000;
  record.Retry();
  EXPECT_EQ(record.State().Waiting, 1u);

  CloseHandle(held);
  now += 3000;
  record.Retry();
  EXPECT_EQ(record.State().Waiting, 0u);
  std::ifstream in(dir / L"summary.csv", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  in.close();
  EXPECT_EQ(text.find("COM5,"), SummaryCsv({}).size());
  EXPECT_NE(text.find("\r\nCOM6,"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / L"summary.csv.pending"));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
