// Texts shared by the station's front ends: tables, ISO times, and text from outside made safe for a
// terminal.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// Rows of cells as a table with columns padded to their widest cell, two blanks apart.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows);

// Names compared as an operator reads them: runs of digits by their value ("COM3" before "COM12").
bool NaturalLess(const std::string& a, const std::string& b);

// A run's own line (a hint after a failed open and the like) without the "pellory-cli: " its program puts
// before it: the front ends name the port instead.
std::string HintText(const std::string& line);
// Why a run's port would not open (its exit code 10: "Aborted because serial port ... is not ready!"): the
// last of its `hints` that begins with the port's name, as its program names the port first there (a slow
// adapter's hint before it does not). Empty for any other end, or when it gave none.
std::string OpenFailureHint(const std::string& port, int exitCode, const std::vector<std::string>& hints);

// `t` as ISO-8601 UTC, to the second ("2026-03-01T09:15:02Z") or the millisecond ("...02.123Z").
std::string IsoUtc(std::chrono::system_clock::time_point t, bool millis);
// The reverse, for "YYYY-MM-DDTHH:MM:SS" with an optional ".mmm" and the "Z"; false for anything else.
bool ParseIsoUtc(const std::string& text, std::chrono::system_clock::time_point& t);

// `text` as it may go to a terminal: port names, USB descriptor strings and children's output can carry
// escape sequences. C0 controls and DEL become "\x1b" and the like, C1 controls and the bidirectional
// overrides and isolates "\u009b", "\u202e" ..., bytes that are no UTF-8 "\xff"; a backslash stays as it
// is. Files (logs, CSV) keep the bytes; JSON escapes on its own.
std::string TerminalSafe(const std::string& text);

// JSON text with DEL, the C1 controls and the bidirectional marks in its strings written as "\u009b" and
// the like: the same data for every JSON reader, and nothing a terminal acts on. JSON encoders escape only
// the C0 controls.
std::string JsonTerminalSafe(const std::string& json);
