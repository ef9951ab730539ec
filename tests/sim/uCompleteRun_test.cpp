// Complete update runs of the worker against the simulated logger: the frames on the line, the events
// and their texts, the pauses in virtual time, and what the controller holds at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "device/uCommThread.h"
#include "device/uEventTexts.h"
#include "device/uEvents.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "sim/uSimLogger.h"
#include "tests/support/uFakePortOps.h"
#include "tests/support/uVirtualClock.h"

namespace {

using TFrame = std::array<uint8_t, 8>;
using TEvents = std::vector<TWorkerEvent>;
using TProgrammed = std::map<uint16_t, std::array<uint8_t, 64>>;

constexpr uint16_t kUpdateClass = 0x660A;

TFrame Tx(std::initializer_list<uint8_t> first7) {
  TFrame f{};
  std::copy(first7.begin(), first7.end(), f.begin());
  f[7] = SimCrc8(f.data(), 7);
  return f;
}

// The bytes of a HEX line, read here on their own rather than through the codec under test.
std::vector<uint8_t> HexBytes(const std::string& line) {
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 1 < line.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::vector<std::string> ImageLines(int32_t image) {
  const int32_t saved = SelectedImage;
  SelectedImage = image;
  std::vector<std::string> lines;
  for (int32_t i = 0; i <= GetImageLastLine(); ++i) lines.push_back(GetImageLine(i));
  SelectedImage = saved;
  return lines;
}

TBl3FileHeader Header(int32_t image) {
  TBl3FileHeader h;
  GetImageHeader(image, h);
  return h;
}

// The data records of `lines` (the end-of-file line excluded) as a controller should hold them.
TProgrammed DataRecords(const std::vector<std::string>& lines) {
  TProgrammed records;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const auto b = HexBytes(lines[i]);
    if (b.size() != 69 || b[0] != 0x40 || b[3] != 0) continue;
    std::array<uint8_t, 64> data;
    std::copy(b.begin() + 4, b.begin() + 68, data.begin());
    records[static_cast<uint16_t>(b[1] << 8 | b[2])] = data;
  }
  return records;
}

TFrame ResetFrame(uint8_t tunnelCmd) {
  const auto r = TSimLogger::ResetFrameFor(tunnelCmd);
  return Tx({r[0], r[1], r[2], r[3], r[4], r[5], r[6]});
}

// The frames of a complete run in which every record verifies at the first attempt.
std::vector<TFrame> ExpectedFrames(uint8_t t, uint8_t s, const std::vector<std::string>& lines) {
  const uint8_t x = t | 0x80;
  std::vector<TFrame> f;
  auto reg = [&](uint8_t r, uint8_t d0 = 0, uint8_t d1 = 0, uint8_t d2 = 0, uint8_t d3 = 0) {
    f.push_back(Tx({x, s, r, d0, d1, d2, d3}));
  };
  auto command = [&](uint8_t code) {
    reg(0x80, 1, 0, 0, 5);
    reg(0x81, code, 0, 0, 0);
    reg(11, 0, 0, 0, 5);
  };
  f.push_back(TFrame{});
  f.push_back(TFrame{});
  f.push_back(Tx({0x81, 0, 0, 0, 0, 0, 0}));
  reg(0);
  reg(1);
  reg(3);
  reg(2);
  command(32);
  reg(10, 0, 0, 0, 10);
  for (uint8_t w = 0; w < 3; ++w) reg(0x80 + w);
  command(49);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const auto b = HexBytes(lines[i]);
    if (b[0] != 0x40 || b[3] != 0) continue;
    for (int j = 0; j < 17; ++j)
      reg(static_cast<uint8_t>(0x80 + j), b[4 * j], b[4 * j + 1], b[4 * j + 2], b[4 * j + 3]);
    reg(11, 0, 0, 0, 68);
    reg(10, 0, 0, 0, 68);
    for (int j = 0; j < 17; ++j) reg(static_cast<uint8_t>(0x80 + j));
  }
  command(50);
  reg(1);
  f.push_back(ResetFrame(t));
  return f;
}

// Event code 1 for lines 0 .. handled - 1 of an image whose last index is `last`.
TEvents Progress(int32_t handled, int32_t last) {
  TEvents events;
  int32_t shown = 0;
  for (int32_t i = 0; i < handled; ++i) {
    const int32_t percent = std::min(99, i * 99 / last);
    if (percent != shown) events.push_back({evProgress, percent});
    shown = percent;
  }
  return events;
}

