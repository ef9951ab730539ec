// pellory-cli: the update of the SD-card controller from the command line, on the worker of the window.
#include <iostream>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "run/uInternalMode.h"
#include "station/uProcess.h"
#include "station/uStation.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = ProgramArguments(argc, argv);
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
            TerminalColumns(TStdStream::Err),
            TerminalColumns(TStdStream::Out),
            TerminalRows(TStdStream::Out)};
  io.OutSize = [](int& columns, int& rows) {
    columns = TerminalColumns(TStdStream::Out);
    rows = TerminalRows(TStdStream::Out);
  };
  io.ReadLine = ReadAnswerLine;
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
    stationHost = PlatformStationHost(processes.get());
    host.Station = &stationHost;
    host.StationProgram = SelfExecutablePath();
  }
  return CliMain(args, io, host);
}
