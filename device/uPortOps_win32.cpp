// The real serial ports on Windows: kernel32 communications functions on a synchronous handle. The
// driver keeps the timeouts itself (COMMTIMEOUTS), so Read and Write return what the driver gives:
//  - Read: true with `got` = count when everything arrived, true with fewer (possibly 0) when the read
//    timeout elapsed; false when ReadFile fails (a device that went away, a line error).
//  - Write: true with the count the driver took within the write timeout; false when WriteFile fails.
#include <windows.h>

#include <string>

#include "device/uPortOps.h"
#include "device/uWinText_win32.h"

namespace {

HANDLE AsHandle(TPortHandle h) {
  return reinterpret_cast<HANDLE>(h);
}

// What an error of CreateFileW means to the user. A COM port is opened without sharing, so a port that
// another program holds answers "access denied".
TPortError ErrorOf(DWORD code) {
  const int c = static_cast<int>(code);
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
      return {TPortFailure::NotFound, c};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return {TPortFailure::Busy, c};
    default:
      return {TPortFailure::Other, c};
  }
}

class TWin32PortOps : public IPortOps {
 public:
  TPortHandle Open(const std::string& portName) override {
    TPortError error{TPortFailure::None, 0};
    const TPortHandle h = OpenPort(portName, error);
    FOpenErrors.Set(portName, error);
    return h;
  }

  TPortError OpenError(const std::string& portName) override { return FOpenErrors.Get(portName); }

  TPortHandle OpenPort(const std::string& portName, TPortError& error) {
    // A NUL inside the name would open a different device than the one named.
    std::wstring name;
    if (portName.empty() || portName.find('\0') != std::string::npos || !ToWideStrict(portName, name)) {
      error = {TPortFailure::NotFound, ERROR_FILE_NOT_FOUND};
      return kInvalidPort;
    }
    // "COM1" to "COM9" are also found as plain names (DOS device names), but "COM10" and up, and ports
    // a driver names otherwise, exist only in the device namespace: the "\\.\" prefix reaches every one
    // of them the same way and bypasses the file name parsing that would treat "COM10" as a file.
    const std::wstring path = L"\\\\.\\" + name;
    const HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = ErrorOf(GetLastError());
      return kInvalidPort;
    }
    return reinterpret_cast<TPortHandle>(h);
  }

  bool SetLine(TPortHandle h, const TLineSettings& s) override {
    // Filled entirely from the settings: whatever a previous program left in the port does not count.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = s.BaudRate;
    dcb.fBinary = s.fBinary;
    dcb.fParity = s.fParity;
    dcb.fOutxCtsFlow = s.fOutxCtsFlow;
    dcb.fOutxDsrFlow = s.fOutxDsrFlow;
    dcb.fDtrControl = s.fDtrControl;
    dcb.fDsrSensitivity = s.fDsrSensitivity;
    dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
    dcb.fOutX = s.fOutX;
    dcb.fInX = s.fInX;
    dcb.fErrorChar = s.fErrorChar;
    dcb.fNull = s.fNull;
    dcb.fRtsControl = s.fRtsControl;
    dcb.fAbortOnError = s.fAbortOnError;
    dcb.XonLim = s.XonLim;
    dcb.XoffLim = s.XoffLim;
    dcb.ByteSize = s.ByteSize;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    dcb.XonChar = s.XonChar;
    dcb.XoffChar = s.XoffChar;
    dcb.ErrorChar = s.ErrorChar;
    dcb.EofChar = s.EofChar;
    dcb.EvtChar = s.EvtChar;
    return SetCommState(AsHandle(h), &dcb) != FALSE;
  }

  bool SetQueues(TPortHandle h, uint32_t inSize, uint32_t outSize) override {
    return SetupComm(AsHandle(h), inSize, outSize) != FALSE;
  }

  bool SetTimeouts(TPortHandle h, const TTimeouts& t) override {
    COMMTIMEOUTS ct{};
    ct.ReadIntervalTimeout = t.ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return SetCommTimeouts(AsHandle(h), &ct) != FALSE;
  }

  bool RaiseDtr(TPortHandle h) override { return EscapeCommFunction(AsHandle(h), SETDTR) != FALSE; }

  bool ClearErrors(TPortHandle h) override {
    DWORD errors = 0;
    COMSTAT stat{};
    return ClearCommError(AsHandle(h), &errors, &stat) != FALSE;
  }

  bool Purge(TPortHandle h) override {
    return PurgeComm(AsHandle(h), PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
  }

  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override {
    DWORD n = 0;
    // The count is unsigned: failure is told by the result alone, never by the count.
    const BOOL ok = WriteFile(AsHandle(h), data, count, &n, nullptr);
    written = ok ? n : 0;
    return ok != FALSE;
  }

  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override {
    DWORD n = 0;
    const BOOL ok = ReadFile(AsHandle(h), data, count, &n, nullptr);
    got = ok ? n : 0;
    return ok != FALSE;
  }

  void Close(TPortHandle h) override { CloseHandle(AsHandle(h)); }

 private:
  TOpenErrors FOpenErrors;
};

}  // namespace

IPortOps& PlatformPortOps() {
  static TWin32PortOps ops;
  return ops;
}
