#include "cli/uCliOptions.h"

#include <cctype>

namespace {

struct TOptionDef {
  const char* Name;
  bool TakesValue;
  bool UpdateOnly;  // else update and info
};

const TOptionDef kOptions[] = {
    {"--port", true, false},
    {"--yes", false, true},
    {"--file", true, false},
    {"--no-class-check", false, false},
    {"--clears-measurements", false, true},
    {"--json", false, false},
    {"--max-repeats", true, false},
    {"--sim-class", true, false},
    {"--sim-version", true, false},
    {"--sim-platform", true, false},
    {"--sim-print", true, false},
    {"--sim-pace", true, false},
};

const TOptionDef* FindOption(const std::string& name) {
  for (const TOptionDef& def : kOptions) {
    if (name == def.Name) return &def;
  }
  return nullptr;
}

bool SetOption(const std::string& name, const std::string& value, TCliOptions& o, std::string& error) {
  uint64_t n = 0;
  auto number = [&](uint64_t max) {
    if (ParseCliNumber(value, max, n)) return true;
    error = "invalid value \"" + value + "\" for " + name;
    return false;
  };
  if (name == "--port") {
    if (value.empty()) {
      error = "--port needs a port name";
      return false;
    }
    o.Port = value;
  } else if (name == "--yes") {
    o.Yes = true;
  } else if (name == "--file") {
    if (value.empty()) {
      error = "--file needs a file name";
      return false;
    }
    o.File = value;
  } else if (name == "--no-class-check") {
    o.NoClassCheck = true;
  } else if (name == "--clears-measurements") {
    o.ClearsMeasurements = true;
  } else if (name == "--json") {
    o.Json = true;
  } else if (name == "--max-repeats") {
    if (!number(1000000)) return false;
    o.MaxRepeats = static_cast<int>(n);
  } else {
    // The simulator's settings.
    o.SimOptionGiven = true;
    if (name == "--sim-pace") {
      if (!number(10000000)) return false;
      o.Sim.PaceBaud = static_cast<uint32_t>(n);
      return true;
    }
    if (!number(0xFFFF)) return false;
    if (name == "--sim-class") o.Sim.LoggerClass = static_cast<uint16_t>(n);
    if (name == "--sim-version") o.Sim.LoggerVersion = static_cast<uint16_t>(n);
    if (name == "--sim-platform") o.Sim.Platform = static_cast<uint16_t>(n);
    if (name == "--sim-print") o.Sim.Print = static_cast<uint16_t>(n);
  }
  return true;
}

}  // namespace

bool ParseCliNumber(const std::string& text, uint64_t max, uint64_t& value) {
  size_t pos = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    pos = 2;
  }
  if (pos >= text.size() || text.size() - pos > 16) return false;
  uint64_t v = 0;
  for (; pos < text.size(); ++pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    int digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = std::tolower(c) - 'a' + 10;
    } else {
      return false;
    }
    v = v * base + digit;
    if (v > max) return false;
  }
  value = v;
  return true;
}

