#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "cli/uCliApp.h"
#include "cli/uCliOptions.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "station/uUsbFlags.h"
#include "tests/support/uFakePortOps.h"
#include "tests/support/uVirtualClock.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct TCliResult {
  int Exit = -1;
  std::string Out;
  std::string Err;
  std::vector<std::string> Lines;  // of Out
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t Count(const std::vector<std::string>& lines, const std::string& part) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.find(part) != std::string::npos;
  return n;
}

bool HasControlCharacters(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n') return true;
  }
  return false;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CliInterrupted = false;
    CancelRequested = false;
    SelectedImage = -1;
    host.Clock = &clock;
    host.RealPorts = &PlatformPortOps();
    dir = std::filesystem::temp_directory_path() /
          ("pellory_cli_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    CliInterrupted = false;
    CancelRequested = false;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  TCliResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream in(input);
    TCliIo io{out, err, in, stdinTty, stdoutTty, stderrTty, errColumns};
    TCliResult r;
    r.Exit = CliMain(args, io, host);
    r.Out = out.str();
    r.Err = err.str();
    r.Lines = SplitLines(r.Out);
    return r;
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  TVirtualClock clock;
  TCliHost host;
  bool stdinTty = false;
  bool stdoutTty = false;
  bool stderrTty = false;
  int errColumns = 0;
  std::filesystem::path dir;
};

const std::regex kReportLine(R"(\d\d-\d\d-\d\d -> .*)");

TEST_F(CliTest, UsageErrorsExitTwoAndSayWhat) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"flash"},
      {"update"},
      {"update", "--port"},
      {"update", "--port", ""},
      {"update", "--port", "sim", "--bogus"},
      {"update", "--port", "sim", "extra"},
      {"update", "--port", "sim", "/yes"},  // no Windows-style options, on Windows either
      {"update", "--port", "sim", "--max-repeats", "-1"},
      {"update", "--port", "sim", "--max-repeats", "two"},
      {"update", "--port", "COM3", "--sim-class", "1"},
      {"update", "--port", "sim", "--sim-class", "0x10000"},
      {"update", "--port", "sim", "--yes=1"},
      {"info", "--port", "sim", "--yes"},
      {"info", "--port", "sim", "--clears-measurements"},
      {"images", "--port", "sim"},
      {"ports", "x"},
      {"file-version"},
      {"file-version", "a", "b"},
      {"info", "--port", "sim", "--sim-latency-ms", "256"},
      {"latency"},
      {"latency", "sim", "--set", "0"},
      {"latency", "sim", "--set", "256"},
      {"station-setup", "--vid-pid", "0403-6001"},
      {"station-setup", "--vid-pid"},
      {"station-setup", "0403:6001"},
  };
  for (const auto& args : bad) {
    const TCliResult r = Run(args);
    EXPECT_EQ(r.Exit, 2) << ::testing::PrintToString(args);
    // One line of reason, one pointing to the help.
    EXPECT_EQ(r.Err.rfind("pellory-cli: ", 0), 0u) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 2) << r.Err;
    EXPECT_THAT(r.Err, ::testing::EndsWith("\nTry 'pellory-cli --help'.\n"));
    EXPECT_EQ(r.Out, "");
  }
  EXPECT_THAT(Run({"update", "--port", "sim", "--yes=1"}).Err, HasSubstr("--yes takes no value"));
  EXPECT_THAT(Run({"info", "--port", "sim", "--yes"}).Err, HasSubstr("--yes belongs to update only"));
  EXPECT_THAT(Run({"images", "--port", "sim"}).Err, HasSubstr("unknown option \"--port\" for images"));
  EXPECT_THAT(Run({"flash"}).Err, HasSubstr("unknown command \"flash\""));
  TCliOptions o;
  std::string error;
  // A leading zero is still decimal; a repeated option keeps its last value.
  ASSERT_TRUE(
      ParseCliOptions({"update", "--port=COM3", "--port=sim", "--sim-class", "0x6601", "--sim-version=1536",
                       "--sim-print", "010", "--max-repeats", "3", "--json", "--yes"},
                      o, error))
      << error;
  EXPECT_EQ(o.Command, TCliCommand::Update);
  EXPECT_EQ(o.Port, "sim");
  EXPECT_EQ(o.Sim.Print, 10);
  EXPECT_EQ(o.Sim.LoggerClass, 0x6601);
  EXPECT_EQ(o.Sim.LoggerVersion, 0x0600);
  EXPECT_EQ(o.MaxRepeats, 3);
  EXPECT_TRUE(o.Json && o.Yes);
}

