// pellory-record-bench: what a run's end costs the station's record, with an empty summary and with one
// of many earlier rows. Not a test: it measures. Built natively and for Windows (run it under Wine for the
// window's figures: the window's timer steps the same core on its UI thread).
//
//   pellory-record-bench [--rows N] [--ends N] [--dir DIR]
//
// For each summary: the time of TRecord::Add alone (the append, its lock and its sync), and the time of
// the whole run end as the window's timer meets it (TStation::Step reading the run's exit: its log's last
// line and sync, and the record), median, 99th percentile and longest.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "station/uRecord.h"
#include "station/uStation.h"
#include "station/uStationSys.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs that end as soon as they are read: the station's whole work at a run's end, without a process.
class TEndingProcesses : public IProcesses {
 public:
  int Spawn(const std::vector<std::string>&, std::string&) override {
    FWaiting.push_back(++FLast);
    return FLast;
  }
  void Poll(int, std::vector<TProcessEvent>& events) override {
    for (int id : FWaiting) {
      events.push_back(
          {id, TProcessEvent::TKind::Line, R"({"report":"10-00-00 -> Start at serial port \"B\""})", 0});
      events.push_back(
          {id, TProcessEvent::TKind::Line, R"({"final":"Update SD CARD V4.106 succesfully completed."})", 0});
      events.push_back({id, TProcessEvent::TKind::Exit, {}, 0});
    }
    FWaiting.clear();
  }
  void Cancel(int) override {}
  void Kill(int) override {}
  size_t Running() const override { return FWaiting.size(); }

 private:
  std::vector<int> FWaiting;
  int FLast = 0;
};

class TQuietView : public IStationView {
 public:
  void RunStarted(const TStationRun&) override {}
  void RunChanged(const TStationRun&) override {}
  void RunEvent(const TStationRun&, const std::string&) override {}
  void RunReport(const TStationRun&, const std::string&) override {}
  void RunOutput(const TStationRun&, const std::string&) override {}
  void RunEnded(const TStationRun&) override {}
  void PortSkipped(const std::string&, const std::string&) override {}
  void Problem(const std::string& text) override { std::fprintf(stderr, "problem: %s\n", text.c_str()); }
};

struct TFigures {
  double Median = 0, P99 = 0, Max = 0;
};

TFigures Figures(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  TFigures f;
  if (ms.empty()) return f;
  f.Median = ms[ms.size() / 2];
  f.P99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  f.Max = ms.back();
  return f;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::string Utf8(const std::filesystem::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

TStationRow SampleRow(int i) {
  TStationRow row;
  row.Port = "COM" + std::to_string(5 + i % 8);
  row.Started = "2026-12-09T09:41:02Z";
  row.Finished = "2026-12-09T09:43:05Z";
  row.Seconds = 123.4;
  row.Result = "completed";
  row.Text = "Update SD CARD V4.106 succesfully completed.";
  row.LoggerClass = "QDL 210";
  row.LoggerVersion = "7.0";
  row.Platform = "QVR32M6 C";
  row.Print = "PB52C";
  row.Image = "SD CARD V4.106";
  row.UsbSerial = "A50285BI";
  row.Location = "Port_#0004.Hub_#0006";
  row.Host = "bench-3";
  row.PelloryVersion = "1.0.0";
  return row;
}

// Peak resident memory where the system tells it (Linux); -1 elsewhere.
long PeakKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void Measure(const std::filesystem::path& dir, int earlier, int ends) {
  std::filesystem::create_directories(dir / "logs");
  const std::string summary = Utf8(dir / "summary.csv");
  {
    std::ofstream out(dir / "summary.csv", std::ios::binary);
    out << SummaryCsv({});
    const std::string line = SummaryLine(SummaryCells(SampleRow(0)));
    for (int i = 0; i < earlier; ++i) out << line;
  }
  const auto bytes = std::filesystem::file_size(dir / "summary.csv");
  {
    // On the disk before the measurement, as an earlier session leaves them: the first sync measured
    // would otherwise write them all.
    TAppendFile file;
    TFileError error;
    if (!file.Open(summary, error) || !file.Append("", error))
      std::fprintf(stderr, "%s\n", error.Text.c_str());
  }

  std::vector<double> adds;
  {
    TRecordOptions options;
    options.Summary = summary;
    options.PendingDir = Utf8(dir);
    TRecord record(
        options, [] { return uint64_t{0}; }, nullptr, nullptr);
    for (int i = 0; i < ends; ++i) {
      const auto start = Clock::now();
      record.Add(SampleRow(i));
      adds.push_back(Ms(Clock::now() - start));
    }
  }

  std::vector<double> steps;
  {
    TEndingProcesses processes;
    TStationHost host = PlatformStationHost(&processes);
    TStationConfig config;
    config.Program = "pellory-cli";
    config.LogDir = Utf8(dir / "logs");
    config.Summary = summary;
    config.PendingDir = Utf8(dir);
    TQuietView view;
    TStation station(config, host, view);
    for (int i = 0; i < ends; ++i) {
      station.Start("COM" + std::to_string(5 + i % 8));
      // What one tick of the window's timer does when a run has ended.
      const auto start = Clock::now();
      station.Step(0);
      steps.push_back(Ms(Clock::now() - start));
    }
  }
  const TFigures a = Figures(adds), s = Figures(steps);
  std::printf(
      "%7d earlier rows (%6.1f MB): record %6.2f / %6.2f / %6.2f ms   whole run end %6.2f / %6.2f / %6.2f "
      "ms\n",
      earlier, static_cast<double>(bytes) / 1e6, a.Median, a.P99, a.Max, s.Median, s.P99, s.Max);
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  int rows = 100000;
  int ends = 200;
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "pellory-record-bench";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rows" && i + 1 < argc) {
      rows = std::atoi(argv[++i]);
    } else if (arg == "--ends" && i + 1 < argc) {
      ends = std::atoi(argv[++i]);
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: pellory-record-bench [--rows N] [--ends N] [--dir DIR]\n");
      return 2;
    }
  }
  std::filesystem::remove_all(dir);
  std::printf("pellory-record-bench: %d run ends per summary; median / 99th percentile / longest\n", ends);
  Measure(dir / "empty", 0, ends);
  Measure(dir / "full", rows, ends);
  const long peak = PeakKib();
  if (peak >= 0) std::printf("peak memory: %.1f MiB\n", static_cast<double>(peak) / 1024.0);
  std::filesystem::remove_all(dir);
  return 0;
}
