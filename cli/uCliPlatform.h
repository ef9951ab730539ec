// What pellory-cli needs of its platform (uCliPlatform_posix.cpp, uCliPlatform_win32.cpp).
#pragma once

#include <string>
#include <vector>

#include "device/uCommThread.h"

enum class TStdStream { In, Out, Err };

bool IsTerminal(TStdStream stream);
// Columns of the terminal on `stream`; 0 when it is none or does not say.
int TerminalColumns(TStdStream stream);
// Ctrl-C cancels the run: sets CancelRequested and CliInterrupted; a second Ctrl-C ends the process.
void InstallInterruptHandler();
// Starts an update worker whose thread never takes the Ctrl-C signal (its port reads are not interrupted).
TCommThread* CreateCliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort);

// The station's Ctrl-C: counts in StationInterrupts; the station itself ends its runs.
void InstallStationInterruptHandler();
// A run started by the station: a line or the end of standard input cancels it as Ctrl-C would (also when
// the station is gone).
void CancelOnStdin();
// Flushes a written file to the disk; false on failure.
bool SyncFileToDisk(const std::string& path);
// Renames `from` over `to` in one step.
bool ReplaceFileAtomically(const std::string& from, const std::string& to);
// Lets the station redraw its lines in place on a terminal (Windows consoles take the escape sequences
// only when asked).
void EnableTerminalRedraw();