// The station's tests hand every simulated run the same options; each fault names the port it is for.
TEST_F(CliTest, ASimulatedFaultAppliesOnlyToTheLoggerItNames) {
  TCliOptions o;
  std::string error;
  const std::vector<std::string> faults = {"--sim-fault", "sim3:identity=5", "--sim-fault",
                                           "sim4:vanish=0x20"};
  for (const char* port : {"sim3", "sim4", "sim"}) {
    std::vector<std::string> args = {"update", "--port", port};
    args.insert(args.end(), faults.begin(), faults.end());
    ASSERT_TRUE(ParseCliOptions(args, o, error)) << error;
    EXPECT_EQ(o.Sim.Faults.IdentityRequestStatus, std::string(port) == "sim3" ? 5 : 0) << port;
    EXPECT_EQ(o.Sim.Faults.VanishAfterFrames, std::string(port) == "sim4" ? 32u : 0u) << port;
  }
  EXPECT_FALSE(ParseCliOptions({"update", "--port", "sim3", "--sim-fault", "sim3:melt=1"}, o, error));
  EXPECT_FALSE(ParseCliOptions({"update", "--port", "sim3", "--sim-fault", "sim3:identity=256"}, o, error));
  EXPECT_FALSE(ParseCliOptions({"update", "--port", "COM3", "--sim-fault", "COM3:identity=5"}, o, error));
  EXPECT_THAT(CliHelpText() + Run({"update", "--help"}).Out, Not(HasSubstr("--sim-fault")));
}

TEST_F(CliTest, HelpListsTheExitCodesAndVersionNamesTheProgram) {
  const TCliResult help = Run({"update", "--help"});
  EXPECT_EQ(help.Exit, 0);
  for (const char* part :
       {"Exit codes:", "usage error", "30  repeats exhausted", "44  repeats exhausted", "--yes"}) {
    EXPECT_THAT(help.Out, HasSubstr(part));
  }
  // Each command's help is its own; the program's lists the commands and the exit codes.
  const TCliResult images = Run({"images", "--help"});
  EXPECT_EQ(images.Exit, 0);
  EXPECT_THAT(images.Out, HasSubstr("Usage: pellory-cli images"));
  EXPECT_THAT(images.Out, Not(HasSubstr("--port")));
  const TCliResult top = Run({"--help"});
  for (const char* part :
       {"  update  ", "  file-version  ", "  latency  ", "  5   latency, station-setup: not permitted",
        "  station-setup  ", "  9   station-setup: nothing to set up here",
        "  44  repeats exhausted after programming failures"})
    EXPECT_THAT(top.Out, HasSubstr(part));
  EXPECT_THAT(top.Out, Not(HasSubstr("--sim-pace")));
  const TCliResult version = Run({"--version"});
  EXPECT_EQ(version.Exit, 0);
  EXPECT_THAT(version.Out, HasSubstr("pellory-cli "));
}

TEST_F(CliTest, UpdateOnTheSimulatedLoggerReportsEveryStepAndSucceeds) {
  const TCliResult r = Run({"update", "--port", "sim", "--yes"});
  EXPECT_EQ(r.Exit, 0) << r.Out << r.Err;
  ASSERT_GE(r.Lines.size(), 10u);
  EXPECT_EQ(r.Lines.front().substr(8), " -> Start at serial port \"sim\"");
  for (size_t i = 0; i + 1 < r.Lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(r.Lines[i], kReportLine)) << r.Lines[i];
  for (const char* part :
       {"-> Class 26117 [", "-> Version 7.0", "-> Platform 25 [", "-> Print 52 [", "-> Update class 26122 [",
        "-> Check SD CARD V4.106, ", "-> Update SD CARD V4.106, ", "-> Progress 98%",
        "-> Update SD CARD V4.106 succesfully completed."}) {
    EXPECT_EQ(Count(r.Lines, part), 1u) << part;
  }
  EXPECT_EQ(r.Lines.back(), "Update SD CARD V4.106 succesfully completed.");
  // Not a terminal: plain lines only, no bar.
  EXPECT_FALSE(HasControlCharacters(r.Out));
  EXPECT_EQ(r.Err, "");
}

