// The facts behind a failed open on Windows, and the latency timers that adapters' drivers keep in their
// devices' hardware keys.
#include <windows.h>

#include "device/uWinText_win32.h"
#include "station/uPortDiag.h"
#include "station/uSetupApi_win32.h"

TOpenFacts GatherOpenFacts(const std::string& port, const TPortError& error, const TSystemRoots& roots) {
  TOpenFacts facts;
  facts.Port = port;
  facts.Error = error;
  facts.Info = DescribePort(port, roots);
  facts.HoldersVisible = false;  // Windows does not tell which program holds a COM port
  if (error.Failure == TPortFailure::NotFound) facts.Existing = ListSerialPorts();
  return facts;
}

TLatencyFacts GatherLatencyFacts(const std::string& port, const TSystemRoots&) {
  TLatencyFacts facts;
  const std::wstring instanceId = PresentPortDevice(ToWide(port));
  if (instanceId.empty()) return facts;
  TDeviceByInstance device(instanceId);
  if (!device.Opened()) return facts;
  facts.TimerMs = DeviceLatencyTimer(device.Set(), device.Data());
  if (facts.TimerMs < 0) return facts;
  // The device, not a registry path: the timer is reached through it.
  facts.Location = ToUtf8(instanceId);
  facts.Change = {
      "Set it to 1 with: pellory-cli latency " + port +
          " --set 1 (it asks for administrator rights), or in the",
      "Device Manager: the port's Properties, Port Settings, Advanced, Latency Timer (msec);",
      "the driver keeps it as LatencyTimer in the hardware key of the device " + facts.Location + ".",
  };
  return facts;
}
