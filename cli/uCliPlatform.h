// What pellory-cli needs of its platform (uCliPlatform_posix.cpp, uCliPlatform_win32.cpp).
#pragma once

#include <string>
#include <vector>

#include "device/uCommThread.h"

enum class TStdStream { In, Out, Err };

// The program's arguments after its name, in UTF-8. Windows: taken from the wide command line, so that no
// letter is lost to the ANSI code page; the console then shows UTF-8 output as it is.
std::vector<std::string> ProgramArguments(int argc, char** argv);

bool IsTerminal(TStdStream stream);
// Columns and rows of the terminal on `stream`; 0 when it is none or does not say.
int TerminalColumns(TStdStream stream);
int TerminalRows(TStdStream stream);
// Ctrl-C cancels the run: sets CancelRequested and CliInterrupted; a second Ctrl-C ends the process.
void InstallInterruptHandler();
// Starts an update worker whose thread never takes the Ctrl-C signal (its port reads are not interrupted).
TCommThread* CreateCliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort);

// The station's Ctrl-C, SIGTERM and SIGHUP (Windows: Ctrl-C, Ctrl-Break and the console's closing): counted
// in StationInterrupts, and the station's wait woken; the station itself ends its runs. Output is never cut
// short by them (POSIX: SA_RESTART).
void InstallStationInterruptHandler();
// The station has written its summary: Windows lets a closing console go on.
void StationFinished();
// One answer line from the terminal on standard input; false at its end or when interrupted (Ctrl-C).
bool ReadAnswerLine(std::string& line);
// A run started by the station: a line or the end of standard input cancels it as Ctrl-C would (also when
// the station is gone; its output then goes nowhere rather than ending it).
void CancelOnStdin();
// Lets the station redraw its lines in place on a terminal (Windows consoles take the escape sequences
// only when asked).
void EnableTerminalRedraw();