TEST_F(CliTest, InfoStopsAfterTheImageChoice) {
  const TCliResult r = Run({"info", "--port", "sim", "--sim-platform", "11", "--sim-print", "17"});
  EXPECT_EQ(r.Exit, 0) << r.Out << r.Err;
  EXPECT_EQ(Count(r.Lines, "-> Check SD CARD V2.102"), 1u);
  EXPECT_EQ(Count(r.Lines, "Progress"), 0u);
  EXPECT_EQ(r.Lines.back(), "Only read update info!");

  // Behind a simulated adapter every answered exchange waits its latency timer once more.
  const uint64_t start = clock.TotalSleptMs();
  EXPECT_EQ(Run({"info", "--port", "sim"}).Exit, 0);
  const uint64_t plain = clock.TotalSleptMs() - start;
  EXPECT_EQ(Run({"info", "--port", "sim", "--sim-latency-ms", "16"}).Exit, 0);
  const uint64_t held = clock.TotalSleptMs() - start - 2 * plain;
  EXPECT_EQ(held, 12u * 16);  // identification, the controller's identity and its three words
}

TEST_F(CliTest, FailedRunsExitWithTheirOutcome) {
  struct TCase {
    std::vector<std::string> Args;
    int Exit;
    std::string Last;
  };
  const std::vector<TCase> cases = {
      {{"--sim-class", "0x1234"}, 40, "Aborted because no update is available for this logger!"},
      {{"--sim-platform", "99"}, 47, "There is no update available or the logger has another update ID!"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args = {"update", "--port", "sim", "--yes"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TCliResult r = Run(args);
    EXPECT_EQ(r.Exit, c.Exit);
    ASSERT_FALSE(r.Lines.empty());
    EXPECT_EQ(r.Lines.back(), c.Last);
  }
  const TCliResult port = Run({"update", "--port", "pellory-no-such-port", "--yes"});
  EXPECT_EQ(port.Exit, 10);
  ASSERT_FALSE(port.Lines.empty());
  EXPECT_EQ(port.Lines.back(), "Aborted because serial port \"pellory-no-such-port\" is not ready!");

  host.SimFaults.IdentityRequestStatus = 5;
  const TCliResult refused = Run({"update", "--port", "sim", "--yes"});
  EXPECT_EQ(refused.Exit, 48);
  EXPECT_EQ(Count(refused.Lines, "[TX 005]"), 1u);
  host.SimFaults = {};

  // A driver fault that is not the link's own: the fatal text, exit 1.
  host.SimFaults.ThrowAfterFrames = 3;
  const TCliResult fatal = Run({"update", "--port", "sim", "--yes"});
  EXPECT_EQ(fatal.Exit, 1);
  ASSERT_FALSE(fatal.Lines.empty());
  EXPECT_EQ(fatal.Lines.back(), "Fatal Exception has occurred!");
}

TEST_F(CliTest, CommunicationRepeatsWaitAndEndAtTheBound) {
  host.SimFaults.SilentAfterFrames = 3;
  const TCliResult r = Run({"update", "--port", "sim", "--yes", "--max-repeats", "2"});
  EXPECT_EQ(r.Exit, 30);
  const std::string text = "Repeat update because communication error!";
  EXPECT_EQ(Count(r.Lines, "-> " + text), 3u);
  EXPECT_EQ(Count(r.Lines, "-> Start at serial port"), 3u);
  EXPECT_EQ(r.Lines.back(), text);
  const std::vector<uint32_t> pauses = clock.Pauses();
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 1500u), 2);
}

TEST_F(CliTest, ProgrammingRepeatsRestartAndEndAtTheBound) {
  host.SimFaults.Register11Status = 0x1A;
  const TCliResult r = Run({"update", "--port", "sim", "--yes", "--max-repeats", "1"});
  EXPECT_EQ(r.Exit, 44);
  EXPECT_EQ(Count(r.Lines, "-> Repeat because programming error!"), 2u);
  EXPECT_EQ(Count(r.Lines, "[TX 31A]"), 10u);
  EXPECT_EQ(r.Lines.back(), "Repeat because programming error!");
  const std::vector<uint32_t> pauses = clock.Pauses();
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 1500u), 0);
}