TEvents Join(std::initializer_list<TEvents> parts) {
  TEvents all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEvents Repeat(TWorkerEvent ev, int n) {
  return TEvents(static_cast<size_t>(n), ev);
}

TEvents Identified(uint16_t cls = 0x6605, uint16_t ver = 0x0700) {
  return {{evLoggerClass, cls}, {evLoggerVersion, ver}};
}
TEvents Controller(uint16_t platform = 25, uint16_t print = 52) {
  return {{evPlatform, platform}, {evPrint, print}, {evUpdateClass, kUpdateClass}};
}
TEvents Checks(int32_t upTo) {
  TEvents events;
  for (int32_t i = 1; i <= upTo; ++i) events.push_back({evCheckImage, i});
  return events;
}
TWorkerEvent Outcome(int32_t code) {
  return {evFailed, code};
}

const std::vector<uint32_t> kProcedurePauses = {100, 100, 2000, 500, 2000};

void ResetShared() {
  SelectedImage = -1;
  FileHeader = TBl3FileHeader{};
  FileLines.clear();
  ReadInfoOnly = false;
  CheckClass = true;
  CancelRequested = false;
}

// A simulated logger with its port and a virtual clock; runs workers against it one after the other.
class CompleteRun : public ::testing::Test {
 protected:
  void SetUp() override { ResetShared(); }
  void TearDown() override { ResetShared(); }

  void Connect(const TSimConfig& config) {
    FPorts.reset();
    FLogger = std::make_unique<TSimLogger>(config);
    FClock = std::make_unique<TVirtualClock>();
    FPorts = std::make_unique<TSimPortOps>(*FLogger, *FClock);
  }

  // One worker from start to its final event; `ports` defaults to the simulator's port.
  TEvents RunWorker(const std::string& port = "sim", IPortOps* ports = nullptr) {
    TEventQueue queue;
    const TWorkerEnv env{ports != nullptr ? ports : FPorts.get(), FClock.get(), &queue};
    (new TSDCommThread(0, TCmd::tCMD0, port, env))->RunHere();
    TEvents events;
    TWorkerEvent ev;
    while (queue.TryPop(ev)) events.push_back(ev);
    return events;
  }

  TEvents Run(const TSimConfig& config) {
    Connect(config);
    return RunWorker();
  }

  static TSimConfig ConfigFor(int32_t image) {
    TSimConfig config;
    const TBl3FileHeader h = Header(image);
    config.Platform = h.quor_platform;
    config.Print = h.quor_print;
    return config;
  }

  // The events of a complete run on embedded image `image` (found as the `image`-th candidate).
  static TEvents Success(int32_t image, uint16_t cls, uint16_t ver, TEvents beforeFinish = {}) {
    const TBl3FileHeader h = Header(image);
    const int32_t last = GetImageLastLine(image);
    return Join({Identified(cls, ver),
                 Controller(h.quor_platform, h.quor_print),
                 Checks(image),
                 {{evUpdateStart, 0}},
                 Progress(last, last),
                 beforeFinish,
                 {{evCompleted, 0}}});
  }

  bool ResetSent() const {
    const auto& frames = FLogger->Frames();
    return std::find(frames.begin(), frames.end(), ResetFrame(2)) != frames.end() ||
           std::find(frames.begin(), frames.end(), ResetFrame(5)) != frames.end();
  }

  std::unique_ptr<TSimLogger> FLogger;
  std::unique_ptr<TVirtualClock> FClock;
  std::unique_ptr<TSimPortOps> FPorts;
};

// ---------------------------------------------------------------------------------------------------------
// Complete runs through both tunnels

struct TTunnelCase {
  const char* Name;
  uint16_t Class;
  uint16_t Version;
  uint8_t TunnelCmd;
  uint8_t Selector;
  int32_t Image;
};

void PrintTo(const TTunnelCase& c, std::ostream* os) {
  *os << c.Name;
}

class TunnelRun : public CompleteRun, public ::testing::WithParamInterface<TTunnelCase> {};

TEST_P(TunnelRun, FramesEventsPausesAndControllerMatchTheProcedure) {
  const TTunnelCase c = GetParam();
  TSimConfig config = ConfigFor(c.Image);
  config.LoggerClass = c.Class;
  config.LoggerVersion = c.Version;
  const TEvents events = Run(config);
  const auto lines = ImageLines(c.Image);

  EXPECT_EQ(events, Success(c.Image, c.Class, c.Version));
  EXPECT_EQ(EventText(events.back().code, events.back().value, "sim"),
            "Update SD CARD V" + std::to_string(Header(c.Image).quor_verH) + "." +
                (Header(c.Image).quor_verL < 10 ? "0" : "") + std::to_string(Header(c.Image).quor_verL) +
                " succesfully completed.");
  EXPECT_EQ(SelectedImage, c.Image);

  const auto expected = ExpectedFrames(c.TunnelCmd, c.Selector, lines);
  const auto& frames = FLogger->Frames();
  ASSERT_EQ(frames.size(), expected.size());
  for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(frames[i], expected[i]) << "frame " << i;

  EXPECT_EQ(FClock->Pauses(), kProcedurePauses);
  // Where the pauses fall: after each wake, after register 1, after command 50 and before the reset.
  const auto times = FPorts->FrameTimes();
  ASSERT_EQ(times.size(), frames.size());
  std::vector<std::pair<size_t, uint64_t>> gaps;
  for (size_t i = 1; i < times.size(); ++i)
    if (times[i] != times[i - 1]) gaps.push_back({i, times[i] - times[i - 1]});
  const size_t n = frames.size();
  const std::vector<std::pair<size_t, uint64_t>> expectedGaps = {
      {1, 100}, {2, 100}, {5, 2000}, {n - 2, 500}, {n - 1, 2000}};
  EXPECT_EQ(gaps, expectedGaps);

  EXPECT_EQ(FLogger->Programmed(), DataRecords(lines));
  EXPECT_TRUE(FLogger->UpdateFinished());
  EXPECT_TRUE(FLogger->ResetReceived());
  EXPECT_FALSE(FPorts->IsOpen());
  EXPECT_EQ(FPorts->OpenCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Loggers, TunnelRun,
                         ::testing::Values(TTunnelCase{"Class6605", 0x6605, 0x0700, 2, 200, 3},
                                           TTunnelCase{"Class6606", 0x6606, 0x0312, 5, 20, 1},
                                           TTunnelCase{"Class6607", 0x6607, 0x0100, 5, 20, 2},
                                           TTunnelCase{"Class6601Version05FF", 0x6601, 0x05FF, 5, 20, 2},
                                           TTunnelCase{"Class6601Version0600", 0x6601, 0x0600, 2, 200, 3}),
                         [](const ::testing::TestParamInfo<TTunnelCase>& info) {
                           return std::string(info.param.Name);
                         });

// ---------------------------------------------------------------------------------------------------------
// Runs that end in every outcome

struct TFailCase {
  const char* Name;
  std::function<void(TSimConfig&)> Configure;
  std::function<void()> Prepare;  // shared settings and the image file, before the run
  std::function<TEvents()> Events;
  std::string Text;  // of the final event
  int Frames;        // frames written; -1 when not checked
};

void PrintTo(const TFailCase& c, std::ostream* os) {
  *os << c.Name;
}

class FailingRun : public CompleteRun, public ::testing::WithParamInterface<TFailCase> {};

TEST_P(FailingRun, EndsWithItsOutcomeEventsAndTextAndSendsNoReset) {
  const TFailCase& c = GetParam();
  TSimConfig config;
  if (c.Configure) c.Configure(config);
  if (c.Prepare) c.Prepare();
  Connect(config);
  const TEvents expected = c.Events();  // after Prepare: the expected progress may depend on the image file
  const TEvents events = RunWorker();
  EXPECT_EQ(events, expected);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(EventText(events.back().code, events.back().value, "sim"), c.Text);
  EXPECT_FALSE(FLogger->ResetReceived());
  EXPECT_FALSE(ResetSent());
  EXPECT_FALSE(FPorts->IsOpen());
  if (c.Frames >= 0) {
    EXPECT_EQ(FLogger->Frames().size(), static_cast<size_t>(c.Frames));
  }
}

// The file image: image 3's header and lines, changed by `edit`.
std::function<void()> FileImage(std::function<void(std::vector<std::string>&)> edit) {
  return [edit] {
    FileHeader = Header(3);
    FileLines = ImageLines(3);
    edit(FileLines);
    SelectedImage = 0;
  };
}

const int32_t kLast3 = 195;  // last index of embedded image 3

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailingRun,
    ::testing::Values(
        TFailCase{"NotAnEQuor", [](TSimConfig& c) { c.Faults.ThrowAfterFrames = 3; }, nullptr,
                  [] {
                    return Join({Identified(), {Outcome(0)}});
                  },
                  "Fatal Exception has occurred!", 3},
        TFailCase{"PortFailsMidRun", [](TSimConfig& c) { c.Faults.VanishAfterFrames = 10; }, nullptr,
                  [] {
                    return Join({Identified(), {Outcome(11)}});
                  },
                  "Aborted because error when reading/writing to serial port!", 10},
        TFailCase{"Cancelled", nullptr, [] { CancelRequested = true; }, [] { return TEvents{Outcome(20)}; },
                  "Process cancelled!", 0},
        TFailCase{"SilentLogger", [](TSimConfig& c) { c.Faults.SilentAfterFrames = 2; }, nullptr,
                  [] {
                    return TEvents{{evCommFailure, 0}};
                  },
                  "Repeat update because communication error!", 7},
        TFailCase{"CrcAlwaysWrong", [](TSimConfig& c) { c.Faults.BadCrcPpm = 1000000; }, nullptr,
                  [] {
                    return TEvents{{evCommFailure, 0}};
                  },
                  "Repeat update because communication error!", 7},
        TFailCase{"UnknownLoggerClass", [](TSimConfig& c) { c.LoggerClass = 0x6608; }, nullptr,
                  [] {
                    return Join({Identified(0x6608, 0x0700), {Outcome(40)}});
                  },
                  "Aborted because no update is available for this logger!", 3},
        TFailCase{"ProbeBit40", [](TSimConfig& c) { c.Faults.ProbeStatusBits = 0x40; }, nullptr,
                  [] {
                    return Join({Identified(), {Outcome(41)}});
                  },
                  "Aborted because the logger is not ready!", 4},
        TFailCase{"ProbeBit80", [](TSimConfig& c) { c.Faults.ProbeStatusBits = 0x80; }, nullptr,
                  [] {
                    return Join({Identified(), {Outcome(41)}});
                  },
                  "Aborted because the logger is not ready!", 4},
        TFailCase{"ProbeBit20", [](TSimConfig& c) { c.Faults.ProbeStatusBits = 0x20; }, nullptr,
                  [] {
                    return Join({Identified(), {Outcome(41)}});
                  },
                  "Aborted because the logger is not ready!", 4},
        TFailCase{"QuorBitOnFirstAnswer", [](TSimConfig& c) { c.Faults.QuorBitPpm = 1000000; }, nullptr,
                  [] { return TEvents{Outcome(41)}; }, "Aborted because the logger is not ready!", 3},
        TFailCase{"LastLineLowerCase", nullptr, FileImage([](auto& l) { l.back() = ":00000001ff"; }),
                  [] {
                    return Join({Identified(), Controller(), {{evCheckImage, 0}}, {Outcome(42)}});
                  },
                  "Aborted because last line is wrong !", -1},
        TFailCase{"SingleLineImage", nullptr, FileImage([](auto& l) { l = {":00000001FF"}; }),
                  [] {
                    return Join({Identified(), Controller(), {{evCheckImage, 0}}, {Outcome(42)}});
                  },
                  "Aborted because last line is wrong !", -1},
        TFailCase{"BadChecksumAtLine100", nullptr,
                  FileImage([](auto& l) { l[100].back() = l[100].back() == '0' ? '1' : '0'; }),
                  [] {
                    return Join({Identified(),
                                 Controller(),
                                 {{evCheckImage, 0}, {evUpdateStart, 0}},
                                 Progress(100, kLast3),
                                 {{evConversionError, 100}, Outcome(43)}});
                  },
                  "Aborted because conversion error!", -1},
        TFailCase{"ReadBackWrongFiveTimes", [](TSimConfig& c) { c.Faults.ReadBackCorruptions = 5; }, nullptr,
                  [] {
                    return Join({Identified(),
                                 Controller(),
                                 Checks(3),
                                 {{evUpdateStart, 0}},
                                 Repeat({evVerifyError, 0}, 5),
                                 {Outcome(44)}});
                  },
                  "Repeat because programming error!", -1},
        TFailCase{"Register11AlwaysRefused", [](TSimConfig& c) { c.Faults.Register11Status = 0x1A; }, nullptr,
                  [] {
                    return Join({Identified(),
                                 Controller(),
                                 Checks(3),
                                 {{evUpdateStart, 0}},
                                 Repeat({evTxStatus, 0x31A}, 5),
                                 {Outcome(44)}});
                  },
                  "Repeat because programming error!", -1},
        TFailCase{"Register10AlwaysRefused", [](TSimConfig& c) { c.Faults.Register10Status = 0x07; }, nullptr,
                  [] {
                    return Join({Identified(),
                                 Controller(),
                                 Checks(3),
                                 {{evUpdateStart, 0}},
                                 Repeat({evRxStatus, 0x307}, 5),
                                 {Outcome(44)}});
                  },
                  "Repeat because programming error!", -1},
        TFailCase{"Command50AlwaysRefused", [](TSimConfig& c) { c.Faults.Command50Status = 0x1A; }, nullptr,
                  [] {
                    return Join({Identified(),
                                 Controller(),
                                 Checks(3),
                                 {{evUpdateStart, 0}},
                                 Progress(kLast3, kLast3),
                                 Repeat({evTxStatus, 0x41A}, 5),
                                 {Outcome(44)}});
                  },
                  "Repeat because programming error!", -1},
        TFailCase{"NoImageForPlatformAndPrint",
                  [](TSimConfig& c) {
                    c.Platform = 3;
                    c.Print = 17;
                  },
                  nullptr,
                  [] {
                    return Join({Identified(), Controller(3, 17), Checks(3), {Outcome(47)}});
                  },
                  "There is no update available or the logger has another update ID!", -1},
        TFailCase{"UnnamedPlatform", [](TSimConfig& c) { c.Platform = 0x7777; }, nullptr,
                  [] {
                    return Join({Identified(), Controller(0xFFFF, 52), Checks(3), {Outcome(47)}});
                  },
                  "There is no update available or the logger has another update ID!", -1},
        TFailCase{"IdentityRequestRefused", [](TSimConfig& c) { c.Faults.IdentityRequestStatus = 3; },
                  nullptr,
                  [] {
                    return Join({Identified(), {{evTxStatus, 3}, Outcome(48)}});
                  },
                  "Aborted because wrong answer from SD controller!", 10},
        TFailCase{"IdentityAnswerRefused", [](TSimConfig& c) { c.Faults.IdentityAnswerStatus = 0x44; },
                  nullptr,
                  [] {
                    return Join({Identified(), {{evRxStatus, 0x44}, Outcome(48)}});
                  },
                  "Aborted because wrong answer from SD controller!", 11},
        TFailCase{"IdentityWrongLayout", [](TSimConfig& c) { c.Faults.IdentityWrongLayout = true; }, nullptr,
                  [] {
                    return Join({Identified(), {{evRxStatus, 0x100}, Outcome(48)}});
                  },
                  "Aborted because wrong answer from SD controller!", 14},
        TFailCase{"Command49Refused", [](TSimConfig& c) { c.Faults.Command49Status = 5; }, nullptr,
                  [] {
                    return Join({Identified(),
                                 Controller(),
                                 Checks(3),
                                 {{evUpdateStart, 0}, {evTxStatus, 0x205}},
                                 {Outcome(48)}});
                  },
                  "Aborted because wrong answer from SD controller!", 17},
        TFailCase{"ReadInfoOnly", nullptr, [] { ReadInfoOnly = true; },
                  [] {
                    return Join({Identified(), Controller(), Checks(3), {Outcome(70)}});
                  },
                  "Only read update info!", 14}),
    [](const ::testing::TestParamInfo<TFailCase>& info) { return std::string(info.param.Name); });

TEST_F(CompleteRun, WarningTextsNameTheStage) {
  EXPECT_EQ(EventText(evTxStatus, 0x31A, "sim"), "Wrong answer from SD controller [TX 31A] !");
  EXPECT_EQ(EventText(evRxStatus, 0x100, "sim"), "Wrong answer from SD controller [RX 100] !");
  EXPECT_EQ(EventText(evVerifyError, 7, "sim"), "Aborted because programming error at line 7 !");
  EXPECT_EQ(EventText(evConversionError, 100, "sim"), "Aborted because conversion error at line  100 !");
}

TEST_F(CompleteRun, ReadInfoOnlyKeepsTheMatchAndNeverBegins) {
  ReadInfoOnly = true;
  Run(ConfigFor(2));
  EXPECT_EQ(SelectedImage, 2);
  for (const auto& f : FLogger->Frames())
    EXPECT_FALSE(f[2] == 0x81 && f[3] == 49) << "command 49 was written";
  EXPECT_TRUE(FLogger->Programmed().empty());
}

TEST_F(CompleteRun, BadLineStopsAfterTheLinesBeforeItWereProgrammed) {
  FileImage([](auto& l) { l[100].back() = l[100].back() == '0' ? '1' : '0'; })();
  const auto lines = FileLines;
  Run(ConfigFor(3));
  const std::vector<std::string> first100(lines.begin(), lines.begin() + 100);
  auto withEnd = first100;
  withEnd.push_back(":00000001FF");
  EXPECT_EQ(FLogger->Programmed(), DataRecords(withEnd));
  EXPECT_FALSE(FLogger->UpdateFinished());
}

// ---------------------------------------------------------------------------------------------------------
// Port not ready

TEST_F(CompleteRun, PortThatCannotBeOpenedEndsWithOutcome10AndNothingSent) {
  Connect(ConfigFor(3));
  const TPortHandle other = FPorts->Open("sim");  // someone else holds the port
  ASSERT_NE(other, kInvalidPort);
  TEvents events = RunWorker();
  EXPECT_EQ(events, TEvents{Outcome(10)});
  EXPECT_EQ(EventText(evFailed, 10, "sim"), "Aborted because serial port \"sim\" is not ready!");
  EXPECT_TRUE(FLogger->Frames().empty());
  FPorts->Close(other);

  // A port that vanished mid-run fails the run with 11 and cannot be opened for the next one.
  TSimConfig config = ConfigFor(3);
  config.Faults.VanishAfterFrames = 300;
  Connect(config);
  events = RunWorker();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), Outcome(11));
  EXPECT_EQ(RunWorker(), TEvents{Outcome(10)});
  EXPECT_EQ(FLogger->Frames().size(), 300u);
}

