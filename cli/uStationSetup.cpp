#include "cli/uStationSetup.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>
#include <ostream>

#include "station/uStationSys.h"
#include "station/uText.h"
#include "station/uUsbFlags.h"

namespace {

constexpr const char* kSetupExitCodes = R"(Exit codes:
  0   every flag set (or removed, or as asked already)
  1   the system refused to change a flag for another reason
  2   usage error
  5   not permitted, or the elevation was declined
  9   nothing to set up: not Windows, or no FTDI-type adapter listed and
      no --vid-pid given
)";

// The ids to set: those given, else those of the ports whose driver has a latency timer (FTDI's and its
// like), each once.
std::vector<TUsbId> SetupIds(const TStationSetupOptions& o, const TCliHost& host) {
  std::vector<TUsbId> ids;
  auto add = [&ids](TUsbId id) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  };
  for (const std::string& text : o.VidPids) {
    TUsbId id;
    if (ParseUsbId(text, id)) add(id);
  }
  if (!o.VidPids.empty()) return ids;
  const std::vector<TPortInfo> ports = host.ListPorts ? host.ListPorts() : ListPortInfo(host.Roots);
  for (const TPortInfo& port : ports) {
    TUsbId id;
    if (port.LatencyMs >= 0 && ParseUsbId(port.UsbId, id)) add(id);
  }
  return ids;
}

}  // namespace

void AddStationSetupOptions(CLI::App& sub, TStationSetupOptions& o, bool& json) {
  sub.add_option("--vid-pid", o.VidPids,
                 "an adapter's USB ids (repeatable; default: the FTDI-type ports' now)")
      ->type_name("VVVV:PPPP")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(CLI::Validator(
          [](std::string& text) {
            TUsbId id;
            return ParseUsbId(text, id)
                       ? std::string()
                       : "invalid value \"" + text + "\", expected VVVV:PPPP (four hex digits each)";
          },
          "", "vid-pid"));
  sub.add_flag("--undo", o.Undo, "remove the flags again");
  sub.add_flag("--json", json, "the outcome as one JSON array");
  // For the copy this command starts with administrator rights, and the window that starts this command.
  sub.add_option("--result-file", o.ResultFile)->group("");
  sub.add_option("--owner-window", o.OwnerWindow)->group("");
  std::string footer = kSetupExitCodes;
  footer.pop_back();  // CLI11 ends the help with a line feed of its own
  sub.footer(footer);
}

int RunStationSetup(const TStationSetupOptions& o, bool json, TCliIo& io, const TCliHost& host) {
  std::unique_ptr<IUsbFlags> own;
  IUsbFlags* flags = host.UsbFlags;
  if (flags == nullptr) {
    TUsbFlagsEnv env;
    env.OwnerWindow = o.OwnerWindow;
    own = PlatformUsbFlags(env);
    flags = own.get();
  }
  if (!flags->Available()) {
    io.Err << kProgram
           << ": there is nothing to set up on this system: a USB serial port's name in /dev/serial/by-path "
              "follows its socket already, and a udev rule keeps an adapter's latency timer (see "
              "pellory-cli latency PORT --set 1).\n";
    if (json) io.Out << "[]\n";  // still one array for a reader of --json
    return kExitNothingToSetUp;
  }
  const std::vector<TUsbId> ids = SetupIds(o, host);
  if (ids.empty()) {
    io.Err << kProgram
           << ": no FTDI-type adapter is listed now (none whose driver has a latency timer): plug one in, or "
              "name its USB ids with --vid-pid VVVV:PPPP.\n";
    if (json) io.Out << "[]\n";
    return kExitNothingToSetUp;
  }
  // The copy started with administrator rights asks for them no more.
  const bool elevatedCopy = !o.ResultFile.empty();
  auto onElevate = [&io, json] {
    if (json) return;
    io.Err
        << kProgram
        << ": changing HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\UsbFlags needs administrator "
           "rights; asking for them once.\n"
        << std::flush;
  };
  const std::vector<TSetupResult> results = ApplyUsbFlags(*flags, ids, o.Undo, !elevatedCopy, onElevate);
  if (elevatedCopy) {
    std::string error;
    if (!WriteIntoOwnFile(o.ResultFile, SetupResultsJson(results), error)) {
      io.Err << kProgram << ": the results were not written: " << TerminalSafe(error) << '\n';
      return kExitFatal;
    }
  }
  if (json) {
    io.Out << SetupResultsJson(results);
  } else {
    for (const std::string& line : SetupResultLines(results)) io.Out << line << '\n';
  }
  return SetupExitCode(results);
}
