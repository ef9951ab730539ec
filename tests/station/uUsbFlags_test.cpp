// Setting a PC up for the station: the serial number read from a device's string descriptor (recorded
// bytes, and bytes no device should send), the flags' names, the one elevated step and its results file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "station/uUsbDescriptor.h"
#include "station/uUsbFlags.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

bool Parse(const std::vector<uint8_t>& bytes, std::string& text) {
  return ParseUsbStringDescriptor(bytes.data(), bytes.size(), text);
}

TEST(UsbStringDescriptor, TheSerialNumberIsReadAsTheDeviceSentItAndAnythingMalformedIsNone) {
  std::string text;
  // An FT232R's serial number and its language list, as a hub hands them over (the request's buffer is
  // longer than the descriptor: what follows bLength is not part of it).
  EXPECT_TRUE(
      Parse({0x12, 0x03, 'A', 0, '5', 0, '0', 0, '2', 0, '8', 0, '5', 0, 'B', 0, 'I', 0, 0xEE, 0xEE}, text));
  EXPECT_EQ(text, "A50285BI");
  const std::vector<uint8_t> languages{0x04, 0x03, 0x09, 0x04};
  EXPECT_EQ(FirstUsbLanguage(languages.data(), languages.size()), 0x0409);
  // Beyond ASCII: U+00C4 and, as a surrogate pair, U+1F600.
  EXPECT_TRUE(Parse({0x0A, 0x03, 'N', 0, 0xC4, 0x00, 0x3D, 0xD8, 0x00, 0xDE}, text));
  EXPECT_EQ(text, "N\xC3\x84\xF0\x9F\x98\x80");
  EXPECT_TRUE(Parse({0x02, 0x03}, text));
  EXPECT_EQ(text, "");

  const std::vector<std::vector<uint8_t>> hostile{
      {},                                        // nothing
      {0x12},                                    // a single byte
      {0x12, 0x03, 'A', 0},                      // bLength beyond what came
      {0x01, 0x03},                              // bLength shorter than the header
      {0x05, 0x03, 'A', 0, 'B'},                 // odd: half a character
      {0x04, 0x01, 'A', 0},                      // another descriptor type
      {0x06, 0x03, 'A', 0, 0, 0},                // a NUL inside
      {0x06, 0x03, 'A', 0, 0x3D, 0xD8},          // a high surrogate with nothing after it
      {0x06, 0x03, 0x00, 0xDE, 'A', 0},          // a low surrogate alone
      {0x08, 0x03, 0x3D, 0xD8, 'A', 0, 'B', 0},  // a high surrogate before no low one
  };
  for (const std::vector<uint8_t>& bytes : hostile) {
    text = "left";
    EXPECT_FALSE(Parse(bytes, text)) << ::testing::PrintToString(bytes);
    EXPECT_EQ(text, "");
  }
  EXPECT_EQ(FirstUsbLanguage(hostile[2].data(), hostile[2].size()), 0);  // bLength beyond what came
  EXPECT_EQ(FirstUsbLanguage(nullptr, 0), 0);
  const std::vector<uint8_t> noLanguage{0x02, 0x03};
  EXPECT_EQ(FirstUsbLanguage(noLanguage.data(), noLanguage.size()), 0);
}

// Ids by whether this process may write their flag.
class TFakeFlags : public IUsbFlags {
 public:
  std::map<std::string, bool> Set;  // by "vvvv:pppp"
  bool Refused = true;
  std::vector<std::vector<TUsbId>> Elevations;

  bool Available() const override { return true; }
  bool IgnoresSerial(TUsbId id) override { return Set[UsbIdText(id)]; }
  TSetupResult Apply(TUsbId id, bool undo) override {
    TSetupResult r;
    r.Id = id;
    if (!undo && Set[UsbIdText(id)]) {
      r.Outcome = TSetupOutcome::AlreadySet;
    } else {
      r.Outcome = Refused ? TSetupOutcome::NotPermitted : undo ? TSetupOutcome::Removed : TSetupOutcome::Set;
    }
    return r;
  }
  bool CanElevate() const override { return true; }
  std::vector<TSetupResult> ApplyElevated(const std::vector<TUsbId>& ids, bool undo) override {
    Elevations.push_back(ids);
    Refused = false;
    std::vector<TSetupResult> results;
    for (const TUsbId& id : ids) results.push_back(Apply(id, undo));
    Refused = true;
    return results;
  }
};

