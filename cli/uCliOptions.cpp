#include "cli/uCliOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "cli/uStation.h"

namespace {

constexpr const char* kAbout = "pellory-cli: updates the SD-card controller's firmware inside a data logger";

constexpr const char* kRunExitCodes = R"(Exit codes:
  0   success (info: the update info was read)
  1   fatal error (outcome 0 or any unknown outcome)
  2   usage error, refused option or unusable input file; nothing was sent
  3   the question was answered No; nothing was sent
  6   station: at least one run failed or was cancelled
  10  serial port not ready          11  serial port read/write error
  20  cancelled                      40  no update for this logger
  41  logger not ready               42  last line wrong
  43  conversion error               47  no matching update
  48  wrong answer from the SD controller
  30  repeats exhausted after communication failures
  44  repeats exhausted after programming failures
)";

constexpr const char* kOutput = R"(Output: every report line on standard output as "hh-nn-ss -> text", the
result last. When standard error is a terminal, a progress line there shows
the time taken, an estimate of the time left and the image being written;
when standard output is the terminal too, it takes the place of the
"Progress N%" lines. Ctrl-C cancels the run.
)";

constexpr const char* kPlainExitCodes = R"(Exit codes:
  0   success
  2   usage error or unusable input file
)";

constexpr const char* kLatencyExitCodes = R"(Exit codes:
  0   every port shown or set
  1   the system refused to set a timer for another reason
  2   usage error
  4   a port has no adapter latency timer (no such port, a CDC-ACM device,
      a pseudo-terminal, the simulated logger)
  5   not permitted to set a timer, or the elevation was declined
  7   set, but the adapter takes it only when plugged in again (Windows)
With several ports the first that applies of 1, 5, 4, 7.
)";

// Decimal or 0x hex within 0..max, handed on in decimal so that CLI11's own conversion (which would
// read a leading 0 as octal) sees nothing else.
CLI::Validator Number(uint64_t max) {
  return CLI::Validator(
      [max](std::string& text) {
        uint64_t value = 0;
        if (!ParseCliNumber(text, max, value)) {
          return "invalid value \"" + text + "\", expected 0 to " + std::to_string(max) +
                 " (decimal, or hex with 0x)";
        }
        text = std::to_string(value);
        return std::string();
      },
      "", "number");
}

// A test's fault for the simulated logger on one port: "sim3:identity=5" (the controller refuses the
// identity request with that status), "sim3:vanish=N" (the port is gone after N frames), "sim3:silent=N"
// (the logger stops answering). False for any other text.
bool ApplySimFault(const std::string& fault, const std::string& port, TSimFaults& faults) {
  const size_t colon = fault.find(':');
  const size_t equals = fault.find('=', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || equals == std::string::npos) return false;
  const std::string name = fault.substr(colon + 1, equals - colon - 1);
  uint64_t n = 0;
  if (!ParseCliNumber(fault.substr(equals + 1), name == "identity" ? 0xFF : 0xFFFFFFFF, n)) return false;
  const bool here = fault.compare(0, colon, port) == 0 && colon == port.size();
  if (name == "identity") {
    if (here) faults.IdentityRequestStatus = static_cast<uint8_t>(n);
  } else if (name == "vanish") {
    if (here) faults.VanishAfterFrames = static_cast<uint32_t>(n);
  } else if (name == "silent") {
    if (here) faults.SilentAfterFrames = static_cast<uint32_t>(n);
  } else {
    return false;
  }
  return true;
}

