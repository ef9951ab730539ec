// pellory-bench: runs complete updates through the real serial backend (termios) against pellory-sim on
// a pseudo-terminal, once paced at the wire speed and once unpaced, and compares the wall time with the
// time the wire and the procedure's fixed pauses need at least.
//
//   pellory-bench [--image 1|2|3] [--pace BAUD] [--paced-only | --unpaced-only] [--sim PATH]
//   pellory-bench --latency-ms N [--image 1|2|3] [--pace BAUD] [--sim PATH]
//   pellory-bench --station N [--image 1|2|3] [--pace BAUD] [--sim PATH] [--cli PATH]
//
// With --station, one "pellory-cli station" updates N simulated loggers, each on its own pseudo-terminal,
// and each run and the whole station are compared with one run's wire-time limit. With --latency-ms, the
// simulator holds every answer as a USB adapter with that latency timer does, and the run is compared with
// the same run at 1 ms: what the timer costs a complete update.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/uCommThread.h"
#include "device/uEventTexts.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"

extern char** environ;

namespace {

// Pauses of a complete run: two wake pauses, the controller's wake-up, the pause after command 50 and the
// settling time after the last register access.
constexpr double kFixedPausesMs = 2 * 100 + 2000 + 500 + 2000;
constexpr double kAnsweredFrameBytes = 16;  // 8 out, 8 back
constexpr double kWriteOnlyFrameBytes = 8;
constexpr double kBitsPerByte = 10;  // start, eight data, stop

const char* const kUsage =
    "usage: pellory-bench [--image N] [--pace BAUD] [--paced-only | --unpaced-only] [--sim PATH]\n"
    "  --image N      the embedded image the simulated controller fits (1 to 3, default 3)\n"
    "  --pace BAUD    wire speed of the paced run (default 9600)\n"
    "  --latency-ms N paced runs behind an adapter with that latency timer and with 1 ms (1 to 255)\n"
    "  --sim PATH     the simulator program (default: the one built with this program)\n"
    "  --station N    N loggers at once through one 'pellory-cli station' (paced only)\n"
    "  --cli PATH     pellory-cli for --station (default: the one built with this program)\n";

struct TMeasure {
  bool Ok = false;
  std::string Failure;
  uint32_t FinalCode = 0;
  int32_t FinalValue = 0;
  double WallMs = 0;
  double CpuMs = 0;         // this process: user + system
  double SimCpuMs = 0;      // the simulator
  long PeakKb = 0;          // this process
  uint64_t Frames = 0;      // as the simulator counted them
  uint64_t Answered = 0;    // exchanges with an answer
  double TurnMedianUs = 0;  // answer written to the next frame complete, at the simulator
  double TurnP99Us = 0;
  double TurnMaxUs = 0;
  double HostMeanUs = 0;  // the host's share of an exchange, on its own clock
  double HostP99Us = 0;
  double HostTotalMs = 0;
  double OversleptMs = 0;  // pauses that took longer than asked
  uint32_t Baud = 0;
  uint32_t LatencyMs = 0;  // the simulated adapter's latency timer

