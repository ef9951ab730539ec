// A device of the Ports class in the machine's device tree (the Wine prefix under test), with its port name
// and the latency timer its driver would keep: what SetupAPI lists as a present port. Removed again when
// dropped. (Wine lists every device it knows as present; a real PC leaves out those unplugged.)
#pragma once

#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <string>

class TTestPortDevice {
 public:
  // `latencyMs` 0: no LatencyTimer value (a driver without one).
  TTestPortDevice(const std::wstring& port, DWORD latencyMs,
                  const std::wstring& hardwareId = L"FTDIBUS\\COMPORT&VID_0403&PID_6001");
  ~TTestPortDevice();
  TTestPortDevice(const TTestPortDevice&) = delete;
  TTestPortDevice& operator=(const TTestPortDevice&) = delete;

  bool Made() const { return FMade; }
  std::wstring InstanceId() const;
  // The LatencyTimer of its hardware key; 0 without one.
  DWORD LatencyTimer();
  void SetLatencyTimer(DWORD ms);

 private:
  HDEVINFO FSet = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA FData{};
  bool FMade = false;
};