TEST_F(CompleteRun, RouterSendsSimToTheSimulatorAndOtherNamesToTheRealPorts) {
  Connect(ConfigFor(1));
  TFakePortOps real;
  real.SetExistingPorts({"COM1"});
  TPortRouter router(real, *FPorts);
  EXPECT_EQ(RunWorker("COM7", &router), TEvents{Outcome(10)});
  EXPECT_TRUE(FLogger->Frames().empty());
  EXPECT_EQ(RunWorker("sim", &router), Success(1, 0x6605, 0x0700));
  EXPECT_TRUE(real.Frames().empty());
  EXPECT_EQ(FLogger->Programmed(), DataRecords(ImageLines(1)));
}

// ---------------------------------------------------------------------------------------------------------
// Runs that recover from soft failures

struct TRecoveryCase {
  const char* Name;
  std::function<void(TSimConfig&)> Configure;
  TEvents AfterBegin;    // warnings while line 0 is sent
  TEvents BeforeFinish;  // warnings of command 50
  size_t ExtraFrames;
  std::vector<uint32_t> Pauses;
};

void PrintTo(const TRecoveryCase& c, std::ostream* os) {
  *os << c.Name;
}

class RecoveringRun : public CompleteRun, public ::testing::WithParamInterface<TRecoveryCase> {};