// The options of update and info; `update` adds those that only an update uses.
void AddRunOptions(CLI::App& sub, TCliOptions& o, bool update) {
  CLI::Option* port =
      sub.add_option("--port", o.Port, "the serial port, or \"sim\" (sim1 to sim99): a simulated logger")
          ->type_name("PORT")
          ->required();
  CLI::Option* yes = nullptr;
  CLI::Option* clears = nullptr;
  if (update) {
    yes = sub.add_flag("--yes", o.Yes, "answer Yes to the question (needed with no terminal)");
    clears = sub.add_flag("--clears-measurements", o.ClearsMeasurements,
                          "the update clears the logger's measurements");
  } else {
    // Known here only to be refused by name rather than as unknown.
    yes = sub.add_flag("--yes")->group("");
    clears = sub.add_flag("--clears-measurements")->group("");
  }
  CLI::Option* file =
      sub.add_option("--file", o.File, "update from an image file (internal mode only)")->type_name("FILE");
  sub.add_flag("--no-class-check", o.NoClassCheck, "skip the class check (internal mode only)");
  sub.add_flag("--json", o.Json, "one JSON object per worker event, no report lines");
  sub.add_option("--max-repeats", o.MaxRepeats, "at most N repeats in a row (default: no limit)")
      ->type_name("N")
      ->transform(Number(1000000));

  const std::string simGroup = "Options of the simulated logger (--port sim)";
  const std::vector<CLI::Option*> sim = {
      sub.add_option("--sim-class", o.Sim.LoggerClass, "logger class (default 0x6605)")
          ->type_name("N")
          ->transform(Number(0xFFFF))
          ->group(simGroup),
      sub.add_option("--sim-version", o.Sim.LoggerVersion, "logger version (default 0x0700)")
          ->type_name("N")
          ->transform(Number(0xFFFF))
          ->group(simGroup),
      sub.add_option("--sim-platform", o.Sim.Platform, "controller platform (default 25)")
          ->type_name("N")
          ->transform(Number(0xFFFF))
          ->group(simGroup),
      sub.add_option("--sim-print", o.Sim.Print, "controller print (default 52)")
          ->type_name("N")
          ->transform(Number(0xFFFF))
          ->group(simGroup),
      sub.add_option("--sim-pace", o.Sim.PaceBaud, "pace every frame as at BAUD (default 0: unpaced)")
          ->type_name("BAUD")
          ->transform(Number(10000000))
          ->group(simGroup),
      sub.add_option("--sim-latency-ms", o.Sim.LatencyMs,
                     "hold every answer N ms, as a USB adapter's latency timer (default 0)")
          ->type_name("N")
          ->transform(Number(255))
          ->group(simGroup),
  };

  // Not listed: the station's tests give every simulated run the same options, each fault naming its port.
  CLI::Option* faults = sub.add_option("--sim-fault", o.SimFaults)
                            ->group("")
                            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

  sub.callback([&o, update, port, yes, clears, file, sim, faults] {
    o.Command = update ? TCliCommand::Update : TCliCommand::Info;
    if (port->count() > 0 && o.Port.empty()) throw CLI::ValidationError("--port needs a port name");
    if (file->count() > 0 && o.File.empty()) throw CLI::ValidationError("--file needs a file name");
    if (!update && yes->count() > 0) throw CLI::ValidationError("--yes belongs to update only");
    if (!update && clears->count() > 0) {
      throw CLI::ValidationError("--clears-measurements belongs to update only");
    }
    for (const CLI::Option* opt : sim) o.SimOptionGiven = o.SimOptionGiven || opt->count() > 0;
    o.SimOptionGiven = o.SimOptionGiven || faults->count() > 0;
    for (const std::string& fault : o.SimFaults) {
      if (!ApplySimFault(fault, o.Port, o.Sim.Faults))
        throw CLI::ValidationError("invalid --sim-fault " + fault);
    }
    if (o.SimOptionGiven && !TPortRouter::IsSimPortName(o.Port)) {
      throw CLI::ValidationError("the --sim- options need --port sim (or sim1 to sim99)");
    }
  });
}

// CLI11 names the arguments it did not expect in no useful order; name the first as given.
std::string ExtrasMessage(const CLI::App& app, const std::vector<std::string>& args,
                          const std::string& fallback) {
  const std::vector<std::string> left = app.remaining(true);
  const auto first = std::find_first_of(args.begin(), args.end(), left.begin(), left.end());
  if (first == args.end()) return fallback;
  const auto commands = app.get_subcommands();
  if (commands.empty() && first->rfind('-', 0) != 0) return "unknown command \"" + *first + "\"";
  const std::string where = commands.empty() ? "" : " for " + commands.front()->get_name();
  return (first->rfind('-', 0) == 0 ? "unknown option \"" : "unexpected argument \"") + *first + "\"" + where;
}

