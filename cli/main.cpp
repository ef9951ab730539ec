// pellory-cli: the update of the SD-card controller from the command line, on the worker of the window.
#include <chrono>
#include <iostream>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "station/uPortInfo.h"
#include "station/uProcess.h"
#include "cli/uStation.h"
#include "ui/uInternalMode.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const bool station = !args.empty() && args[0] == "station";
  if (station) {
    InstallStationInterruptHandler();
    EnableTerminalRedraw();
  } else {
    InstallInterruptHandler();
  }
  TCliIo io{std::cout,
            std::cerr,
            std::cin,
            IsTerminal(TStdStream::In),
            IsTerminal(TStdStream::Out),
            IsTerminal(TStdStream::Err),
            TerminalColumns(TStdStream::Err)};
  TCliHost host;
  host.InternalMode = ReadInternalMode();
  host.Clock = &RealClock();
  host.RealPorts = &PlatformPortOps();
  host.WorkerClass = CreateCliWorker;
  host.CancelOnStdin = CancelOnStdin;
  std::unique_ptr<IProcesses> processes;
  TStationHost stationHost;
  if (station) {
    processes = CreatePlatformProcesses();
    stationHost.Processes = processes.get();
    stationHost.Program = SelfExecutablePath();
    stationHost.ListPorts = [](const std::string& devRoot) { return ListSerialPortsIn(devRoot); };
    stationHost.PortKey = [](const std::string& port) {
      return TPortRouter::IsSimPortName(port) ? port : CanonicalPortKey(port);
    };
    stationHost.NowMs = [] {
      return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
    };
    stationHost.InternalMode = host.InternalMode;
    host.Station = &stationHost;
  }
  return CliMain(args, io, host);
}