TEST_P(RecoveringRun, CompletesWithTheWarningsAndHoldsTheImage) {
  const TRecoveryCase& c = GetParam();
  TSimConfig config = ConfigFor(3);
  c.Configure(config);
  const TEvents events = Run(config);
  const int32_t last = GetImageLastLine(3);
  const TEvents expected = Join({Identified(),
                                 Controller(),
                                 Checks(3),
                                 {{evUpdateStart, 0}},
                                 c.AfterBegin,
                                 Progress(last, last),
                                 c.BeforeFinish,
                                 {{evCompleted, 0}}});
  EXPECT_EQ(events, expected);
  const auto lines = ImageLines(3);
  EXPECT_EQ(FLogger->Frames().size(), ExpectedFrames(2, 200, lines).size() + c.ExtraFrames);
  EXPECT_EQ(FClock->Pauses(), c.Pauses);
  EXPECT_EQ(FLogger->Programmed(), DataRecords(lines));
  EXPECT_TRUE(FLogger->ResetReceived());
}

INSTANTIATE_TEST_SUITE_P(
    SoftFailures, RecoveringRun,
    ::testing::Values(TRecoveryCase{"Register10RefusedFourTimes",
                                    [](TSimConfig& c) {
                                      c.Faults.Register10Status = 0x07;
                                      c.Faults.Register10Refusals = 4;
                                    },
                                    {},
                                    {},
                                    4,
                                    kProcedurePauses},
                      // The fifth refusal fails the attempt; the next one rewrites all 17 words.
                      TRecoveryCase{"Register10RefusedFiveTimes",
                                    [](TSimConfig& c) {
                                      c.Faults.Register10Status = 0x07;
                                      c.Faults.Register10Refusals = 5;
                                    },
                                    {{evRxStatus, 0x307}},
                                    {},
                                    17 + 1 + 5,
                                    kProcedurePauses},
                      TRecoveryCase{"Register11RefusedOnce",
                                    [](TSimConfig& c) {
                                      c.Faults.Register11Status = 0x1A;
                                      c.Faults.Register11Refusals = 1;
                                    },
                                    {{evTxStatus, 0x31A}},
                                    {},
                                    17 + 1,
                                    kProcedurePauses},
                      TRecoveryCase{"ReadBackWrongOnce",
                                    [](TSimConfig& c) { c.Faults.ReadBackCorruptions = 1; },
                                    {{evVerifyError, 0}},
                                    {},
                                    17 + 1 + 1 + 17,
                                    kProcedurePauses},
                      TRecoveryCase{"Command50RefusedTwice",
                                    [](TSimConfig& c) {
                                      c.Faults.Command50Status = 0x1A;
                                      c.Faults.Command50Refusals = 2;
                                    },
                                    {},
                                    {{evTxStatus, 0x41A}, {evTxStatus, 0x41A}},
                                    6,
                                    {100, 100, 2000, 500, 500, 500, 2000}}),
    [](const ::testing::TestParamInfo<TRecoveryCase>& info) { return std::string(info.param.Name); });