TEST(StationSetup, RefusedIdsAreSetInOneElevatedStepAndTheResultsFileIsReadAsForeign) {
  TUsbId ftdi, other;
  ASSERT_TRUE(ParseUsbId("0403:6001", ftdi));
  ASSERT_TRUE(ParseUsbId("1A86:7523", other));
  EXPECT_EQ(IgnoreSerialValueName(ftdi), "IgnoreHWSerNum04036001");
  EXPECT_EQ(IgnoreSerialValueName(other), "IgnoreHWSerNum1A867523");
  EXPECT_EQ(UsbIdText(other), "1a86:7523");
  TUsbId id;
  for (const char* bad : {"", "0403-6001", "0403:600", "04036:001", "0x03:6001", "0403:6001 "})
    EXPECT_FALSE(ParseUsbId(bad, id)) << bad;

  TFakeFlags flags;
  flags.Set["1a86:7523"] = true;
  int told = 0;
  const auto results =
      ApplyUsbFlags(flags, {ftdi, other, TUsbId{0x0403, 0x6015}}, false, true, [&] { ++told; });
  EXPECT_EQ(told, 1);
  ASSERT_EQ(flags.Elevations.size(), 1u);
  EXPECT_EQ(flags.Elevations[0], (std::vector<TUsbId>{ftdi, TUsbId{0x0403, 0x6015}}));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].Outcome, TSetupOutcome::Set);
  EXPECT_EQ(results[1].Outcome, TSetupOutcome::AlreadySet);
  EXPECT_EQ(results[2].Outcome, TSetupOutcome::Set);
  EXPECT_EQ(SetupExitCode(results), 0);
  const std::vector<std::string> lines = SetupResultLines(results);
  EXPECT_EQ(lines.at(0), "0403:6001: IgnoreHWSerNum04036001 set.");
  EXPECT_EQ(lines.at(1), "1a86:7523: IgnoreHWSerNum1A867523 was set already.");
  EXPECT_THAT(lines.at(4), HasSubstr("from the next logger plugged in there"));
  EXPECT_EQ(lines.back(), "Undo with: pellory-cli station-setup --undo");

  // Without elevating: refused, said why, exit 5; the results file says the same, and reads back.
  TSetupResult denied;
  denied.Id = ftdi;
  denied.Outcome = TSetupOutcome::NotPermitted;
  denied.Notes = {"needs administrator rights\x1b[2J"};
  const std::vector<TSetupResult> refused{denied, results[1]};
  EXPECT_EQ(SetupExitCode(refused), kExitSetupNotPermitted);
  EXPECT_THAT(SetupResultLines(refused), ::testing::Contains("  needs administrator rights\\x1b[2J"));
  std::vector<TSetupResult> back;
  ASSERT_TRUE(ParseSetupResults(SetupResultsJson(refused), back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].Id, ftdi);
  EXPECT_EQ(back[0].Outcome, TSetupOutcome::NotPermitted);
  EXPECT_THAT(back[0].Notes, ElementsAre("needs administrator rights\x1b[2J"));
  EXPECT_EQ(back[1].Outcome, TSetupOutcome::AlreadySet);
  for (const char* hostile :
       {"", "{}", "[1]", R"([{"outcome":"set"}])", R"([{"vid_pid":"0403:6001","outcome":"maybe"}])",
        R"([{"vid_pid":"0403:600x","outcome":"set"}])",
        R"([{"vid_pid":"0403:6001","outcome":"set","notes":"x"}])"}) {
    EXPECT_FALSE(ParseSetupResults(hostile, back)) << hostile;
  }
  TSetupResult failed = denied;
  failed.Outcome = TSetupOutcome::Failed;
  EXPECT_EQ(SetupExitCode({denied, failed}), 1);
}

}  // namespace
