// What the station does on Windows to stay in charge of its children: a child that cannot join the job
// never runs.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/uWinText_win32.h"
#include "station/uProcess_win32.h"

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

}  // namespace