// CLI11 ends the help with a line feed of its own after the footer.
std::string Footer(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string OneLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

void BuildCliApp(CLI::App& app, TCliOptions& o) {
  // Inherited by every command: '/' starts no option on Windows either (a port or file name may), a flag
  // takes no value, and an option given twice keeps its last value.
  app.allow_windows_style_options(false);
  app.option_defaults()->disable_flag_override()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(0, 1);
  app.get_formatter()->column_width(26);
  // The latency command's own codes with the others, in order.
  std::string exitCodes = kRunExitCodes;
  const std::string stationLine = "  6   station: at least one run failed or was cancelled\n";
  exitCodes.insert(exitCodes.find(stationLine),
                   "  4   latency: a port has no adapter latency timer\n"
                   "  5   latency, station-setup: not permitted, or the elevation was declined\n");
  exitCodes.insert(exitCodes.find(stationLine) + stationLine.size(),
                   "  7   latency: set, but taken only when the adapter is plugged in again\n"
                   "  8   station: the runs have ended, but rows of the summary still wait\n"
                   "  9   station-setup: nothing to set up here\n");
  app.footer(Footer(std::string("Run 'pellory-cli COMMAND --help' for the options of a command.\n\n") +
                    kOutput + "\n" + exitCodes));
  CLI::Option* version = app.add_flag("--version")->description("print the program's version and exit");

  CLI::App* update = app.add_subcommand("update", "update the SD-card controller of the logger on PORT");
  AddRunOptions(*update, o, true);
  update->footer(Footer(std::string(kOutput) + "\n" + kRunExitCodes));

  CLI::App* info = app.add_subcommand("info", "identify logger and controller, choose the image");
  AddRunOptions(*info, o, false);
  info->footer(Footer(kRunExitCodes));

  app.add_subcommand("images", "the firmware images this program carries")
      ->footer(Footer(kPlainExitCodes))
      ->callback([&o] { o.Command = TCliCommand::Images; });

  CLI::App* fileVersion = app.add_subcommand("file-version", "the header of an image file");
  fileVersion->add_option("FILE", o.FileArg, "the image file")->required();
  fileVersion->footer(Footer(kPlainExitCodes))->callback([&o] {
    if (o.FileArg.empty()) throw CLI::ValidationError("file-version needs a file name");
    o.Command = TCliCommand::FileVersion;
  });

  CLI::App* ports =
      app.add_subcommand("ports", "the serial ports a logger may be on: names, USB identity, driver, access");
  ports->add_flag("--json", o.Json, "the ports as one JSON array");
  ports->footer(Footer(kPlainExitCodes))->callback([&o] { o.Command = TCliCommand::Ports; });

  CLI::App* latency = app.add_subcommand(
      "latency", "the USB adapters' latency timers of the ports, shown or set (1 ms: twice as fast)");
  // Every port counts, whatever the program's default for options given twice.
  latency->add_option("PORT", o.Latency.Ports, "a serial port; several may be given")
      ->type_name("PORT")
      ->required()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  CLI::Option* set = latency->add_option("--set", o.Latency.SetMs, "set each timer to N ms (1 to 255)")
                         ->type_name("N")
                         ->transform(Number(255));
  latency->add_flag("--json", o.Json, "the ports and their timers as one JSON array");
  // For the copy this command starts with administrator rights (Windows).
  latency->add_option("--result-file", o.Latency.ResultFile)->group("");
  // The window that starts this command (the station window): its elevation prompt's owner.
  latency->add_option("--owner-window", o.Latency.OwnerWindow)->group("");
  latency->footer(Footer(kLatencyExitCodes))->callback([&o, set] {
    if (set->count() > 0 && o.Latency.SetMs == 0) throw CLI::ValidationError("--set takes 1 to 255 (ms)");
    for (const std::string& port : o.Latency.Ports) {
      if (port.empty()) throw CLI::ValidationError("latency needs port names, not an empty one");
    }
    o.Command = TCliCommand::Latency;
  });

  CLI::App* station = app.add_subcommand("station", "update many loggers at once, or each one plugged in");
  AddStationOptions(*station, o.Station);
  station->callback([&o] { o.Command = TCliCommand::Station; });

  CLI::App* setup = app.add_subcommand(
      "station-setup",
      "Windows: one COM port and latency timer per USB socket for every logger (once per PC)");
  AddStationSetupOptions(*setup, o.StationSetup, o.Json);
  setup->callback([&o] { o.Command = TCliCommand::StationSetup; });

  // Words some users type for the options; not listed.
  app.add_subcommand("help")->group("")->callback([&o] { o.Command = TCliCommand::Help; });
  app.add_subcommand("version")->group("")->callback([&o] { o.Command = TCliCommand::Version; });

  // The program's own checks run after every command's.
  app.callback([&o, version] {
    if (version->count() > 0) {
      if (o.Command != TCliCommand::None) throw CLI::ValidationError("--version takes no command");
      o.Command = TCliCommand::Version;
    }
    if (o.Command == TCliCommand::None) throw CLI::ValidationError("no command given");
  });
}

bool ParseCliOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error) {
  options = TCliOptions{};
  CLI::App app(kAbout, "pellory-cli");
  BuildCliApp(app, options);
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    // The help of the command it follows, else the program's.
    options.Command = TCliCommand::Help;
    options.HelpText = app.help();
    return true;
  } catch (const CLI::ExtrasError& e) {
    error = ExtrasMessage(app, args, OneLine(e.what()));
    return false;
  } catch (const CLI::ArgumentMismatch& e) {
    // CLI11 names a flag given a value without its dashes.
    const std::string what = e.what();
    const size_t end = what.find(" was given a disallowed flag override");
    error = end == std::string::npos ? OneLine(what) : "--" + what.substr(0, end) + " takes no value";
    return false;
  } catch (const CLI::ParseError& e) {
    error = OneLine(e.what());
    return false;
  }
  if (options.Command == TCliCommand::Help) options.HelpText = CliHelpText();
  return true;
}

std::string CliHelpText() {
  TCliOptions options;
  CLI::App app(kAbout, "pellory-cli");
  BuildCliApp(app, options);
  return app.help();
}
