// The real serial ports on POSIX: termios, with the deadlines the link sets kept on poll() and a
// monotonic clock, so the link behaves the same on both platforms.
//
// What each call returns (the contract of IPortOps):
//  - Read: waits until `count` bytes arrived or the total deadline ReadTotalTimeoutMultiplier * count +
//    ReadTotalTimeoutConstant ms (the link's 1 ms per byte + 200 ms) has passed on the monotonic clock,
//    and returns true with what came in until then (fewer bytes, possibly 0, on timeout). Of the Win32
//    timeout model only this total deadline exists here: the interval timeout is not used. False on an I/O
//    error and on a hang-up (a 0-byte read, POLLHUP, EIO), never "keep waiting".
//  - Write: true with `count` written, or with fewer when the write deadline (multiplier * count + constant)
//    passed first; false on an I/O error or a hang-up. All zero write timeouts mean no deadline.
//  - The configuration calls return false on an error; the port stays open until Close.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <set>

#include "device/uPortOps.h"

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace {

using TSteady = std::chrono::steady_clock;

bool BaudToSpeed(uint32_t baud, speed_t& speed) {
  struct TBaud {
    uint32_t baud;
    speed_t speed;
  };
  static const TBaud kRates[] = {
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
#if defined(B460800)
    {460800, B460800},
#endif
#if defined(B921600)
    {921600, B921600},
#endif
  };
  for (const TBaud& r : kRates) {
    if (r.baud == baud) {
      speed = r.speed;
      return true;
    }
  }
  return false;
}

// Milliseconds until `deadline`, rounded up so that poll() never wakes just before it.
int MsUntil(TSteady::time_point deadline) {
  const auto left = deadline - TSteady::now();
  if (left <= TSteady::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1000000 ? 1000000 : static_cast<int>(ms);
}

// What an errno of open() or of the exclusive-use calls means to the user.
TPortError ErrorOf(int code) {
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return {TPortFailure::NotFound, code};
    case EACCES:
    case EPERM:
      return {TPortFailure::AccessDenied, code};
    case EBUSY:  // another program set TIOCEXCL
      return {TPortFailure::Busy, code};
    case ENOTTY:
      return {TPortFailure::NotSerial, code};
    default:
      return {TPortFailure::Other, code};
  }
}

class TPosixPortOps : public IPortOps {
 public:
  TPortHandle Open(const std::string& portName) override {
    TPortError error{TPortFailure::None, 0};
    const TPortHandle h = OpenPort(portName, error);
    FOpenErrors.Set(portName, error);
    return h;
  }

  TPortError OpenError(const std::string& portName) override { return FOpenErrors.Get(portName); }

  TPortHandle OpenPort(const std::string& portName, TPortError& error) {
    // A name with a NUL would open a different device than the one named.
    if (portName.empty() || portName.find('\0') != std::string::npos) {
      error = {TPortFailure::NotFound, ENOENT};
      return kInvalidPort;
    }
    // Plain names ("ttyUSB0") are looked up in /dev; anything with a slash is a path.
    const std::string path = portName.find('/') == std::string::npos ? "/dev/" + portName : portName;
    // Non-blocking: opening must not wait for a carrier, and every transfer waits in poll() anyway.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = ErrorOf(errno);
      return kInvalidPort;
    }
    // Exclusive like a Win32 COM port: TIOCEXCL keeps out later opens, the lock keeps out other programs
    // that honour it (TIOCEXCL does not stop root).
    if (!::isatty(fd)) {
      error = {TPortFailure::NotSerial, ENOTTY};
    } else if (::ioctl(fd, TIOCEXCL) != 0) {
      error = ErrorOf(errno);
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = errno == EWOULDBLOCK ? TPortError{TPortFailure::Busy, errno} : ErrorOf(errno);
    } else {
      std::lock_guard<std::mutex> lock(FMutex);
      FPorts[fd] = TTimeouts{};
      return static_cast<TPortHandle>(fd);
    }
    ::close(fd);
    return kInvalidPort;
  }

  bool SetLine(TPortHandle h, const TLineSettings& s) override {
    int fd;
    if (!Known(h, fd)) return false;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    speed_t speed;
    if (!BaudToSpeed(s.BaudRate, speed)) return false;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    switch (s.ByteSize) {
      case 5:
        tio.c_cflag |= CS5;
        break;
      case 6:
        tio.c_cflag |= CS6;
        break;
      case 7:
        tio.c_cflag |= CS7;
        break;
      case 8:
        tio.c_cflag |= CS8;
        break;
      default:
        return false;
    }
    switch (s.Parity) {  // NOPARITY, ODDPARITY, EVENPARITY; mark and space have no termios form
      case 0:
        break;
      case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        tio.c_cflag |= PARENB;
        break;
      default:
        return false;
    }
    switch (s.StopBits) {  // ONESTOPBIT, TWOSTOPBITS; 1.5 has no termios form
      case 0:
        break;
      case 2:
        tio.c_cflag |= CSTOPB;
        break;
      default:
        return false;
    }
    if (s.fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    if (s.fOutX) tio.c_iflag |= IXON;
    if (s.fInX) tio.c_iflag |= IXOFF;
    if (s.fParity) tio.c_iflag |= INPCK;
    // The descriptor is non-blocking and the deadlines are kept here. VMIN 1 (not 0) makes an empty read
    // fail with EAGAIN, so that a read of 0 bytes can only mean a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    AskLowLatency(fd);
    return true;
  }

  bool SetQueues(TPortHandle h, uint32_t, uint32_t) override {
    int fd;
    return Known(h, fd);  // the tty layer sizes its own buffers
  }

  bool SetTimeouts(TPortHandle h, const TTimeouts& timeouts) override {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FPorts.find(FdOf(h));
    if (it == FPorts.end()) return false;
    it->second = timeouts;
    return true;
  }

  bool RaiseDtr(TPortHandle h) override {
    int fd;
    if (!Known(h, fd)) return false;
    int bits = TIOCM_DTR;
    if (::ioctl(fd, TIOCMBIS, &bits) == 0) return true;
    // A device without modem lines (a pseudo-terminal, some USB adapters) has no DTR to raise; that is not
    // an error of the port. A real failure (EIO, a vanished device) is.
    return errno == ENOTTY || errno == EINVAL;
  }

  bool ClearErrors(TPortHandle h) override {
    // The tty layer keeps no sticky error state that would block I/O as Win32 does.
    int fd;
    return Known(h, fd) && ::fcntl(fd, F_GETFD) != -1;
  }

  bool Purge(TPortHandle h) override {
    int fd;
    return Known(h, fd) && ::tcflush(fd, TCIOFLUSH) == 0;
  }

  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override {
    written = 0;
    int fd;
    TTimeouts t;
    if (!Known(h, fd, &t)) return false;
    const uint64_t totalMs =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    const bool unlimited = t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0;
    const auto deadline = TSteady::now() + std::chrono::milliseconds(totalMs);
    while (written < count) {
      const ssize_t n = ::write(fd, data + written, count - written);
      if (n > 0) {
        written += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      const int wait = unlimited ? -1 : MsUntil(deadline);
      if (!unlimited && wait == 0) break;
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, wait);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
    }
    return true;
  }

  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override {
    got = 0;
    int fd;
    TTimeouts t;
    if (!Known(h, fd, &t)) return false;
    const uint64_t totalMs =
        static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    const auto deadline = TSteady::now() + std::chrono::milliseconds(totalMs);
    while (got < count) {
      const ssize_t n = ::read(fd, data + got, count - got);
      if (n > 0) {
        got += static_cast<uint32_t>(n);
        continue;
      }
      if (n == 0) return false;  // end of file: the other side hung up
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;  // EIO after a hang-up included
      const int wait = MsUntil(deadline);
      if (wait == 0) break;
      pollfd p{fd, POLLIN, 0};
      const int r = ::poll(&p, 1, wait);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (r == 0) continue;  // the deadline is checked again above
      if (p.revents & (POLLERR | POLLNVAL)) return false;
      // POLLHUP without data to read is a hang-up; with data the next read() takes it first.
      if ((p.revents & POLLHUP) && !(p.revents & POLLIN)) return false;
    }
    return true;
  }

  void Close(TPortHandle h) override {
    int fd;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      fd = FdOf(h);
      if (FPorts.erase(fd) == 0) return;
    }
    RestoreLowLatency(fd);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);  // releases the lock as well
  }

 private:
  static int FdOf(TPortHandle h) { return h > 0x7FFFFFFF ? -1 : static_cast<int>(h); }

  // Only handles this object opened are used; anything else fails like an invalid handle.
  bool Known(TPortHandle h, int& fd, TTimeouts* timeouts = nullptr) {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FPorts.find(FdOf(h));
    if (it == FPorts.end()) return false;
    fd = it->first;
    if (timeouts != nullptr) *timeouts = it->second;
    return true;
  }

  // Frames are 8 bytes at 9600 baud: the driver's default batching would add latency to every exchange.
  // Not every driver knows the request, and it is only a wish. The port's own setting is given back when
  // it closes: ftdi_sio keeps the flag (and reports and forces a 1 ms latency timer) until the adapter is
  // unplugged, so a timer set afterwards would read back as 1 ms.
  void AskLowLatency([[maybe_unused]] int fd) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY) != 0) return;
    ss.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &ss) != 0) return;
    std::lock_guard<std::mutex> lock(FMutex);
    FLowLatencyAsked.insert(fd);
#endif
  }

  void RestoreLowLatency([[maybe_unused]] int fd) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FLowLatencyAsked.erase(fd) == 0) return;
    }
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
    ss.flags &= ~ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &ss);
#endif
  }

  std::mutex FMutex;
  std::map<int, TTimeouts> FPorts;
  std::set<int> FLowLatencyAsked;  // ports whose low-latency flag this backend set
  TOpenErrors FOpenErrors;
};

}  // namespace

IPortOps& PlatformPortOps() {
  static TPosixPortOps ops;
  return ops;
}
