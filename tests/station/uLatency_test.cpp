// Setting adapters' latency timers: which ports take one step with more rights, and the results file that
// step leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "station/uLatency.h"

using ::testing::ElementsAre;

namespace {

// Ports by name: a timer (or none), and whether this process may write it.
class TFakeTimers : public IAdapterTimers {
 public:
  struct TPort {
    int TimerMs;
    bool Refused;
  };
  std::map<std::string, TPort> Ports;
  std::vector<std::vector<std::string>> Elevations;  // the ports of each elevated step

  TAdapterTimer Read(const std::string& port) override {
    TAdapterTimer t;
    t.Port = port;
    const auto it = Ports.find(port);
    t.Present = it != Ports.end();
    t.TimerMs = t.Present ? it->second.TimerMs : -1;
    return t;
  }
  TTimerResult Write(const TAdapterTimer& t, int ms) override {
    TTimerResult r;
    r.Port = t.Port;
    r.WasMs = t.TimerMs;
    r.Outcome = Ports[t.Port].Refused ? TTimerOutcome::NotPermitted : TTimerOutcome::Set;
    r.TimerMs = Ports[t.Port].Refused ? t.TimerMs : ms;
    return r;
  }
  bool CanElevate() const override { return true; }
  std::vector<TTimerResult> WriteElevated(const std::vector<TAdapterTimer>& timers, int ms) override {
    Elevations.emplace_back();
    std::vector<TTimerResult> results;
    for (const TAdapterTimer& t : timers) {
      Elevations.back().push_back(t.Port);
      results.push_back({t.Port, TTimerOutcome::SetPending, t.TimerMs, ms, "", "", "", {"elevated"}});
    }
    return results;
  }
};

TEST(AdapterTimers, RefusedPortsAreSetTogetherInOneElevatedStepAndResultsKeepThePortOrder) {
  TFakeTimers timers;
  timers.Ports = {{"COM3", {16, true}}, {"COM4", {-1, false}}, {"COM5", {16, true}}, {"COM6", {8, false}}};
  const std::vector<std::string> ports{"COM3", "COM4", "COM5", "COM6", "COM9"};
  EXPECT_THAT(SlowAdapterPorts(timers, ports), ElementsAre("COM3", "COM5", "COM6"));

  std::vector<std::string> told;
  const auto results = SetAdapterTimers(timers, ports, 1, true, [&](const auto& refused) { told = refused; });
  EXPECT_THAT(told, ElementsAre("COM3", "COM5"));
  ASSERT_EQ(timers.Elevations.size(), 1u);
  EXPECT_THAT(timers.Elevations[0], ElementsAre("COM3", "COM5"));
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[0].Notes, std::vector<std::string>{"elevated"});
  EXPECT_EQ(results[1].Notes.at(0), "COM4 has no adapter latency timer: nothing holds its answers.");
  EXPECT_EQ(results[2].Outcome, TTimerOutcome::SetPending);
  EXPECT_EQ(results[3].Outcome, TTimerOutcome::Set);
  EXPECT_EQ(results[4].Notes.at(0), "COM9: no such port.");
  EXPECT_EQ(LatencyExitCode(results), kExitNoTimer);  // a missing timer outweighs a pending one

  // The elevated copy itself asks for nothing more: its refusals stand.
  const auto asCopy = SetAdapterTimers(timers, {"COM3", "COM6"}, 1, false);
  EXPECT_EQ(timers.Elevations.size(), 1u);
  EXPECT_EQ(asCopy[0].Outcome, TTimerOutcome::NotPermitted);
  EXPECT_EQ(LatencyExitCode(asCopy), kExitNotPermitted);
  EXPECT_EQ(LatencyExitCode({asCopy[1]}), 0);
}

TEST(AdapterTimers, TheResultFileRoundTripsAndAnythingElseIsRefused) {
  std::vector<TTimerResult> written{
      {"COM5", TTimerOutcome::Set, 16, 1, "FTDIBUS", "0403:6001", "USB Serial Port (COM5)", {"restarted"}},
      NoTimerResult("sim", "the simulated logger")};
  std::vector<TTimerResult> read;
  ASSERT_TRUE(ParseTimerResults(TimerResultsJson(written), read));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].Outcome, TTimerOutcome::Set);
  EXPECT_EQ(read[0].WasMs, 16);
  EXPECT_EQ(read[0].TimerMs, 1);
  EXPECT_EQ(read[0].UsbId + "|" + read[0].Product + "|" + read[0].Notes.at(0),
            "0403:6001|USB Serial Port (COM5)|restarted");
  EXPECT_EQ(read[1].TimerMs, -1);
  EXPECT_EQ(read[1].Outcome, TTimerOutcome::NoTimer);

  for (const std::string& bad :
       {std::string("not json"), std::string("{}"), std::string("[1]"),
        std::string("[{\"outcome\":\"set\"}]"), std::string("[{\"port\":\"COM5\",\"outcome\":\"done\"}]"),
        std::string("[{\"port\":\"COM5\",\"outcome\":\"set\",\"latency_timer_ms\":-3}]"),
        std::string("[{\"port\":\"COM5\",\"outcome\":\"set\",\"notes\":[7]}]"),
        [] {  // more entries than ports one command takes
          const std::string one = "{\"port\":\"A\",\"outcome\":\"set\"}";
          std::string many = "[" + one;
          for (int i = 1; i < 300; ++i) many += "," + one;
          return many + "]";
        }(),
        std::string(2u << 20, ' ')}) {
    EXPECT_FALSE(ParseTimerResults(bad, read)) << bad.substr(0, 60);
  }
  // What the device calls itself reaches the terminal escaped.
  written[0].Product = "FT232R\x1b[2J";
  EXPECT_NE(TimerTable(written).find("FT232R\\x1b[2J  1 ms"), std::string::npos) << TimerTable(written);
  EXPECT_EQ(ShellWord("/dev/serial/by-id/usb-FTDI_A5-if00"), "/dev/serial/by-id/usb-FTDI_A5-if00");
  EXPECT_EQ(ShellWord("/tmp/my port's"), "'/tmp/my port'\\''s'");
}

}  // namespace
