#pragma once

#include <string>

#include "device/uPortOps.h"

// The line settings and timeouts every run uses.
TLineSettings ComPortLineSettings(uint32_t baudRate);
TTimeouts ComPortTimeouts();

// Opens and configures the port; kInvalidPort when it cannot be opened or any configuration step fails,
// in which case no port is left open.
TPortHandle OpenComPort(IPortOps& ops, const std::string& portName, uint32_t baudRate);
void CloseComPort(IPortOps& ops, TPortHandle handle);
