#include "ui/uPortScan.h"

#include <exception>

TPortScanner::TPortScanner(TScan scan, std::function<void()> ready)
    : FScan(std::move(scan)), FReady(std::move(ready)), FThread(&TPortScanner::Loop, this) {}

TPortScanner::~TPortScanner() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TPortScanner::Request() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FRequested = true;
  }
  FWake.notify_all();
}

bool TPortScanner::Take(std::vector<TListedPort>& ports) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!FHasResult) return false;
  ports = std::move(FResult);
  FResult.clear();
  FHasResult = false;
  return true;
}

bool TPortScanner::Pending() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FRequested || FScanning || FHasResult;
}

void TPortScanner::Loop() {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    FWake.wait(lock, [this] { return FRequested || FStop; });
    if (FStop) return;
    FRequested = false;
    FScanning = true;
    lock.unlock();
    std::vector<TListedPort> ports;
    bool scanned = true;
    try {
      ports = FScan();
    } catch (const std::exception&) {
      scanned = false;  // the list stays as it was; the next request tries again
    }
    lock.lock();
    FScanning = false;
    if (scanned) {
      FResult = std::move(ports);
      FHasResult = true;
    }
    if (!scanned || FStop) continue;
    lock.unlock();
    FReady();
    lock.lock();
  }
}