// Collapses runs of one repeated frame, so a retried frame counts once.
std::vector<TFrame> Distinct(const std::vector<TFrame>& frames) {
  std::vector<TFrame> out;
  for (const auto& f : frames)
    if (out.empty() || out.back() != f) out.push_back(f);
  return out;
}

TEST_F(CompleteRun, LostAndShortAnswersCostTheReadTimeoutAndOneRetryPauseEach) {
  TSimConfig config = ConfigFor(3);
  config.Faults.RandomKey = 7;
  config.Faults.LostPpm = 15000;
  config.Faults.ShortPpm = 15000;
  EXPECT_EQ(Run(config), Success(3, 0x6605, 0x0700));

  // Every failed attempt is a read that waited its 208 ms, then the 100 ms before the frame goes again.
  std::vector<uint32_t> pauses = FClock->Pauses();
  size_t retries = 0;
  std::vector<uint32_t> procedure;
  for (size_t i = 0; i < pauses.size(); ++i) {
    if (pauses[i] == 208) {
      ASSERT_LT(i + 1, pauses.size());
      EXPECT_EQ(pauses[i + 1], 100u);
      ++retries;
      ++i;
      continue;
    }
    procedure.push_back(pauses[i]);
  }
  EXPECT_EQ(procedure, kProcedurePauses);
  EXPECT_GT(retries, 100u);  // about 3 % of some 7300 answers
  const auto expected = ExpectedFrames(2, 200, ImageLines(3));
  EXPECT_EQ(FLogger->Frames().size(), expected.size() + retries);
  EXPECT_EQ(Distinct(FLogger->Frames()), Distinct(expected));
  EXPECT_EQ(FLogger->Programmed(), DataRecords(ImageLines(3)));
}

