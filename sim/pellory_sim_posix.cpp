// pellory-sim: serves the simulated logger on a pseudo-terminal, so the command-line tool (or anything
// that speaks to a serial port) can run a complete update without hardware.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "sim/uSimLogger.h"

namespace {

volatile sig_atomic_t StopRequested = 0;

void OnSignal(int) {
  StopRequested = 1;
}

using TSteady = std::chrono::steady_clock;

struct TOptions {
  TSimConfig Config;
  bool Once = false;
  std::string StatsFile;
  std::string ProgrammedFile;
};

const char* const kUsage =
    "usage: pellory-sim [options]\n"
    "Serves a simulated data logger with its SD-card controller on a pseudo-terminal. The first line\n"
    "of standard output is the terminal's path; give it to the host as the port name.\n"
    "\n"
    "Numbers are decimal or hexadecimal with 0x.\n"
    "  --class N                 logger class (default 0x6605)\n"
    "  --version N               logger version, major in the high byte (default 0x0700)\n"
    "  --platform N              controller platform code (default 25)\n"
    "  --print N                 controller print code (default 52)\n"
    "  --pace BAUD               take the wire time of every frame at BAUD, in each direction\n"
    "  --latency-ms N            hold every answer N ms after its last byte, as a USB serial adapter\n"
    "                            with that latency timer does (0 to 255, default 0: no adapter)\n"
    "  --once                    end when the reset frame of a complete run arrives\n"
    "  --stats FILE              write the host's turnaround times there instead of to stderr\n"
    "  --programmed FILE         at the end, write what the controller holds there: one line per\n"
    "                            record, its address and its 64 data bytes in hex\n"
    "Faults (all choices follow --random-key):\n"
    "  --random-key N            start value of the fault generator (default 1)\n"
    "  --lost-ppm N              answers lost, per million answered frames\n"
    "  --short-ppm N             answers cut short\n"
    "  --bad-crc-ppm N           answers with a corrupted CRC\n"
    "  --quor-bit-ppm N          answers with bit 0x20 set in byte 0\n"
    "  --probe-bits N            ORed into byte 0 of the probe answer\n"
    "  --identity-request-status N, --identity-answer-status N, --identity-wrong-layout\n"
    "  --command49-status N\n"
    "  --register11-status N, --register11-refusals K   data record hand-over refused K times\n"
    "  --register10-status N, --register10-refusals K   read-back request refused K times\n"
    "  --command50-status N, --command50-refusals K     command 50 refused K times\n"
    "                            (a refusal count without a status refuses with status 0x1A;\n"
    "                             a status without a count refuses every time)\n"
    "  --readback-corruptions K  the first K read-backs come back with one byte changed\n"
    "  --silent-after N          no answer after N frames\n"
    "  --vanish-after N          close the terminal after N frames, as if the logger was unplugged\n"
    "  --help                    this text\n";

bool ParseNumber(const char* text, uint64_t max, uint64_t& value) {
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (*text == '\0' || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, base);
  if (errno != 0 || *end != '\0' || v > max) return false;
  value = v;
  return true;
}

void WriteProgrammed(const TSimLogger& logger, const std::string& file) {
  FILE* f = std::fopen(file.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "pellory-sim: cannot write %s\n", file.c_str());
    return;
  }
  for (const auto& [address, data] : logger.Programmed()) {
    std::fprintf(f, "%04X ", address);
    for (uint8_t b : data) std::fprintf(f, "%02X", b);
    std::fputc('\n', f);
  }
  std::fclose(f);
}

