// The serial port operations the link needs, behind one interface: Win32 (kernel32), POSIX termios,
// the in-process simulated logger and test doubles all implement it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

using TPortHandle = uintptr_t;
// Same bit pattern as INVALID_HANDLE_VALUE: all bits set.
inline constexpr TPortHandle kInvalidPort = ~TPortHandle{0};

// The device control block, filled entirely by OpenComPort (never read from the port first).
struct TLineSettings {
  uint32_t BaudRate = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // none
  uint8_t StopBits = 0;  // one
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = 0;  // DTR_CONTROL_DISABLE
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;       // NUL bytes are kept
  uint8_t fRtsControl = 0;  // RTS_CONTROL_DISABLE
  bool fAbortOnError = false;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  char XonChar = 0x20;
  char XoffChar = 0x20;
  char ErrorChar = 0x20;
  char EofChar = 0x20;
  char EvtChar = 0x20;

  bool operator==(const TLineSettings&) const = default;
};

// COMMTIMEOUTS: a read of n bytes gives up after ReadTotalMultiplier * n + ReadTotalConstant ms.
struct TTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;

  bool operator==(const TTimeouts&) const = default;
};

// Why a port could not be opened, as the system told it; the user is told what to do about it.
enum class TPortFailure : uint8_t {
  None,          // opened, or never tried
  NotFound,      // no such device
  AccessDenied,  // this user may not open it
  Busy,          // another program holds it
  NotSerial,     // the name is not a serial port
  Other,
};

struct TPortError {
  TPortFailure Failure = TPortFailure::None;
  int Code = 0;  // errno (POSIX) or GetLastError() (Windows) of the failed call

  bool operator==(const TPortError&) const = default;
};

// The open errors of a port backend, by port name: a worker opens on its own thread and frees itself, so
// the front end asks by name once the run has ended.
class TOpenErrors {
 public:
  void Set(const std::string& portName, TPortError error) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (error.Failure == TPortFailure::None) {
      FErrors.erase(portName);
    } else {
      FErrors[portName] = error;
    }
  }
  TPortError Get(const std::string& portName) const {
    std::lock_guard<std::mutex> lock(FMutex);
    const auto it = FErrors.find(portName);
    return it == FErrors.end() ? TPortError{} : it->second;
  }

 private:
  mutable std::mutex FMutex;
  std::map<std::string, TPortError> FErrors;
};

class IPortOps {
 public:
  virtual ~IPortOps() = default;
  // Opens the named port exclusively for synchronous I/O; kInvalidPort on failure.
  virtual TPortHandle Open(const std::string& portName) = 0;
  // Why the last Open of `portName` failed; None when it succeeded, was never tried, or the backend cannot
  // tell.
  virtual TPortError OpenError(const std::string& /*portName*/) { return {}; }
  // Each returns false when the operation fails.
  virtual bool SetLine(TPortHandle h, const TLineSettings& settings) = 0;
  virtual bool SetQueues(TPortHandle h, uint32_t inSize, uint32_t outSize) = 0;
  virtual bool SetTimeouts(TPortHandle h, const TTimeouts& timeouts) = 0;
  virtual bool RaiseDtr(TPortHandle h) = 0;
  virtual bool ClearErrors(TPortHandle h) = 0;
  // Discards both queues (PURGE_TXCLEAR | PURGE_RXCLEAR) without aborting anything.
  virtual bool Purge(TPortHandle h) = 0;
  // Writes up to `count` bytes within the write timeout; false on failure, else `written` is the count.
  virtual bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) = 0;
  // Returns when `count` bytes arrived or the read timeout elapsed; false on failure (a hang-up included),
  // else `got` is the count read (fewer than asked on timeout).
  virtual bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) = 0;
  virtual void Close(TPortHandle h) = 0;
};

// The platform's real serial ports (uPortOps_win32.cpp or uPortOps_posix.cpp).
IPortOps& PlatformPortOps();
