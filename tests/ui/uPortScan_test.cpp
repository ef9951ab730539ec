// The station window's port list on a thread of its own: a storm of requests while one scan waits for the
// system makes one more scan, not one per request, and the window takes the newest list.
#include "ui/uPortScan.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

TEST(PortScanner, RequestsDuringAScanMakeOneMoreScanAndTheNewestListIsTakenOnce) {
  std::mutex mutex;
  std::condition_variable changed;
  bool release = false;
  int scans = 0, ready = 0;
  TPortScanner scanner(
      [&] {
        std::unique_lock<std::mutex> lock(mutex);
        const int n = ++scans;
        changed.notify_all();
        // The first scan waits, as one asking a hub for a device's serial number does.
        changed.wait(lock, [&] { return release || n > 1; });
        return std::vector<TListedPort>{{"COM" + std::to_string(n), {}}};
      },
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        ++ready;
        changed.notify_all();
      });
  std::vector<TListedPort> ports;
  EXPECT_FALSE(scanner.Pending());
  EXPECT_FALSE(scanner.Take(ports));
  scanner.Request();
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return scans == 1; });
  }
  for (int i = 0; i < 20; ++i) scanner.Request();
  EXPECT_TRUE(scanner.Pending());
  {
    std::unique_lock<std::mutex> lock(mutex);
    release = true;
    changed.notify_all();
    changed.wait(lock, [&] { return ready == 2; });
  }
  ASSERT_TRUE(scanner.Take(ports));
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].Port, "COM2");
  EXPECT_FALSE(scanner.Take(ports));
  EXPECT_FALSE(scanner.Pending());
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(scans, 2);
}

}  // namespace