TEST_F(CliTest, CtrlCCancelsTheRunAlsoAcrossARepeat) {
  // Pressed during the controller's wake-up pause.
  clock.SetSleepHook([](uint32_t ms) {
    if (ms == 2000 && !CliInterrupted) {
      CliInterrupted = true;
      CancelRequested = true;
    }
  });
  const TCliResult r = Run({"update", "--port", "sim", "--yes"});
  EXPECT_EQ(r.Exit, 20);
  EXPECT_EQ(r.Lines.back(), "Process cancelled!");

  // Pressed while the repeat waits: the new run's start must not swallow it.
  CliInterrupted = false;
  host.SimFaults.SilentAfterFrames = 3;
  clock.SetSleepHook([](uint32_t ms) {
    if (ms == 1500 && !CliInterrupted) {
      CliInterrupted = true;
      CancelRequested = true;
    }
  });
  const TCliResult repeat = Run({"update", "--port", "sim", "--yes", "--max-repeats", "5"});
  EXPECT_EQ(repeat.Exit, 20);
  EXPECT_EQ(Count(repeat.Lines, "-> Start at serial port"), 2u);
  EXPECT_EQ(repeat.Lines.back(), "Process cancelled!");
}

TEST_F(CliTest, QuestionsNeedATerminalOrYes) {
  // Normal mode asks whether the measurements were saved.
  const TCliResult refused = Run({"update", "--port", "sim"});
  EXPECT_EQ(refused.Exit, 2);
  EXPECT_THAT(refused.Err,
              HasSubstr("Do you save your measurements ? Do you really continue without saving ?"));
  EXPECT_THAT(refused.Err, HasSubstr("--yes"));
  EXPECT_EQ(refused.Out, "");

  stdinTty = true;
  const TCliResult no = Run({"update", "--port", "sim"}, "n\n");
  EXPECT_EQ(no.Exit, 3);
  EXPECT_THAT(no.Err, HasSubstr("Do you really continue without saving ? [y/N] "));
  EXPECT_EQ(no.Out, "");
  const TCliResult eof = Run({"update", "--port", "sim", "--clears-measurements"}, "");
  EXPECT_EQ(eof.Exit, 3);
  EXPECT_THAT(eof.Err, HasSubstr("This update clears all measurements! Do you really continue ? [y/N] "));
  const TCliResult yes = Run({"update", "--port", "sim"}, "y\n");
  EXPECT_EQ(yes.Exit, 0);

  // Internal mode asks nothing, unless the update clears the measurements.
  stdinTty = false;
  host.InternalMode = true;
  EXPECT_EQ(Run({"update", "--port", "sim"}).Exit, 0);
  EXPECT_EQ(Run({"update", "--port", "sim", "--clears-measurements"}).Exit, 2);
  EXPECT_EQ(Run({"update", "--port", "sim", "--clears-measurements", "--yes"}).Exit, 0);
  EXPECT_EQ(ServiceLevel, 1);
}

TEST_F(CliTest, InternalModeGatesImageFilesAndTheClassCheck) {
  const std::string header =
      "bootloader=2\nbootloader version=1\nclass=1234\nversionH=9\nversionL=1\nplatform=25\nprint=52\n"
      "date=01.01.2025 00:00:00\n";
  const std::string file = WriteFile("image.txt", header + ":00000001FF\n");
  for (const auto& extra : std::vector<std::vector<std::string>>{{"--file", file}, {"--no-class-check"}}) {
    std::vector<std::string> args = {"update", "--port", "sim", "--yes"};
    args.insert(args.end(), extra.begin(), extra.end());
    const TCliResult r = Run(args);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_THAT(r.Err, HasSubstr("internal mode"));
    EXPECT_EQ(r.Out, "");
  }

  host.InternalMode = true;
  // The file's class is not the controller's: only without the class check is it chosen.
  const TCliResult checked = Run({"info", "--port", "sim", "--file", file});
  EXPECT_EQ(checked.Exit, 47);
  EXPECT_EQ(ServiceLevel, 2);
  const TCliResult unchecked = Run({"info", "--port", "sim", "--file", file, "--no-class-check"});
  EXPECT_EQ(unchecked.Exit, 0) << unchecked.Out;
  EXPECT_EQ(Count(unchecked.Lines, "V9.01"), 1u);
  EXPECT_FALSE(CheckClass);
  // The file holds no data line before the end line: the last-line test refuses it.
  const TCliResult update = Run({"update", "--port", "sim", "--file", file, "--no-class-check"});
  EXPECT_EQ(update.Exit, 42);

  const TCliResult missing = Run({"update", "--port", "sim", "--file", (dir / "none.txt").string()});
  EXPECT_EQ(missing.Exit, 2);
  EXPECT_THAT(missing.Err, HasSubstr("pellory-cli: "));
  EXPECT_EQ(Count(missing.Lines, "Start at serial port"), 0u);
}

