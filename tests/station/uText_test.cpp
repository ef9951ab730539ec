#include <gtest/gtest.h>

#include "station/uText.h"

TEST(TerminalSafe, EscapesWhatATerminalWouldObeyAndKeepsTheRest) {
  // A USB product string that would clear the screen and retitle the terminal.
  EXPECT_EQ(TerminalSafe("FT232R\x1b[2J\x1b]0;pwned\x07"), "FT232R\\x1b[2J\\x1b]0;pwned\\x07");
  EXPECT_EQ(TerminalSafe("a\tb\rc\nd\x7f"), "a\\x09b\\x0dc\\x0ad\\x7f");
  // C1 as UTF-8 (U+009B, the one-byte CSI) and as a raw byte; right-to-left override and isolate.
  EXPECT_EQ(TerminalSafe("x\xc2\x9by\x9bz"), "x\\u009by\\x9bz");
  EXPECT_EQ(TerminalSafe("COM\xe2\x80\xae"
                         "5\xe2\x81\xa6"),
            "COM\\u202e5\\u2066");
  // Ordinary UTF-8 and punctuation pass unchanged; overlong and surrogate forms are not UTF-8.
  EXPECT_EQ(TerminalSafe("Müller µC 温度 \\ /dev/ttyUSB0"), "Müller µC 温度 \\ /dev/ttyUSB0");
  EXPECT_EQ(TerminalSafe("\xc0\xaf\xed\xa0\x80"), "\\xc0\\xaf\\xed\\xa0\\x80");
}

TEST(IsoUtc, ReadsBackWhatItWritesAndNothingElse) {
  std::chrono::system_clock::time_point t;
  ASSERT_TRUE(ParseIsoUtc("2028-02-29T23:59:58.125Z", t));
  EXPECT_EQ(IsoUtc(t, true), "2028-02-29T23:59:58.125Z");
  ASSERT_TRUE(ParseIsoUtc("2026-12-09T09:41:07Z", t));
  EXPECT_EQ(IsoUtc(t, false), "2026-12-09T09:41:07Z");
  for (const char* bad : {"", "x", "2026-02-30T00:00:00Z", "2026-12-09 09:41:07Z", "2026-12-09T09:41:07",
                          "2026-12-09T09:41:07.12Z", "2026-12-09T24:00:00Z"}) {
    EXPECT_FALSE(ParseIsoUtc(bad, t)) << bad;
  }
}