TEST_F(CompleteRun, CorruptedCrcsAreRetriedWithoutWaitingForTheTimeout) {
  TSimConfig config = ConfigFor(1);
  config.Faults.RandomKey = 99;
  config.Faults.BadCrcPpm = 20000;
  EXPECT_EQ(Run(config), Success(1, 0x6605, 0x0700));
  const auto pauses = FClock->Pauses();
  const size_t retries = static_cast<size_t>(std::count(pauses.begin(), pauses.end(), 100u)) - 2;
  EXPECT_GT(retries, 50u);
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 208u), 0);
  EXPECT_EQ(FLogger->Frames().size(), ExpectedFrames(2, 200, ImageLines(1)).size() + retries);
  EXPECT_EQ(FLogger->Programmed(), DataRecords(ImageLines(1)));
}

TEST_F(CompleteRun, LoggerThatFallsSilentMidRunGivesFiveTimedOutAttempts) {
  TSimConfig config = ConfigFor(3);
  config.Faults.SilentAfterFrames = 100;
  const TEvents events = Run(config);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), (TWorkerEvent{evCommFailure, 0}));
  EXPECT_EQ(EventText(events.back().code, events.back().value, "sim"),
            "Repeat update because communication error!");
  EXPECT_EQ(FLogger->Frames().size(), 105u);
  const auto pauses = FClock->Pauses();
  const std::vector<uint32_t> tail = {208, 100, 208, 100, 208, 100, 208, 100, 208};
  ASSERT_GE(pauses.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), pauses.end() - static_cast<long>(tail.size())));
  EXPECT_FALSE(ResetSent());
}