  double HoldMs() const { return static_cast<double>(Answered) * LatencyMs; }
  uint64_t WriteOnly() const { return Frames > Answered ? Frames - Answered : 0; }
  double LimitMs() const {
    if (Baud == 0) return kFixedPausesMs;
    return (Answered * kAnsweredFrameBytes + WriteOnly() * kWriteOnlyFrameBytes) * kBitsPerByte * 1000.0 /
               Baud +
           kFixedPausesMs;
  }
};

using TSteady = std::chrono::steady_clock;

double UsSince(TSteady::time_point from, TSteady::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

// The real clock, noting how long each pause really took, so that pauses can be told apart from work.
class TTimedClock : public IClock {
 public:
  void Sleep(uint32_t ms) override {
    const auto from = TSteady::now();
    RealClock().Sleep(ms);
    const double took = UsSince(from, TSteady::now());
    FPausedUs += took;
    FOversleptUs += took - ms * 1000.0;
  }
  uint64_t NowMs() override { return RealClock().NowMs(); }
  double PausedUs() const { return FPausedUs; }
  double OversleptUs() const { return FOversleptUs; }

 private:
  double FPausedUs = 0;
  double FOversleptUs = 0;
};

// The real port, timing the host's own share of each exchange on the host's clock: from the moment a
// complete answer was read to the moment the next frame is handed to write, pauses taken out.
class TTimedPort : public IPortOps {
 public:
  TTimedPort(IPortOps& inner, const TTimedClock& clock) : FInner(inner), FClock(clock) {}
  TPortHandle Open(const std::string& name) override { return FInner.Open(name); }
  bool SetLine(TPortHandle h, const TLineSettings& s) override { return FInner.SetLine(h, s); }
  bool SetQueues(TPortHandle h, uint32_t in, uint32_t out) override { return FInner.SetQueues(h, in, out); }
  bool SetTimeouts(TPortHandle h, const TTimeouts& t) override { return FInner.SetTimeouts(h, t); }
  bool RaiseDtr(TPortHandle h) override { return FInner.RaiseDtr(h); }
  bool ClearErrors(TPortHandle h) override { return FInner.ClearErrors(h); }
  bool Purge(TPortHandle h) override { return FInner.Purge(h); }
  bool Write(TPortHandle h, const uint8_t* data, uint32_t count, uint32_t& written) override {
    if (FAnswerRead) {
      FHostUs.push_back(UsSince(FReadDone, TSteady::now()) - (FClock.PausedUs() - FPausedAtRead));
      FAnswerRead = false;
    }
    return FInner.Write(h, data, count, written);
  }
  bool Read(TPortHandle h, uint8_t* data, uint32_t count, uint32_t& got) override {
    const bool ok = FInner.Read(h, data, count, got);
    if (ok && got == count) {
      FReadDone = TSteady::now();
      FPausedAtRead = FClock.PausedUs();
      FAnswerRead = true;
    }
    return ok;
  }
  void Close(TPortHandle h) override { FInner.Close(h); }
  const std::vector<double>& HostUs() const { return FHostUs; }

 private:
  IPortOps& FInner;
  const TTimedClock& FClock;
  bool FAnswerRead = false;
  TSteady::time_point FReadDone{};
  double FPausedAtRead = 0;
  std::vector<double> FHostUs;
};

double Ms(const timeval& t) {
  return t.tv_sec * 1000.0 + t.tv_usec / 1000.0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool NumberAfter(const std::string& text, const std::string& label, double& value) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return false;
  value = std::strtod(text.c_str() + at + label.size(), nullptr);
  return true;
}

TMeasure RunOnce(const std::string& simPath, uint32_t baud, uint32_t latencyMs, const TBl3FileHeader& image) {
  TMeasure m;
  m.Baud = baud;
  m.LatencyMs = latencyMs;
  char dir[] = "/tmp/pellory-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    m.Failure = "no temporary folder";
    return m;
  }
  const std::string stats = std::string(dir) + "/stats";
  const std::string log = std::string(dir) + "/sim.log";

  int out[2];
  if (pipe(out) != 0) {
    m.Failure = "no pipe";
    return m;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> args = {simPath,      "--once",
                                   "--stats",    stats,
                                   "--platform", std::to_string(image.quor_platform),
                                   "--print",    std::to_string(image.quor_print)};
  if (baud != 0) {
    args.push_back("--pace");
    args.push_back(std::to_string(baud));
  }
  if (latencyMs != 0) {
    args.push_back("--latency-ms");
    args.push_back(std::to_string(latencyMs));
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t sim = 0;
  const int spawned = posix_spawn(&sim, simPath.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    m.Failure = "cannot start " + simPath + ": " + std::strerror(spawned);
    return m;
  }
  // The first line the simulator prints is its terminal's path.
  std::string port;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') port += c;
  close(out[0]);
  if (port.empty()) {
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    m.Failure = "the simulator named no terminal";
    return m;
  }

  SelectedImage = -1;
  CheckClass = true;
  ReadInfoOnly = false;
  CancelRequested = false;
  TEventQueue events;
  TTimedClock clock;
  TTimedPort timedPort(PlatformPortOps(), clock);
  TWorkerEnv env{&timedPort, &clock, &events};
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto started = std::chrono::steady_clock::now();
  (new TSDCommThread(1, TCmd::tCMD0, port, env))->Start();
  TWorkerEvent ev;
  do {
    ev = events.Wait();
  } while (ev.code != evCompleted && ev.code != evFailed && ev.code != evCommFailure);
  const auto ended = std::chrono::steady_clock::now();
  WaitForWorkers();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  m.FinalCode = ev.code;
  m.FinalValue = ev.value;
  m.WallMs = std::chrono::duration<double, std::milli>(ended - started).count();
  m.CpuMs = Ms(after.ru_utime) - Ms(before.ru_utime) + Ms(after.ru_stime) - Ms(before.ru_stime);
  m.PeakKb = after.ru_maxrss;
  std::vector<double> host = timedPort.HostUs();
  if (!host.empty()) {
    std::sort(host.begin(), host.end());
    for (double us : host) m.HostTotalMs += us / 1000;
    m.HostMeanUs = m.HostTotalMs * 1000 / static_cast<double>(host.size());
    m.HostP99Us = host[std::min(host.size() - 1, (host.size() * 99 + 99) / 100 - 1)];
  }
  m.OversleptMs = clock.OversleptUs() / 1000;

  // With --once the simulator ends at the reset frame; give it a moment, then stop it.
  int status = 0;
  bool exited = false;
  for (int i = 0; i < 100 && !exited; ++i) {
    exited = waitpid(sim, &status, WNOHANG) == sim;
    if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!exited) {
    kill(sim, SIGTERM);
    waitpid(sim, &status, 0);
  }
  rusage children{};
  getrusage(RUSAGE_CHILDREN, &children);
  m.SimCpuMs = Ms(children.ru_utime) + Ms(children.ru_stime);

  const std::string statText = ReadFile(stats);
  const std::string logText = ReadFile(log);
  double frames = 0, count = 0;
  NumberAfter(logText, "pellory-sim: ", frames);
  NumberAfter(statText, "count ", count);
  NumberAfter(statText, "median_us ", m.TurnMedianUs);
  NumberAfter(statText, "p99_us ", m.TurnP99Us);
  NumberAfter(statText, "max_us ", m.TurnMaxUs);
  m.Frames = static_cast<uint64_t>(frames);
  m.Answered = static_cast<uint64_t>(count);
  std::remove(stats.c_str());
  std::remove(log.c_str());
  rmdir(dir);

  m.Ok = ev.code == evCompleted && m.Answered > 0;
  if (!m.Ok) {
    m.Failure = "the run ended with event " + std::to_string(ev.code) + " value " + std::to_string(ev.value);
    if (!logText.empty()) m.Failure += "; simulator: " + logText;
  }
  return m;
}

void PrintTable(const std::vector<TMeasure>& runs) {
  auto row = [&](const char* label, auto cell) {
    std::printf("  %-38s", label);
    for (const TMeasure& m : runs) std::printf(" %18s", cell(m).c_str());
    std::printf("\n");
  };
  auto fmt = [](const char* f, double v) {
    char text[64];
    std::snprintf(text, sizeof text, f, v);
    return std::string(text);
  };
  row("",
      [](const TMeasure& m) { return m.Baud ? "paced " + std::to_string(m.Baud) : std::string("unpaced"); });
  const bool adapter = std::any_of(runs.begin(), runs.end(), [](const TMeasure& m) { return m.LatencyMs; });
  if (adapter) {
    row("adapter's latency timer (ms)", [](const TMeasure& m) { return std::to_string(m.LatencyMs); });
  }
  row("frames answered / write-only",
      [](const TMeasure& m) { return std::to_string(m.Answered) + " / " + std::to_string(m.WriteOnly()); });
  row("wall time (s)", [&](const TMeasure& m) { return fmt("%.3f", m.WallMs / 1000); });
  row("wire-time limit incl. 4.7 s pauses (s)",
      [&](const TMeasure& m) { return fmt("%.3f", m.LimitMs() / 1000); });
  row("wall / limit", [&](const TMeasure& m) { return fmt("%.4f", m.WallMs / m.LimitMs()); });
  row("above the limit per exchange (ms)", [&](const TMeasure& m) {
    return fmt("%.3f", (m.WallMs - m.LimitMs()) / static_cast<double>(std::max<uint64_t>(1, m.Frames)));
  });
  row("turnaround at the simulator median (ms)",
      [&](const TMeasure& m) { return fmt("%.3f", m.TurnMedianUs / 1000); });
  row("turnaround at the simulator p99 (ms)",
      [&](const TMeasure& m) { return fmt("%.3f", m.TurnP99Us / 1000); });
  row("host share per exchange mean (ms)",
      [&](const TMeasure& m) { return fmt("%.3f", m.HostMeanUs / 1000); });
  row("host share per exchange p99 (ms)", [&](const TMeasure& m) { return fmt("%.3f", m.HostP99Us / 1000); });
  row("above the limit: host share (s)",
      [&](const TMeasure& m) { return fmt("%.3f", m.HostTotalMs / 1000); });
  row("above the limit: pauses overslept (s)",
      [&](const TMeasure& m) { return fmt("%.3f", m.OversleptMs / 1000); });
  if (adapter) {
    row("above the limit: adapter's hold (s)",
        [&](const TMeasure& m) { return fmt("%.3f", m.HoldMs() / 1000); });
  }
  row("above the limit: simulator and pty (s)", [&](const TMeasure& m) {
    return fmt("%.3f", (m.WallMs - m.LimitMs() - m.HostTotalMs - m.OversleptMs - m.HoldMs()) / 1000);
  });
  row("host CPU (s)", [&](const TMeasure& m) { return fmt("%.3f", m.CpuMs / 1000); });
  row("host CPU / wall (%)", [&](const TMeasure& m) { return fmt("%.2f", 100 * m.CpuMs / m.WallMs); });
  row("simulator CPU / wall (%)",
      [&](const TMeasure& m) { return fmt("%.2f", 100 * m.SimCpuMs / m.WallMs); });
  row("host peak memory (MB)", [&](const TMeasure& m) { return fmt("%.1f", m.PeakKb / 1024.0); });
}

struct TSimProcess {
  pid_t Pid = 0;
  std::string Port;
  std::string Stats;
  std::string Log;
};

// Starts pellory-sim paced at `baud` for `image`; its terminal in Port (empty when it failed).
TSimProcess StartSim(const std::string& simPath, uint32_t baud, const TBl3FileHeader& image,
                     const std::string& dir, int n) {
  TSimProcess sim;
  sim.Stats = dir + "/stats" + std::to_string(n);
  sim.Log = dir + "/sim" + std::to_string(n) + ".log";
  int out[2];
  if (pipe(out) != 0) return sim;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, sim.Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> args = {simPath,      "--once",
                                   "--stats",    sim.Stats,
                                   "--platform", std::to_string(image.quor_platform),
                                   "--print",    std::to_string(image.quor_print),
                                   "--pace",     std::to_string(baud)};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&sim.Pid, simPath.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    sim.Pid = 0;
    return sim;
  }
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') sim.Port += c;
  close(out[0]);
  return sim;
}

// The peak resident memory of a running process, from /proc.
long PeakKbOf(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  double kb = 0;
  NumberAfter(status, "VmHWM:", kb);
  return static_cast<long>(kb);
}

// User plus system CPU of a running process so far, from /proc (its children not counted).
double CpuMsOf(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::stringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n >= 14) ticks += std::strtod(field.c_str(), nullptr);
  }
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int StationBench(const std::string& simPath, const std::string& cliPath, uint32_t baud, int32_t imageIndex,
                 int count) {
  TBl3FileHeader image;
  GetImageHeader(imageIndex, image);
  char dir[] = "/tmp/pellory-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::vector<TSimProcess> sims;
  std::vector<std::string> args{cliPath, "station", "--yes", "--summary", std::string(dir) + "/summary.csv"};
  for (int i = 0; i < count; ++i) {
    sims.push_back(StartSim(simPath, baud, image, dir, i));
    if (sims.back().Port.empty()) {
      std::fprintf(stderr, "pellory-bench: the simulator named no terminal\n");
      for (const TSimProcess& s : sims) {
        if (s.Pid > 0) kill(s.Pid, SIGTERM);
      }
      return 1;
    }
    args.push_back("--port");
    args.push_back(sims.back().Port);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string stationOut = std::string(dir) + "/station.out";
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stationOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t station = 0;
  const auto started = TSteady::now();
  const int spawned = posix_spawn(&station, cliPath.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "pellory-bench: cannot start %s: %s\n", cliPath.c_str(), std::strerror(spawned));
    return 1;
  }
  // The station's own peak, read while it runs: wait4 would give the largest of it and its children.
  long stationPeakKb = 0;
  double stationCpuMs = 0;
  int status = 0;
  rusage usage{};
  for (;;) {
    stationPeakKb = std::max(stationPeakKb, PeakKbOf(station));
    stationCpuMs = std::max(stationCpuMs, CpuMsOf(station));
    const pid_t done = wait4(station, &status, WNOHANG, &usage);
    if (done == station) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const double wallMs = std::chrono::duration<double, std::milli>(TSteady::now() - started).count();
  // The station's usage with that of every run it reaped.
  const double cpuMs = Ms(usage.ru_utime) + Ms(usage.ru_stime);

  const std::string summary = ReadFile(std::string(dir) + "/summary.csv");
  std::printf("pellory-bench --station %d: image %d (V%d.%02d), paced %u baud, %u cores\n", count, imageIndex,
              image.quor_verH, image.quor_verL, baud, std::thread::hardware_concurrency());
  std::printf("  %-24s %10s %10s %8s  %s\n", "port", "wall (s)", "limit (s)", "w/limit", "result");
  double maxLimitMs = 0;
  bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (TSimProcess& sim : sims) {
    int simStatus = 0;
    for (int i = 0; i < 100 && waitpid(sim.Pid, &simStatus, WNOHANG) != sim.Pid; ++i) {
      if (i == 99) {
        kill(sim.Pid, SIGTERM);
        waitpid(sim.Pid, &simStatus, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    TMeasure m;
    m.Baud = baud;
    double frames = 0, answered = 0;
    NumberAfter(ReadFile(sim.Log), "pellory-sim: ", frames);
    NumberAfter(ReadFile(sim.Stats), "count ", answered);
    m.Frames = static_cast<uint64_t>(frames);
    m.Answered = static_cast<uint64_t>(answered);
    maxLimitMs = std::max(maxLimitMs, m.LimitMs());
    // The summary row of this port: port, started, finished, seconds, result, ...
    const size_t at = summary.find("\n" + sim.Port + ",");
    double seconds = 0;
    std::string result = "missing";
    if (at != std::string::npos) {
      std::stringstream row(summary.substr(at + 1, summary.find('\n', at + 1) - at - 1));
      std::string cell;
      for (int c = 0; std::getline(row, cell, ','); ++c) {
        if (c == 3) seconds = std::strtod(cell.c_str(), nullptr);
        if (c == 4) result = cell;
      }
    }
    ok = ok && result == "completed";
    std::printf("  %-24s %10.1f %10.3f %8.4f  %s\n", sim.Port.c_str(), seconds, m.LimitMs() / 1000,
                seconds * 1000 / m.LimitMs(), result.c_str());
    std::remove(sim.Log.c_str());
    std::remove(sim.Stats.c_str());
  }
  std::printf("  station wall (s)                         %10.3f\n", wallMs / 1000);
  std::printf("  one run's wire-time limit (s)            %10.3f\n", maxLimitMs / 1000);
  std::printf("  station wall / one run's limit           %10.4f\n", wallMs / maxLimitMs);
  std::printf("  CPU of station and runs (s)              %10.3f\n", cpuMs / 1000);
  std::printf("  CPU of station and runs / wall (%% core)  %10.2f\n", 100 * cpuMs / wallMs);
  std::printf("  CPU of the station alone / wall (%% core)%10.2f\n", 100 * stationCpuMs / wallMs);
  std::printf("  station peak memory (MB)                 %10.1f\n", stationPeakKb / 1024.0);
  std::remove((std::string(dir) + "/summary.csv").c_str());
  std::remove(stationOut.c_str());
  rmdir(dir);
  if (!ok) std::fprintf(stderr, "pellory-bench: not every run completed\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string simPath = PELLORY_SIM_PATH;
  std::string cliPath = PELLORY_CLI_PATH;
  int station = 0;
  int latency = 0;
  int32_t image = 3;
  uint32_t baud = 9600;
  bool paced = true, unpaced = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--paced-only") {
      unpaced = false;
    } else if (arg == "--unpaced-only") {
      paced = false;
    } else if (arg == "--image" && hasValue) {
      image = std::atoi(argv[++i]);
    } else if (arg == "--pace" && hasValue) {
      baud = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--sim" && hasValue) {
      simPath = argv[++i];
    } else if (arg == "--cli" && hasValue) {
      cliPath = argv[++i];
    } else if (arg == "--latency-ms" && hasValue) {
      latency = std::atoi(argv[++i]);
      if (latency < 1 || latency > 255) {
        std::fputs(kUsage, stderr);
        return 2;
      }
    } else if (arg == "--station" && hasValue) {
      station = std::atoi(argv[++i]);
      if (station < 1 || station > 99) {
        std::fputs(kUsage, stderr);
        return 2;
      }
    } else {
      std::fputs(kUsage, arg == "--help" ? stdout : stderr);
      return arg == "--help" ? 0 : 2;
    }
  }
  if (image < 1 || image > ImageCount() || baud == 0 || (!paced && !unpaced)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (station > 0) return StationBench(simPath, cliPath, baud, image, station);
  TBl3FileHeader header;
  GetImageHeader(image, header);
  const int32_t records = GetImageLastLine(image);

  char date[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
  std::printf("pellory-bench: image %d (V%d.%02d, %d records), %u cores, %s\n", image, header.quor_verH,
              header.quor_verL, records, std::thread::hardware_concurrency(), date);
  std::fflush(stdout);

  std::vector<TMeasure> runs;
  if (latency != 0) {
    // What the timer costs: the same paced run behind the adapter as it is and as it could be set.
    runs.push_back(RunOnce(simPath, baud, static_cast<uint32_t>(latency), header));
    if (latency != 1) runs.push_back(RunOnce(simPath, baud, 1, header));
  } else {
    if (paced) runs.push_back(RunOnce(simPath, baud, 0, header));
    if (unpaced) runs.push_back(RunOnce(simPath, 0, 0, header));
  }
  bool ok = true;
  for (const TMeasure& m : runs)
    if (!m.Ok) {
      std::fprintf(stderr, "pellory-bench: %s\n", m.Failure.c_str());
      ok = false;
    }
  if (!ok) return 1;
  PrintTable(runs);
  return 0;
}
