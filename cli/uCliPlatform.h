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
// The serial ports a logger may be on.
std::vector<std::string> ListSerialPorts();
// POSIX: one name per port: the links of <devDir>/serial/by-id, then <devDir>/ttyUSB* and <devDir>/ttyACM*
// that no link points to, each group sorted (uPortInfo_posix.cpp).
std::vector<std::string> ListSerialPortsIn(const std::string& devDir);
// Starts an update worker whose thread never takes the Ctrl-C signal (its port reads are not interrupted).
TCommThread* CreateCliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort);