bool ParseCliOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error) {
  options = TCliOptions{};
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      options.Command = TCliCommand::Help;
      return true;
    }
  }
  if (args.empty()) {
    error = "no command given";
    return false;
  }
  const std::string& command = args[0];
  size_t i = 1;
  if (command == "update") {
    options.Command = TCliCommand::Update;
  } else if (command == "info") {
    options.Command = TCliCommand::Info;
  } else if (command == "images") {
    options.Command = TCliCommand::Images;
  } else if (command == "file-version") {
    options.Command = TCliCommand::FileVersion;
    if (args.size() < 2 || args[1].empty() || args[1].rfind("--", 0) == 0) {
      error = "file-version needs a file name";
      return false;
    }
    options.FileArg = args[1];
    i = 2;
  } else if (command == "ports") {
    options.Command = TCliCommand::Ports;
  } else if (command == "help") {
    options.Command = TCliCommand::Help;
  } else if (command == "--version" || command == "version") {
    options.Command = TCliCommand::Version;
  } else {
    error = "unknown command \"" + command + "\"";
    return false;
  }

  const bool runs = options.Command == TCliCommand::Update || options.Command == TCliCommand::Info;
  for (; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
    const TOptionDef* def = runs ? FindOption(name) : nullptr;
    if (def == nullptr) {
      error = (name.rfind("-", 0) == 0 ? "unknown option \"" : "unexpected argument \"") + args[i] +
              "\" for " + command;
      return false;
    }
    if (def->UpdateOnly && options.Command != TCliCommand::Update) {
      error = std::string(def->Name) + " belongs to update only";
      return false;
    }
    if (def->TakesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        error = std::string(def->Name) + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!def->TakesValue && inlineValue) {
      error = std::string(def->Name) + " takes no value";
      return false;
    }
    if (!SetOption(name, value, options, error)) return false;
  }

  if (runs) {
    if (options.Port.empty()) {
      error = command + " needs --port PORT";
      return false;
    }
    if (options.SimOptionGiven && !TPortRouter::IsSimPortName(options.Port)) {
      error = "the --sim- options need --port sim (or sim1 to sim99)";
      return false;
    }
  }
  return true;
}

std::string CliHelpText() {
  return R"(Usage:
  pellory-cli update --port PORT [--yes] [--file FILE] [--no-class-check]
                     [--clears-measurements] [--json] [--max-repeats N] [sim options]
  pellory-cli info --port PORT [--file FILE] [--no-class-check] [--json] [--max-repeats N] [sim options]
  pellory-cli station (--port PORT... | --all | --watch [--all]) [--yes] [--max-repeats N] [--file FILE]
                      [--json] [--log-dir DIR] [--summary FILE] [--dev-root DIR] [sim options]
  pellory-cli images
  pellory-cli file-version FILE
  pellory-cli ports
  pellory-cli --help | --version

Commands:
  update        update the SD-card controller of the logger on PORT
  info          identify logger and controller and choose the image, then stop ("Only read update info!")
  station       update many loggers at once, or each one plugged in (--watch); see 'station --help'
  images        the firmware images this program carries
  file-version  the header of an image file
  ports         the serial ports a logger may be on

Options:
  --port PORT            the serial port; "sim" (or sim1 to sim99) is the built-in simulated logger
  --yes                  answer Yes to the question before the update (needed without a terminal)
  --clears-measurements  the update clears the logger's measurements (asks that question instead)
  --file FILE            update from an image file (internal mode only)
  --no-class-check       choose the image by platform, print and bootloader alone (internal mode only)
  --json                 one JSON object per worker event instead of the report lines
  --max-repeats N        at most N repeats in a row after communication or programming failures
                         (default: no limit; Ctrl-C cancels)

Options of the simulated logger (--port sim, sim1 ... sim99):
  --sim-class N     logger class (default 0x6605)
  --sim-version N   logger version (default 0x0700)
  --sim-platform N  controller platform (default 25)
  --sim-print N     controller print (default 52)
  --sim-pace BAUD   cost every frame the byte time of BAUD (default 0: no pacing)

Output: every report line on standard output as "hh-nn-ss -> text", the result last;
a progress bar on standard error when it is a terminal. Ctrl-C cancels the run.

Exit codes:
  0   success (info: the update info was read)
  1   fatal error (outcome 0 or any unknown outcome)
  2   usage error, refused option or unusable input file; nothing was sent
  3   the question was answered No; nothing was sent
  6   station: at least one run failed or was cancelled (0: every run completed)
  10  serial port not ready          11  serial port read/write error
  20  cancelled                      40  no update for this logger
  41  logger not ready               42  last line wrong
  43  conversion error               47  no matching update
  48  wrong answer from the SD controller
  30  repeats exhausted after communication failures
  44  repeats exhausted after programming failures
)";
}
