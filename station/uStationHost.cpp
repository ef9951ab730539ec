#include <chrono>

#include "sim/uSimLogger.h"
#include "station/uStation.h"
#include "station/uStationSys.h"

TPortIdentity PortIdentityOf(const TPortInfo& info, const std::string& key) {
  TPortIdentity identity;
  identity.Key = key;
  identity.UsbSerial = info.Serial;
  identity.Location = info.Location;
  identity.Interface = info.Interface;
  identity.LatencyMs = info.LatencyMs;
  identity.SocketSetUp = info.SocketSetUp;
  return identity;
}

TStationHost PlatformStationHost(IProcesses* processes, const TSystemRoots& roots) {
  TStationHost host;
  host.Processes = processes;
  host.PortKey = [](const std::string& port) {
    return TPortRouter::IsSimPortName(port) ? port : CanonicalPortKey(port);
  };
  host.Identify = [roots](const std::string& port) {
    if (TPortRouter::IsSimPortName(port)) return PortIdentityOf({}, port);
    return PortIdentityOf(DescribePort(port, roots), CanonicalPortKey(port));
  };
  host.IdentifyAll = [roots](const std::vector<std::string>& ports) {
    std::vector<std::string> real;
    for (const std::string& port : ports) {
      if (!TPortRouter::IsSimPortName(port)) real.push_back(port);
    }
    const std::vector<TPortInfo> infos = DescribePorts(real, roots);
    std::vector<TPortIdentity> identities;
    size_t next = 0;
    for (const std::string& port : ports) {
      const bool sim = TPortRouter::IsSimPortName(port);
      identities.push_back(sim ? PortIdentityOf({}, port)
                               : PortIdentityOf(infos[next++], CanonicalPortKey(port)));
    }
    return identities;
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