TEST_F(CliTest, JsonGivesOneObjectPerEvent) {
  const TCliResult r = Run({"update", "--port", "sim", "--yes", "--json"});
  EXPECT_EQ(r.Exit, 0);
  const std::regex object(R"(\{"code":(\d+),"value":(-?\d+),"text":"([^"\\]|\\.)*","time":"\d\d-\d\d-\d\d")"
                          R"(,"ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"\})");
  ASSERT_GE(r.Lines.size(), 8u);
  for (const std::string& line : r.Lines) EXPECT_TRUE(std::regex_match(line, object)) << line;
  EXPECT_EQ(r.Lines.front().rfind(R"({"code":20,"value":26117,"text":"Class 26117 [)", 0), 0u);
  EXPECT_EQ(
      r.Lines.back().rfind(R"({"code":0,"value":0,"text":"Update SD CARD V4.106 succesfully completed.")", 0),
      0u);

  const TCliResult port = Run({"update", "--port", "no\"such\\port", "--yes", "--json"});
  EXPECT_EQ(port.Exit, 10);
  ASSERT_EQ(port.Lines.size(), 1u);
  EXPECT_EQ(
      port.Lines[0].rfind(
          R"({"code":10,"value":10,"text":"Aborted because serial port \"no\"such\\port\" is not ready!")",
          0),
      0u);

  EXPECT_EQ(JsonEscape("a\"b\\c\n\r\t\x01\x7f"), R"(a\"b\\c\n\r\t\u0001\u007f)");
  EXPECT_EQ(JsonEscape("K\xc3\xa4se \xe2\x82\xac"), "K\xc3\xa4se \xe2\x82\xac");  // UTF-8 stays
  EXPECT_EQ(JsonEscape("\xe4\xc3"), R"(\u00e4\u00c3)");                           // Latin-1 bytes
  EXPECT_EQ(JsonEscape("\xed\xa0\x80"), R"(\u00ed\u00a0\u0080)");                 // a surrogate
}

TEST_F(CliTest, ProgressBarOnlyOnATerminal) {
  stderrTty = true;
  const TCliResult r = Run({"update", "--port", "sim", "--yes"});
  EXPECT_EQ(r.Exit, 0);
  EXPECT_THAT(r.Err, HasSubstr("\r[##############################] 100%"));
  EXPECT_THAT(r.Err, HasSubstr("]  98%"));
  EXPECT_FALSE(HasControlCharacters(r.Out));
  // The bar is gone when the run is over: blanked out, the cursor back at the start of the line.
  ASSERT_EQ(r.Err.back(), '\r');
  const size_t blank = r.Err.rfind('\r', r.Err.size() - 2);
  EXPECT_EQ(r.Err.substr(blank + 1, r.Err.size() - blank - 2).find_first_not_of(' '), std::string::npos);
}

// The progress line as drawn, each state between carriage returns.
std::vector<std::string> BarStates(const std::string& err) {
  std::vector<std::string> states;
  std::istringstream in(err);
  for (std::string part; std::getline(in, part, '\r');) {
    if (part.find('[') != std::string::npos) states.push_back(part);
  }
  return states;
}

TEST_F(CliTest, OnATerminalTheProgressLineTakesThePlaceOfTheProgressReports) {
  stdoutTty = true;
  stderrTty = true;
  const TCliResult r = Run({"update", "--port", "sim", "--yes", "--sim-pace", "9600"});
  EXPECT_EQ(r.Exit, 0);
  EXPECT_EQ(Count(r.Lines, "Progress"), 0u);
  EXPECT_EQ(Count(r.Lines, "-> Update SD CARD V4.106, "), 1u);
  EXPECT_EQ(r.Lines.back(), "Update SD CARD V4.106 succesfully completed.");
  const std::vector<std::string> states = BarStates(r.Err);
  ASSERT_FALSE(states.empty());
  size_t withTimeLeft = 0;
  for (const std::string& s : states) {
    EXPECT_LE(s.size(), 79u) << s;
    withTimeLeft += std::regex_search(s, std::regex(R"(\d:\d\d elapsed, \d+:\d\d left  SD CARD V4\.106)"));
  }
  EXPECT_GT(withTimeLeft, 50u);

  // A narrow terminal keeps the line within it; the image goes first.
  errColumns = 40;
  for (const std::string& s : BarStates(Run({"update", "--port", "sim", "--yes"}).Err)) {
    EXPECT_LE(s.size(), 39u) << s;
    EXPECT_THAT(s, Not(HasSubstr("SD CARD")));
  }

  // Without the bar there is nothing to fold the reports into.
  stderrTty = false;
  EXPECT_EQ(Count(Run({"update", "--port", "sim", "--yes"}).Lines, "-> Progress "), 98u);
}

TEST(CliProgressTest, TimeLeftFollowsThePaceOfTheWritingAndStartsAgainAfterARepeat) {
  TProgressEstimate e;
  e.Start(1000);
  EXPECT_FALSE(e.LeftMs(5000));  // nothing written yet
  e.WriteStarted(5000);
  EXPECT_FALSE(e.LeftMs(9000));  // 0 %: no pace to go by
  e.Progress(33);
  EXPECT_EQ(e.LeftMs(38000), 66000u);  // a third of the lines in 33 s
  EXPECT_EQ(e.LeftMs(49000), 88000u);  // a stalled line makes it longer
  // A repeat writes from the start again; the time taken runs on.
  e.Start(60000);
  e.WriteStarted(60000);
  EXPECT_FALSE(e.LeftMs(61000));
  EXPECT_EQ(e.ElapsedMs(61000), 60000u);
  e.Progress(99);
  EXPECT_FALSE(e.LeftMs(70000));

  EXPECT_EQ(FormatDuration(65999), "1:05");
  EXPECT_EQ(FormatDuration(3722000), "1:02:02");
  const std::string full = ProgressLine(50, 65000, 66000, "SD CARD V4.106", 79);
  EXPECT_EQ(full, "[###############---------------]  50%  1:05 elapsed, 1:06 left  SD CARD V4.106");
  EXPECT_EQ(ProgressLine(50, 65000, 66000, "SD CARD V4.106", 55),
            "[###########------------]  50%  1:05 elapsed, 1:06 left");
  EXPECT_EQ(ProgressLine(50, 65000, 66000, "SD CARD V4.106", 20), " 50%  1:05 elapsed");
}

TEST_F(CliTest, ImagesAndFileVersionPrintTheOverviewTable) {
  const TCliResult images = Run({"images"});
  EXPECT_EQ(images.Exit, 0);
  ASSERT_EQ(images.Lines.size(), 4u);
  EXPECT_EQ(images.Lines[0].rfind("Firmware  Version  Platform", 0), 0u);
  const size_t column = images.Lines[0].find("Version");
  const char* versions[] = {"4.106", "2.102", "1.04"};
  const char* dates[] = {"18.04.2024 11:42:26", "13.12.2022 15:45:48", "24.07.2012 17:19:26"};
  const char* bls[] = {"2.1", "2.1", "2.0"};
  for (int i = 0; i < 3; ++i) {
    const std::string& row = images.Lines[i + 1];
    EXPECT_EQ(row.rfind("SD CARD", 0), 0u) << row;
    EXPECT_EQ(row.find(versions[i]), column) << row;
    EXPECT_THAT(row, HasSubstr(dates[i]));
    EXPECT_EQ(row.substr(row.size() - 3), bls[i]);
  }

  const std::string file =
      WriteFile("f.txt",
                "bootloader=3\nbootloader "
                "version=7\nclass=26122\nversionH=5\nversionL=3\nplatform=25\nprint=52\ndate=today\n");
  const TCliResult version = Run({"file-version", file});
  EXPECT_EQ(version.Exit, 0);
  ASSERT_EQ(version.Lines.size(), 2u);
  EXPECT_THAT(version.Lines[1], HasSubstr("5.03"));
  EXPECT_THAT(version.Lines[1], HasSubstr("today"));
  EXPECT_EQ(version.Lines[1].substr(version.Lines[1].size() - 3), "3.7");

  const TCliResult bad = Run({"file-version", WriteFile("bad.txt", "bootloader=2\nbootloader version=x\n")});
  EXPECT_EQ(bad.Exit, 2);
  EXPECT_EQ(bad.Out, "");
  EXPECT_THAT(bad.Err, HasSubstr("pellory-cli: "));
}

TEST_F(CliTest, PortsListsWhatThePlatformOffersAsTableOrJson) {
  TPortInfo usb;
  usb.Port = "/dev/serial/by-id/usb-FTDI_Logger-if00-port0";
  usb.Kernel = "/dev/ttyUSB0";
  usb.UsbId = "0403:6001";
  usb.Driver = "ftdi_sio";
  usb.Access = 0;
  usb.Group = "dialout";
  usb.LatencyMs = 16;
  TPortInfo plain;
  plain.Port = plain.Kernel = "/dev/ttyACM0";
  host.ListPorts = [&] { return std::vector<TPortInfo>{usb, plain}; };
  const TCliResult r = Run({"ports"});
  EXPECT_EQ(r.Exit, 0);
  ASSERT_EQ(r.Lines.size(), 3u);
  EXPECT_THAT(r.Lines[0], HasSubstr("Port"));
  EXPECT_THAT(r.Lines[0], Not(HasSubstr("Manufacturer")));  // a column nobody fills is left out
  EXPECT_THAT(r.Lines[1], HasSubstr("/dev/ttyUSB0"));
  EXPECT_THAT(r.Lines[1], HasSubstr("16 ms"));
  EXPECT_THAT(r.Lines[1], HasSubstr("no (group dialout)"));
  EXPECT_THAT(r.Lines[2], Not(HasSubstr("/dev/ttyACM0  /dev/ttyACM0")));  // one name, not twice

  const TCliResult json = Run({"ports", "--json"});
  EXPECT_EQ(json.Exit, 0);
  const nlohmann::json array = nlohmann::json::parse(json.Out);
  ASSERT_EQ(array.size(), 2u);
  EXPECT_EQ(array[0]["usb_id"], "0403:6001");
  EXPECT_EQ(array[0]["access"], false);
  EXPECT_EQ(array[0]["latency_timer_ms"], 16);
  EXPECT_TRUE(array[1]["driver"].is_null());

  host.ListPorts = [] { return std::vector<TPortInfo>{}; };
  const TCliResult none = Run({"ports"});
  EXPECT_EQ(none.Exit, 0);
  EXPECT_EQ(none.Out, "");
  EXPECT_THAT(none.Err, HasSubstr("no serial port"));
  EXPECT_EQ(Run({"ports", "--json"}).Out, "[]\n");
}

// The PC's flags, as station-setup asks for them: each id and whether it was to be undone.
class TRecordingFlags : public IUsbFlags {
 public:
  std::vector<std::pair<std::string, bool>> Applied;
  bool Available() const override { return true; }
  bool IgnoresSerial(TUsbId) override { return false; }
  TSetupResult Apply(TUsbId id, bool undo) override {
    Applied.emplace_back(UsbIdText(id), undo);
    return {id, undo ? TSetupOutcome::Removed : TSetupOutcome::Set, {}};
  }
  bool CanElevate() const override { return false; }
  std::vector<TSetupResult> ApplyElevated(const std::vector<TUsbId>&, bool) override { return {}; }
};

TEST_F(CliTest, StationSetupTakesTheIdsOfTheFtdiTypePortsOnceAndSaysWhatItDid) {
  TRecordingFlags flags;
  host.UsbFlags = &flags;
  auto port = [](const std::string& usbId, int latencyMs) {
    TPortInfo p;
    p.Port = "COM" + std::to_string(latencyMs);
    p.UsbId = usbId;
    p.LatencyMs = latencyMs;
    return p;
  };
  // Two adapters of one kind (one already fast), a CDC-ACM logger without a timer, an adapter of another
  // kind.
  std::vector<TPortInfo> listed{port("0403:6001", 16), port("0403:6001", 1), port("1d50:60a1", -1),
                                port("0403:6015", 8), port("garbage", 16)};
  host.ListPorts = [&] { return listed; };
  const TCliResult set = Run({"station-setup"});
  EXPECT_EQ(set.Exit, 0) << set.Err;
  EXPECT_EQ(flags.Applied,
            (std::vector<std::pair<std::string, bool>>{{"0403:6001", false}, {"0403:6015", false}}));
  EXPECT_EQ(set.Lines.at(0), "0403:6001: IgnoreHWSerNum04036001 set.");
  EXPECT_THAT(set.Out, HasSubstr("It applies to devices enumerated from now on"));

  flags.Applied.clear();
  const TCliResult undo =
      Run({"station-setup", "--undo", "--json", "--vid-pid", "1A86:7523", "--vid-pid=1a86:7523"});
  EXPECT_EQ(undo.Exit, 0);
  EXPECT_EQ(flags.Applied, (std::vector<std::pair<std::string, bool>>{{"1a86:7523", true}}));
  const nlohmann::json array = nlohmann::json::parse(undo.Out);
  ASSERT_EQ(array.size(), 1u);
  EXPECT_EQ(array[0]["value"], "IgnoreHWSerNum1A867523");
  EXPECT_EQ(array[0]["outcome"], "removed");

  listed = {port("1d50:60a1", -1)};
  const TCliResult none = Run({"station-setup"});
  EXPECT_EQ(none.Exit, kExitNothingToSetUp);
  EXPECT_THAT(none.Err, HasSubstr("no FTDI-type adapter is listed now"));
  EXPECT_EQ(none.Out, "");
  const TCliResult noneJson = Run({"station-setup", "--json"});
  EXPECT_EQ(noneJson.Exit, kExitNothingToSetUp);
  EXPECT_EQ(noneJson.Out, "[]\n") << "a reader of --json still gets its array";
}

// A port whose open fails with a reason the system gave.
class TRefusingPorts : public TFakePortOps {
 public:
  TPortError Reason;
  TPortError OpenError(const std::string&) override { return Reason; }
};

TEST_F(CliTest, AFailedOpenKeepsItsOutcomeTextAndAddsTheReasonOnStandardError) {
  TRefusingPorts ports;
  ports.SetExistingPorts({"ttyOTHER"});
  ports.Reason = {TPortFailure::Busy, 16};
  host.RealPorts = &ports;
  host.Roots.Proc = (dir / "proc").string();  // no process to name
  const TCliResult busy = Run({"update", "--port", "ttyPELLORY9", "--yes"});
  EXPECT_EQ(busy.Exit, 10);
  ASSERT_FALSE(busy.Lines.empty());
  EXPECT_EQ(busy.Lines.back(), "Aborted because serial port \"ttyPELLORY9\" is not ready!");
  EXPECT_THAT(busy.Err, HasSubstr("pellory-cli: ttyPELLORY9 is busy: another program has it open"));
  EXPECT_THAT(busy.Out, Not(HasSubstr("busy")));

  ports.Reason = {};  // the backend cannot tell: nothing is guessed
  const TCliResult unknown = Run({"update", "--port", "ttyPELLORY9", "--yes"});
  EXPECT_EQ(unknown.Exit, 10);
  EXPECT_EQ(unknown.Err, "");

  ports.SetExistingPorts({});  // opens, then refuses the line settings
  ports.FailOn(TPortOp::Line);
  ports.Reason = {TPortFailure::None, 0};
  const TCliResult settings = Run({"update", "--port", "ttyPELLORY9", "--yes"});
  EXPECT_EQ(settings.Exit, 10);
  EXPECT_THAT(settings.Err, HasSubstr("ttyPELLORY9 opened, but did not take the line settings"));
}

TEST_F(CliTest, OutsideTextReachesTheTerminalEscapedAndJsonKeepsItExactly) {
  // A port name that would clear the screen and turn the rest of the line right to left.
  const std::string port =
      "tty\x1b[2J\xe2\x80\xae"
      "9";
  const std::string shown = "tty\\x1b[2J\\u202e9";
  TRefusingPorts ports;
  ports.SetExistingPorts({"ttyOTHER"});
  ports.Reason = {TPortFailure::Busy, 16};
  host.RealPorts = &ports;
  host.Roots.Proc = (dir / "proc").string();
  auto raw = [](const TCliResult& r) {
    const std::string all = r.Out + r.Err;
    return HasControlCharacters(all) || all.find("\xe2\x80\xae") != std::string::npos;
  };
  const TCliResult update = Run({"update", "--port", port, "--yes"});
  EXPECT_EQ(update.Exit, 10);
  EXPECT_FALSE(raw(update)) << update.Out << update.Err;
  EXPECT_THAT(update.Out, HasSubstr("Start at serial port \"" + shown + "\""));
  EXPECT_EQ(update.Lines.back(), "Aborted because serial port \"" + shown + "\" is not ready!");
  EXPECT_THAT(update.Err, HasSubstr("pellory-cli: " + shown + " is busy"));

  const TCliResult json = Run({"update", "--port", port, "--yes", "--json"});
  EXPECT_FALSE(raw(json)) << json.Out;
  ASSERT_EQ(json.Lines.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(json.Lines[0])["text"],
            "Aborted because serial port \"" + port + "\" is not ready!");
  EXPECT_EQ(JsonEscape("\xc2\x9b"
                       "6n\xe2\x81\xa6"),
            R"(\u009b6n\u2066)");

  EXPECT_FALSE(raw(Run({"update", "--port", "sim", "--colour=\x1b[31m"})));
  const TCliResult version =
      Run({"file-version", WriteFile("v.txt",
                                     "bootloader=2\nbootloader version=1\nclass=26122\n"
                                     "versionH=4\nversionL=1\nplatform=25\nprint=52\n"
                                     "date=\x1b[8mhidden\n")});
  EXPECT_EQ(version.Exit, 0);
  EXPECT_FALSE(raw(version));
  EXPECT_THAT(version.Out, HasSubstr("\\x1b[8mhidden"));
}

}  // namespace
