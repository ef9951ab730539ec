// The station window's port list, made on a thread of its own: reading the serial-port map is quick, but
// identifying each port asks SetupAPI and, for a logger whose serial number Windows no longer keeps, its
// hub, which waits for the device. A hub of eight loggers announces itself in a storm of broadcasts; the
// window folds them into one request, and requests that come while a scan runs into one more scan after
// it. Portable: the window passes the scan and how it is told that one is ready.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ui/uStationBoard.h"

class TPortScanner {
 public:
  using TScan = std::function<std::vector<TListedPort>()>;
  // `ready` is called on the scanner's thread after each scan (the window posts itself a message).
  TPortScanner(TScan scan, std::function<void()> ready);
  // Waits for a scan under way; none starts after.
  ~TPortScanner();
  TPortScanner(const TPortScanner&) = delete;
  TPortScanner& operator=(const TPortScanner&) = delete;

  // A scan soon: at once when none runs, else one more after the running one, however often asked.
  void Request();
  // The newest scan's ports, once; false when no scan ended since the last Take.
  bool Take(std::vector<TListedPort>& ports);
  // Asked for and not yet taken.
  bool Pending() const;

 private:
  void Loop();

  TScan FScan;
  std::function<void()> FReady;
  mutable std::mutex FMutex;
  std::condition_variable FWake;
  bool FRequested = false;
  bool FScanning = false;
  bool FHasResult = false;
  bool FStop = false;
  std::vector<TListedPort> FResult;
  std::thread FThread;  // last: started once the rest is made
};
