// What the station does on Windows to stay in charge of its children and of the files its elevated copy
// writes: a child that cannot join the job never runs, and the result file is no link.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device/uWinText_win32.h"
#include "station/uProcess_win32.h"
#include "station/uStationSys.h"

using ::testing::HasSubstr;

namespace {

TEST(StationWin32, AChildThatCannotJoinTheJobIsEndedBeforeItRunsAndItsStartFails) {
  HANDLE child = nullptr;
  auto processes = CreateWin32Processes([&child](HANDLE, HANDLE process) {
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &child,
                    SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, 0);
    SetLastError(ERROR_ACCESS_DENIED);  // as in a job that allows no other job
    return false;
  });
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::string error;
  EXPECT_EQ(processes->Spawn({ToUtf8(self), "--gtest_list_tests"}, error), 0);
  EXPECT_THAT(error, HasSubstr("could not join the job object that ends it with the station (error 5)"));
  EXPECT_EQ(processes->Running(), 0u);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(child, &code);
  EXPECT_EQ(code, 1u);  // ended, never resumed: the listing would have exited 0
  CloseHandle(child);
}

TEST(StationWin32, TheResultFileIsWrittenOnlyWhenItIsTheCallersOwnPlainFile) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::filesystem::path dir =
      std::filesystem::path(temp) / (L"pellory-result-" + std::to_wstring(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path own = dir / "result", target = dir / "precious";
  std::ofstream(own, std::ios::binary) << "an older and longer text";
  std::ofstream(target, std::ios::binary) << "keep";
  std::string error;
  EXPECT_TRUE(WriteIntoOwnFile(ToUtf8(own.wstring()), "[]\n", error)) << error;
  EXPECT_EQ(std::filesystem::file_size(own), 3u);

  ASSERT_TRUE(CreateHardLinkW((dir / "hardlink").c_str(), target.c_str(), nullptr));
  EXPECT_FALSE(WriteIntoOwnFile(ToUtf8((dir / "hardlink").wstring()), "[]\n", error));
  EXPECT_THAT(error, HasSubstr("2 names (hard links)"));
  if (CreateSymbolicLinkW((dir / "symlink").c_str(), target.c_str(), 0)) {
    EXPECT_FALSE(WriteIntoOwnFile(ToUtf8((dir / "symlink").wstring()), "[]\n", error));
  }
  EXPECT_FALSE(WriteIntoOwnFile(ToUtf8((dir / "missing").wstring()), "[]\n", error));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  EXPECT_EQ(std::filesystem::file_size(target), 4u);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
