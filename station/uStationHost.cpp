#include <chrono>

#include "sim/uSimLogger.h"
#include "station/uStation.h"
#include "station/uStationSys.h"

TStationHost PlatformStationHost(IProcesses* processes, const TSystemRoots& roots) {
  TStationHost host;
  host.Processes = processes;
  host.PortKey = [](const std::string& port) {
    return TPortRouter::IsSimPortName(port) ? port : CanonicalPortKey(port);
  };
  host.Identify = [roots](const std::string& port) {
    TPortIdentity identity;
    identity.Key = TPortRouter::IsSimPortName(port) ? port : CanonicalPortKey(port);
    if (TPortRouter::IsSimPortName(port)) return identity;
    const TPortInfo info = DescribePort(port, roots);
    identity.UsbSerial = info.Serial;
    identity.Location = info.Location;
    identity.LatencyMs = info.LatencyMs;
    return identity;
  };
  host.NowMs = [] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  };
  host.WallNow = [] { return std::chrono::system_clock::now(); };
  host.HostName = ComputerName();
  host.Version = PELLORY_VERSION;
  return host;
}
