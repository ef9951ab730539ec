#include <gtest/gtest.h>

#include "station/uText.h"

TEST(TerminalSafe, EscapesWhatATerminalWouldObeyAndKeepsTheRest) {
  // A USB product string that would clear the screen and retitle the terminal.
  EXPECT_EQ(TerminalSafe("FT232R\x1b[2J\x1b]0;pwned\x07"), "FT232R\\x1b[2J\\x1b]0;pwned\\x07");
  EXPECT_EQ(TerminalSafe("a\tb\rc\nd\x7f"), "a\\x09b\\x0dc\\x0ad\\x7f");
  // C1 as UTF-8 (U+009B, the one-byte CSI) and as a raw byte; right-to-left override and isolate.
  EXPECT_EQ(TerminalSafe("x\xc2\x9by\x9bz"), "x\\u009by\\x9bz");
  EXPECT_EQ(TerminalSafe("COM\xe2\x80\xae" "5\xe2\x81\xa6"), "COM\\u202e5\\u2066");
  // Ordinary UTF-8 and punctuation pass unchanged; overlong and surrogate forms are not UTF-8.
  EXPECT_EQ(TerminalSafe("Müller µC 温度 \\ /dev/ttyUSB0"), "Müller µC 温度 \\ /dev/ttyUSB0");
  EXPECT_EQ(TerminalSafe("\xc0\xaf\xed\xa0\x80"), "\\xc0\\xaf\\xed\\xa0\\x80");
}
