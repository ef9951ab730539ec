// The kernel32 backend and the window event sink, under Windows or Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include "device/uEvents.h"
#include "device/uPortOps.h"
#include "device/uRS232.h"

namespace {

DWORD HandleCount() {
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return n;
}

TEST(Win32Port, ANonexistentPortDoesNotOpenAndLeavesNothingOpen) {
  const DWORD before = HandleCount();
  EXPECT_EQ(PlatformPortOps().Open("COM219"), kInvalidPort);
  EXPECT_EQ(PlatformPortOps().OpenError("COM219").Failure, TPortFailure::NotFound);
  EXPECT_EQ(OpenComPort(PlatformPortOps(), "COM219", 9600), kInvalidPort);
  EXPECT_EQ(OpenComPort(PlatformPortOps(), "", 9600), kInvalidPort);
  EXPECT_EQ(OpenComPort(PlatformPortOps(), "\xFF\xFE", 9600), kInvalidPort);  // not UTF-8
  EXPECT_EQ(HandleCount(), before);
}

TEST(Win32Port, CallsOnAnInvalidHandleFail) {
  IPortOps& ops = PlatformPortOps();
  EXPECT_FALSE(ops.ClearErrors(kInvalidPort));
  EXPECT_FALSE(ops.Purge(kInvalidPort));
  uint8_t buf[8] = {};
  uint32_t n = 99;
  EXPECT_FALSE(ops.Write(kInvalidPort, buf, 8, n));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(ops.Read(kInvalidPort, buf, 8, n));
  EXPECT_EQ(n, 0u);
}

TEST(Win32Events, WindowEventSinkPostsWmUserWithCodeAndValue) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"PelloryDeviceTestSink";
  RegisterClassW(&wc);
  HWND wnd =
      CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(wnd, nullptr);
  WindowEventSink().Post(reinterpret_cast<intptr_t>(wnd), 27, 3);
  WindowEventSink().Post(reinterpret_cast<intptr_t>(wnd), 15, 0x321);
  MSG msg{};
  ASSERT_TRUE(PeekMessageW(&msg, wnd, WM_USER, WM_USER, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(kWorkerEventMessage));
  EXPECT_EQ(msg.wParam, 27u);
  EXPECT_EQ(msg.lParam, 3);
  ASSERT_TRUE(PeekMessageW(&msg, wnd, WM_USER, WM_USER, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 15u);
  EXPECT_EQ(msg.lParam, 0x321);
  EXPECT_FALSE(PeekMessageW(&msg, wnd, WM_USER, WM_USER, PM_REMOVE));
  // A window that is gone: the post is lost, nothing else happens.
  DestroyWindow(wnd);
  WindowEventSink().Post(reinterpret_cast<intptr_t>(wnd), 0, 0);
}

}  // namespace