// False with a message on stderr when the command line cannot be used.
bool ParseOptions(int argc, char** argv, TOptions& opt, bool& help) {
  TSimFaults& f = opt.Config.Faults;
  bool r11Status = false, r10Status = false, c50Status = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      help = true;
      return true;
    }
    if (name == "--once") {
      opt.Once = true;
      continue;
    }
    if (name == "--identity-wrong-layout") {
      f.IdentityWrongLayout = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pellory-sim: %s needs a value (see --help)\n", name.c_str());
      return false;
    }
    const char* arg = argv[++i];
    if (name == "--stats") {
      opt.StatsFile = arg;
      continue;
    }
    if (name == "--programmed") {
      opt.ProgrammedFile = arg;
      continue;
    }
    struct TNumeric {
      const char* Name;
      uint64_t Max;
      void (*Set)(TOptions&, uint64_t);
    };
    static const TNumeric kNumeric[] = {
        {"--class", 0xFFFF, [](TOptions& o, uint64_t v) { o.Config.LoggerClass = static_cast<uint16_t>(v); }},
        {"--version", 0xFFFF,
         [](TOptions& o, uint64_t v) { o.Config.LoggerVersion = static_cast<uint16_t>(v); }},
        {"--platform", 0xFFFF, [](TOptions& o, uint64_t v) { o.Config.Platform = static_cast<uint16_t>(v); }},
        {"--print", 0xFFFF, [](TOptions& o, uint64_t v) { o.Config.Print = static_cast<uint16_t>(v); }},
        {"--pace", 4000000, [](TOptions& o, uint64_t v) { o.Config.PaceBaud = static_cast<uint32_t>(v); }},
        {"--latency-ms", 255, [](TOptions& o, uint64_t v) { o.Config.LatencyMs = static_cast<uint32_t>(v); }},
        {"--random-key", std::numeric_limits<uint64_t>::max(),
         [](TOptions& o, uint64_t v) { o.Config.Faults.RandomKey = v; }},
        {"--lost-ppm", 1000000,
         [](TOptions& o, uint64_t v) { o.Config.Faults.LostPpm = static_cast<uint32_t>(v); }},
        {"--short-ppm", 1000000,
         [](TOptions& o, uint64_t v) { o.Config.Faults.ShortPpm = static_cast<uint32_t>(v); }},
        {"--bad-crc-ppm", 1000000,
         [](TOptions& o, uint64_t v) { o.Config.Faults.BadCrcPpm = static_cast<uint32_t>(v); }},
        {"--quor-bit-ppm", 1000000,
         [](TOptions& o, uint64_t v) { o.Config.Faults.QuorBitPpm = static_cast<uint32_t>(v); }},
        {"--probe-bits", 0xFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.ProbeStatusBits = static_cast<uint8_t>(v); }},
        {"--identity-request-status", 0xFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.IdentityRequestStatus = static_cast<uint8_t>(v); }},
        {"--identity-answer-status", 0xFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.IdentityAnswerStatus = static_cast<uint8_t>(v); }},
        {"--command49-status", 0xFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.Command49Status = static_cast<uint8_t>(v); }},
        {"--register11-status", 0xFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.Register11Status = static_cast<uint8_t>(v); }},
        {"--register11-refusals", 0xFFFFFFFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.Register11Refusals = static_cast<uint32_t>(v); }},
        {"--register10-status", 0xFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.Register10Status = static_cast<uint8_t>(v); }},
        {"--register10-refusals", 0xFFFFFFFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.Register10Refusals = static_cast<uint32_t>(v); }},
        {"--command50-status", 0xFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.Command50Status = static_cast<uint8_t>(v); }},
        {"--command50-refusals", 0xFFFFFFFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.Command50Refusals = static_cast<uint32_t>(v); }},
        {"--readback-corruptions", 0xFFFFFFFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.ReadBackCorruptions = static_cast<uint32_t>(v); }},
        {"--silent-after", 0xFFFFFFFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.SilentAfterFrames = static_cast<uint32_t>(v); }},
        {"--vanish-after", 0xFFFFFFFF,
         [](TOptions& o, uint64_t v) { o.Config.Faults.VanishAfterFrames = static_cast<uint32_t>(v); }},
    };
    const TNumeric* found = nullptr;
    for (const auto& n : kNumeric)
      if (name == n.Name) found = &n;
    if (found == nullptr) {
      std::fprintf(stderr, "pellory-sim: unknown option %s (see --help)\n", name.c_str());
      return false;
    }
    uint64_t value = 0;
    if (!ParseNumber(arg, found->Max, value)) {
      std::fprintf(stderr, "pellory-sim: %s takes a number up to %llu, not \"%s\"\n", name.c_str(),
                   static_cast<unsigned long long>(found->Max), arg);
      return false;
    }
    found->Set(opt, value);
    r11Status |= name == "--register11-status";
    r10Status |= name == "--register10-status";
    c50Status |= name == "--command50-status";
  }
  constexpr uint8_t kDefaultRefusal = 0x1A;
  if (f.Register11Refusals != 0 && !r11Status) f.Register11Status = kDefaultRefusal;
  if (f.Register10Refusals != 0 && !r10Status) f.Register10Status = kDefaultRefusal;
  if (f.Command50Refusals != 0 && !c50Status) f.Command50Status = kDefaultRefusal;
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t count) {
  while (count > 0) {
    const ssize_t n = write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// One sleep to an absolute deadline per exchange: each relative sleep oversleeps a little, and two of
// them per frame added up to several percent of a paced run. `holdMs` is the adapter's hold after the
// last byte.
void SleepWireUntil(TSteady::time_point start, uint32_t baud, size_t bytes, uint32_t holdMs = 0) {
  if (baud == 0 && holdMs == 0) return;
  const uint64_t wireUs = baud == 0 ? 0 : static_cast<uint64_t>(bytes) * 10u * 1000000u / baud;
  std::this_thread::sleep_until(start + std::chrono::microseconds(wireUs + holdMs * 1000ull));
}

void ReportStats(std::vector<int64_t> turnaround, const std::string& file) {
  std::string text;
  if (turnaround.empty()) {
    text = "turnaround: count 0\n";
  } else {
    std::sort(turnaround.begin(), turnaround.end());
    const size_t n = turnaround.size();
    const int64_t median = turnaround[n / 2];
    const int64_t p99 = turnaround[std::min(n - 1, (n * 99 + 99) / 100 - 1)];
    char line[160];
    std::snprintf(line, sizeof line, "turnaround: count %zu median_us %lld p99_us %lld max_us %lld\n", n,
                  static_cast<long long>(median), static_cast<long long>(p99),
                  static_cast<long long>(turnaround.back()));
    text = line;
  }
  if (file.empty()) {
    std::fputs(text.c_str(), stderr);
    return;
  }
  std::ofstream out(file);
  out << text;
  if (!out) std::fprintf(stderr, "pellory-sim: cannot write %s\n", file.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  TOptions opt;
  bool help = false;
  if (!ParseOptions(argc, argv, opt, help)) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::fprintf(stderr, "pellory-sim: no pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  const char* slaveName = ptsname(master);
  if (slaveName == nullptr) {
    std::fprintf(stderr, "pellory-sim: ptsname: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string slavePath = slaveName;
  // Our own slave descriptor keeps the terminal alive while no host has it open: without it the
  // master would see a hang-up every time a run closes the port.
  const int keepSlave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  if (keepSlave < 0) {
    std::fprintf(stderr, "pellory-sim: cannot open %s: %s\n", slavePath.c_str(), std::strerror(errno));
    return 1;
  }
  termios tio{};
  if (tcgetattr(keepSlave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(keepSlave, TCSANOW, &tio);
  }
  if (tcgetattr(master, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);

  TSimLogger logger(opt.Config);
  const uint32_t pace = opt.Config.PaceBaud;
  std::vector<uint8_t> partial;
  TSteady::time_point lastByte{};
  TSteady::time_point answerWritten{};
  bool awaitingNext = false;
  std::vector<int64_t> turnaround;
  // A frame whose bytes stop coming for this long is garbage (a host that gave up half-way); the next
  // byte starts a new frame.
  constexpr auto kResyncGap = std::chrono::milliseconds(50);
  int rc = 0;

  while (!StopRequested) {
    pollfd pfd{master, POLLIN, 0};
    const int ready = poll(&pfd, 1, 100);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "pellory-sim: poll: %s\n", std::strerror(errno));
      rc = 1;
      break;
    }
    if (ready == 0) {
      ioctl(keepSlave, TIOCNXCL);
      continue;
    }
    uint8_t buf[256];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      std::fprintf(stderr, "pellory-sim: read: %s\n", std::strerror(errno));
      rc = 1;
      break;
    }
    const auto now = TSteady::now();
    if (!partial.empty() && now - lastByte > kResyncGap) partial.clear();
    lastByte = now;

    bool stop = false;
    for (ssize_t i = 0; i < n && !stop; ++i) {
      partial.push_back(buf[i]);
      if (partial.size() < 8) continue;
      if (awaitingNext) {
        turnaround.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(TSteady::now() - answerWritten).count());
        awaitingNext = false;
      }
      const auto frameDone = TSteady::now();
      uint8_t answer[8];
      uint32_t answerLen = 0;
      const bool answered = logger.OnFrame(partial.data(), answer, answerLen);
      partial.clear();
      // A host's exclusive mode (TIOCEXCL) outlives its close on a pseudo-terminal, whose terminal lives as
      // long as the master is open, so the next run (a non-root one) could not open it. It is cleared after
      // every frame and whenever the line is quiet; hosts that lock the port (flock) still keep each other
      // out.
      ioctl(keepSlave, TIOCNXCL);
      if (logger.Vanished()) {
        std::fprintf(stderr, "pellory-sim: vanishing after %u frames\n", logger.FramesReceived());
        stop = true;
        break;
      }
      if (!answered || answerLen == 0) SleepWireUntil(frameDone, pace, 8);
      if (answered && answerLen > 0) {
        // The whole answer in one write once the adapter would pass it on, as its USB packet reaches the
        // host in one piece: the host's poll wakes once for it, and an answer held beyond the host's read
        // timeout is dropped by the purge before the frame goes again, as with a real adapter.
        SleepWireUntil(frameDone, pace, 8 + answerLen, AdapterHoldMs(answerLen, opt.Config.LatencyMs));
        if (!WriteAll(master, answer, answerLen)) {
          std::fprintf(stderr, "pellory-sim: write: %s\n", std::strerror(errno));
          rc = 1;
          stop = true;
          break;
        }
        answerWritten = TSteady::now();
        awaitingNext = true;
      }
      if (opt.Once && logger.ResetReceived()) stop = true;
    }
    if (stop) break;
  }

  std::fprintf(stderr, "pellory-sim: %u frames, %zu records programmed, update %s, reset %s\n",
               logger.FramesReceived(), logger.Programmed().size(),
               logger.UpdateFinished() ? "finished" : "not finished",
               logger.ResetReceived() ? "received" : "not received");
  ReportStats(std::move(turnaround), opt.StatsFile);
  if (!opt.ProgrammedFile.empty()) WriteProgrammed(logger, opt.ProgrammedFile);
  close(keepSlave);
  close(master);
  return rc;
}
