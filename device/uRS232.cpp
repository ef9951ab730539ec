#include "device/uRS232.h"

TLineSettings ComPortLineSettings(uint32_t baudRate) {
  // The defaults of TLineSettings are the line this system uses: 8N1, binary, no flow control, DTR and RTS
  // control disabled, 0x20 for every special character.
  TLineSettings s;
  s.BaudRate = baudRate;
  return s;
}

TTimeouts ComPortTimeouts() {
  TTimeouts t;
  t.ReadIntervalTimeout = 0;
  t.ReadTotalTimeoutMultiplier = 1;
  t.ReadTotalTimeoutConstant = 200;  // one frame: 208 ms
  t.WriteTotalTimeoutMultiplier = 1;
  t.WriteTotalTimeoutConstant = 0;  // one frame: 8 ms
  return t;
}

TPortHandle OpenComPort(IPortOps& ops, const std::string& portName, uint32_t baudRate) {
  const TPortHandle h = ops.Open(portName);
  if (h == kInvalidPort) return kInvalidPort;
  // DTR goes up last, once the line is configured. A port that cannot be configured is closed at once so
  // that the next run can open it.
  const bool configured = ops.SetLine(h, ComPortLineSettings(baudRate)) && ops.SetQueues(h, 1000, 1000) &&
                          ops.SetTimeouts(h, ComPortTimeouts()) && ops.RaiseDtr(h);
  if (!configured) {
    ops.Close(h);
    return kInvalidPort;
  }
  return h;
}

void CloseComPort(IPortOps& ops, TPortHandle handle) {
  ops.Close(handle);
}
