// pellory-cli: the update of the SD-card controller from the command line, on the worker of the window.
#include <iostream>

#include "cli/uCliApp.h"
#include "cli/uCliPlatform.h"
#include "ui/uInternalMode.h"

int main(int argc, char** argv) {
  InstallInterruptHandler();
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
  const std::vector<std::string> args(argv + 1, argv + argc);
  return CliMain(args, io, host);
}