TEST_F(CompleteRun, RepeatedRunAfterAProgrammingErrorLeavesExactlyTheImage) {
  TSimConfig config = ConfigFor(2);
  config.Faults.ReadBackCorruptions = 5;
  Connect(config);
  TEvents first = RunWorker();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.back(), Outcome(44));
  EXPECT_EQ(SelectedImage, 2);
  EXPECT_FALSE(FLogger->ResetReceived());

  // The window starts the next run at once, with the catalogue as the last run left it.
  EXPECT_EQ(RunWorker(), Success(2, 0x6605, 0x0700));
  EXPECT_EQ(FLogger->Programmed(), DataRecords(ImageLines(2)));
  EXPECT_TRUE(FLogger->ResetReceived());
}

TEST_F(CompleteRun, FileImageSkipsRecordsThatAreNotFullDataRecords) {
  FileHeader = Header(1);
  FileLines = ImageLines(1);
  // A 16-byte record and an extended-address record are decoded but not sent.
  FileLines.insert(FileLines.begin() + 5, ":10010000214601360121470136007EFE09D2190140");
  FileLines.insert(FileLines.begin() + 9, ":020000040000FA");
  SelectedImage = 0;
  const auto lines = FileLines;
  const int32_t last = static_cast<int32_t>(lines.size()) - 1;
  const TEvents events = Run(ConfigFor(1));
  EXPECT_EQ(events, Join({Identified(),
                          Controller(3, 3),
                          {{evCheckImage, 0}, {evUpdateStart, 0}},
                          Progress(last, last),
                          {{evCompleted, 0}}}));
  EXPECT_EQ(SelectedImage, 0);
  EXPECT_EQ(FLogger->Frames(), ExpectedFrames(2, 200, lines));
  EXPECT_EQ(FLogger->Programmed(), DataRecords(ImageLines(1)));
}

TEST_F(CompleteRun, CancelInTheLastPauseStopsBeforeTheReset) {
  Connect(ConfigFor(3));
  int longPauses = 0;
  FClock->SetSleepHook([&longPauses](uint32_t ms) {
    if (ms == 2000 && ++longPauses == 2) CancelRequested = true;
  });
  const TEvents events = RunWorker();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), Outcome(20));
  EXPECT_TRUE(FLogger->UpdateFinished());
  EXPECT_FALSE(ResetSent());
}

TEST_F(CompleteRun, PacedLineChargesTheWireTimeOfEveryFrameBothWays) {
  TSimConfig config = ConfigFor(3);
  config.PaceBaud = 9600;
  EXPECT_EQ(Run(config), Success(3, 0x6605, 0x0700));
  const uint64_t written = FLogger->Frames().size();
  const uint64_t answered = written - 3;  // no answer is read after the two wakes and the reset
  // 80 bits at 9600 baud: 8333 us a frame, carried over in whole milliseconds.
  const uint64_t wireMs = (written + answered) * 8333 / 1000;
  EXPECT_EQ(FClock->TotalSleptMs(), 4700 + wireMs);
}

TEST_F(CompleteRun, AdapterLatencyHoldsEveryAnswerAndOneBeyondTheReadTimeoutNeverArrives) {
  // An 8-byte answer never fills the adapter's buffer, so it waits for the whole timer.
  EXPECT_EQ(AdapterHoldMs(8, 16), 16u);
  EXPECT_EQ(AdapterHoldMs(kAdapterBufferBytes, 16), 0u);
  EXPECT_EQ(AdapterHoldMs(0, 16), 0u);

  TSimConfig config = ConfigFor(3);
  config.PaceBaud = 9600;
  ReadInfoOnly = true;
  const TEvents plain = Run(config);
  const uint64_t plainMs = FClock->TotalSleptMs();
  const auto& frames = FLogger->Frames();
  const auto answered = std::count_if(frames.begin(), frames.end(), [](const TFrame& f) {
    return f != TFrame{} && f != ResetFrame(2) && f != ResetFrame(5);
  });
  EXPECT_EQ(answered, 12);

  config.LatencyMs = 16;
  EXPECT_EQ(Run(config), plain);
  EXPECT_EQ(FClock->TotalSleptMs(), plainMs + static_cast<uint64_t>(answered) * 16);

  // 8.3 ms on the line and 255 ms in the adapter: later than the read's 208 ms, every time.
  config.LatencyMs = 255;
  const TEvents late = Run(config);
  ASSERT_FALSE(late.empty());
  EXPECT_EQ(late.back().code, evCommFailure);
  const auto pauses = FClock->Pauses();
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 208u), 5);
}

TEST_F(CompleteRun, WorkerOnItsOwnThreadCompletesTheSameRun) {
  Connect(ConfigFor(3));
  TEventQueue queue;
  const TWorkerEnv env{FPorts.get(), FClock.get(), &queue};
  (new TSDCommThread(0, TCmd::tCMD0, "sim", env))->Start();
  TEvents events;
  while (true) {
    const TWorkerEvent ev = queue.Wait();
    events.push_back(ev);
    if (ev.code == evCompleted || ev.code == evFailed || ev.code == evCommFailure) break;
  }
  WaitForWorkers();
  EXPECT_EQ(events, Success(3, 0x6605, 0x0700));
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_EQ(FLogger->Programmed(), DataRecords(ImageLines(3)));
}

}  // namespace
