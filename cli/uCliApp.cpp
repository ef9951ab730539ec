#include "cli/uCliApp.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <istream>
#include <memory>
#include <ostream>
#include <set>

#include "cli/uCliOptions.h"
#include "cli/uStation.h"
#include "device/uEventTexts.h"
#include "device/uEvents.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "firmware/uNames.h"
#include "run/uStartup.h"
#include "station/uPortDiag.h"
#include "station/uStationSys.h"

namespace {
// Wider lines wrap on an 80-column terminal, and the next '\r' would no longer reach their start.
constexpr size_t kMaxLineWidth = 79;
constexpr int32_t kOutcomePortNotReady = 10;  // the port cannot be opened or configured

std::string TimeStamp() {
  // ReportLine gives "hh-nn-ss -> "; the stamp is its head.
  return ReportLine("").substr(0, 8);
}

// Restores the worker environment and waits for the last worker, whatever way a command ends.
class TWorkerScope {
 public:
  explicit TWorkerScope(const TWorkerEnv& env) : FSaved(DefaultWorkerEnv()) { DefaultWorkerEnv() = env; }
  ~TWorkerScope() {
    WaitForWorkers();
    DefaultWorkerEnv() = FSaved;
  }
  TWorkerScope(const TWorkerScope&) = delete;
  TWorkerScope& operator=(const TWorkerScope&) = delete;

 private:
  TWorkerEnv FSaved;
};

TCommThreadClass gWorkerClass = nullptr;
bool gStationChild = false;

// Every run start clears CancelRequested; a Ctrl-C stands until the chain of runs is over, so the flag is
// set again before the worker exists and cannot miss it.
TCommThread* CliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  if (CliInterrupted) CancelRequested = true;
  return gWorkerClass(hWindow, cmd, sPort);
}

int Usage(TCliIo& io, const std::string& error) {
  io.Err << kProgram << ": " << TerminalSafe(error) << "\nTry '" << kProgram << " --help'.\n";
  return kExitUsage;
}

int ImagesCommand(TCliIo& io) {
  std::vector<std::vector<std::string>> rows{ImageTableHeader()};
  for (int32_t i = ImageCount(); i >= 1; --i) {
    TBl3FileHeader header;
    GetImageHeader(i, header);
    rows.push_back(ImageRow(header));
  }
  io.Out << FormatTable(rows);
  return kExitOk;
}

int FileVersionCommand(TCliIo& io, const TCliHost& host, const std::string& file) {
  TCliView view(io, *host.Clock, "", false, false, false);
  TRunControl control(view, 0, *host.Clock);
  if (!control.FileVersion(file)) return kExitUsage;
  TBl3FileHeader header;
  GetImageHeader(0, header);
  std::vector<std::string> row = ImageRow(header);
  for (std::string& cell : row) cell = TerminalSafe(cell);  // the date is the file's text
  io.Out << FormatTable({ImageTableHeader(), row});
  return kExitOk;
}

int PortsCommand(TCliIo& io, const TCliHost& host, bool json) {
  const std::vector<TPortInfo> ports = host.ListPorts ? host.ListPorts() : ListPortInfo(host.Roots);
  if (json) {
    io.Out << PortsJson(ports);
  } else if (!ports.empty()) {
    io.Out << PortsTable(ports);
  }
  if (ports.empty()) io.Err << kProgram << ": no serial port found\n";
  return kExitOk;
}

int LatencyCommand(const TCliOptions& options, TCliIo& io, const TCliHost& host) {
  const TLatencyOptions& o = options.Latency;
  std::unique_ptr<IAdapterTimers> own;
  IAdapterTimers* timers = host.AdapterTimers;
  if (timers == nullptr) {
    TLatencyEnv env;
    env.Roots = host.Roots;
    env.OwnerWindow = o.OwnerWindow;
    own = PlatformAdapterTimers(env);
    timers = own.get();
  }
  // Each physical port once; the simulated loggers have no adapter to ask.
  std::vector<std::string> ports, real;
  std::set<std::string> seen;
  for (const std::string& port : o.Ports) {
    const bool sim = TPortRouter::IsSimPortName(port);
    if (!seen.insert(sim ? port : CanonicalPortKey(port)).second) continue;
    ports.push_back(port);
    if (!sim) real.push_back(port);
  }
  const bool set = o.SetMs > 0;
  // The copy started with administrator rights asks for them no more.
  const bool elevatedCopy = !o.ResultFile.empty();
  // Said before the prompt appears; --json keeps standard output and error to the array alone.
  auto onElevate = [&io, &options](const std::vector<std::string>& refused) {
    if (options.Json) return;
    std::string names;
    for (const std::string& port : refused) names += (names.empty() ? "" : ", ") + TerminalSafe(port);
    io.Err << kProgram << ": " << names
           << ": changing the latency timer needs administrator rights; asking for them once"
           << (refused.size() > 1 ? " for all of them.\n" : ".\n") << std::flush;
  };
  const std::vector<TTimerResult> asked =
      set ? SetAdapterTimers(*timers, real, o.SetMs, !elevatedCopy, onElevate)
          : ShowAdapterTimers(*timers, real);
  std::vector<TTimerResult> results;
  size_t next = 0;
  for (const std::string& port : ports) {
    if (TPortRouter::IsSimPortName(port)) {
      results.push_back(NoTimerResult(port, "the simulated logger"));
    } else if (next < asked.size()) {
      results.push_back(asked[next++]);
    }
  }

  if (elevatedCopy) {
    // Only into the file the caller made: with these rights a link there must not lead elsewhere.
    std::string error;
    if (!WriteIntoOwnFile(o.ResultFile, TimerResultsJson(results), error)) {
      io.Err << kProgram << ": the results were not written: " << TerminalSafe(error) << '\n';
      return kExitFatal;
    }
  }
  if (options.Json) {
    io.Out << TimerResultsJson(results);
    return LatencyExitCode(results);
  }
  if (!set) io.Out << TimerTable(results);
  for (const TTimerResult& r : results) {
    const bool changed = r.Outcome == TTimerOutcome::Set || r.Outcome == TTimerOutcome::SetPending;
    if (set && changed) {
      std::string adapter;
      for (const std::string* part : {&r.Product, &r.UsbId, &r.Driver}) {
        if (!part->empty()) adapter += (adapter.empty() ? " (" : ", ") + TerminalSafe(*part);
      }
      io.Out << TerminalSafe(r.Port) << ": latency timer " << r.WasMs << " ms -> " << r.TimerMs << " ms"
             << (adapter.empty() ? "" : adapter + ")") << '\n';
      for (const std::string& note : r.Notes) io.Out << TerminalSafe(note) << '\n';
    } else {
      for (const std::string& note : r.Notes) io.Err << kProgram << ": " << TerminalSafe(note) << '\n';
    }
  }
  return LatencyExitCode(results);
}

void PrintHints(TCliView& view, const std::vector<std::string>& hints) {
  for (const std::string& hint : hints) view.ShowError(hint);
}

int RunCommand(const TCliOptions& options, TCliIo& io, const TCliHost& host) {
  const bool info = options.Command == TCliCommand::Info;
  // Every setting from scratch, as a program start would leave it.
  TStartOptions start;
  start.NoClassCheck = options.NoClassCheck;
  start.ClearsMeasurements = options.ClearsMeasurements;
  start.ImageFiles = !options.File.empty();
  const TStartupSettings settings = DeriveStartupSettings(host.InternalMode, start);
  if (settings.ImageFilesRefused) return Usage(io, "--file is refused: image files need internal mode");
  if (settings.NoClassCheckRefused) return Usage(io, "--no-class-check is refused: it needs internal mode");
  ApplyStartupSettings(settings);
  ReadInfoOnly = false;
  gWorkerClass = host.WorkerClass;
  CommThreadClass = CliWorker;
  if (info && !ReadInfoOnlyAllowed) return Usage(io, "reading the update info only is not available");

  // File and info ask nothing, as the window's File button; Update may.
  const char* question = (info || !options.File.empty()) ? nullptr : TRunControl::UpdateQuestion();
  if (question != nullptr && !options.Yes && !io.StdinTty) {
    io.Err << kProgram << ": the update asks \"" << QuestionLine(question)
           << "\" and there is no terminal to answer; add --yes to answer Yes\n";
    return kExitUsage;
  }

  TSimConfig simConfig = options.Sim;
  // The faults of the in-process tests, unless the command line named its own (--sim-fault).
  if (options.SimFaults.empty()) simConfig.Faults = host.SimFaults;
  TSimLogger logger(simConfig);
  TSimPortOps simPorts(logger, *host.Clock);
  TPortRouter router(*host.RealPorts, simPorts);
  TEventQueue events;
  TWorkerScope scope(TWorkerEnv{&router, host.Clock, &events});

  TCliView view(io, *host.Clock, options.Port, info, options.Yes, options.Json);
  view.SetStationChild(gStationChild);
  TRunControl control(view, 0, *host.Clock);
  control.SetMaxRepeats(options.MaxRepeats);

  bool started;
  if (info) {
    started = control.PrepareAndStart(options.File);
  } else if (!options.File.empty()) {
    started = control.FileClick(options.File);
  } else {
    started = control.UpdateClick();
    if (!started) {
      io.Err << kProgram << ": not started\n";
      return kExitDeclined;
    }
  }
  if (!started) return kExitUsage;

  // The latency timer is read once the worker has opened the port (every event but a failed open says
  // so), and told once per command, not per repeat.
  bool latencyChecked = options.Port == TPortRouter::kSimPortName;
  while (control.Busy()) {
    const TWorkerEvent ev = events.Wait();
    view.WorkerEvent(ev.code, ev.value);
    const bool openFailed = ev.code == evFailed && ev.value == kOutcomePortNotReady;
    if (!latencyChecked && !openFailed) {
      latencyChecked = true;
      PrintHints(view, LatencyHints(options.Port, GatherLatencyFacts(options.Port, host.Roots)));
    }
    control.WorkerEvent(ev.code, ev.value);
    // Why the port would not open, after the outcome text.
    if (openFailed) {
      const TPortError error = router.OpenError(options.Port);
      if (error.Failure != TPortFailure::Unknown) {
        PrintHints(view, OpenFailureHints(GatherOpenFacts(options.Port, error, host.Roots)));
      }
    }
  }
  return RunExitCode(control, info);
}

}  // namespace

int RunExitCode(const TRunControl& control, bool info) {
  if (control.RepeatsExhausted() != 0) return control.RepeatsExhausted();
  switch (control.LastFinalCode()) {
    case evCompleted:
      return kExitOk;
    case evFailed:
      switch (control.LastFinalValue()) {
        case 70:
          return info ? kExitOk : 70;
        case 10:
        case 11:
        case 20:
        case 40:
        case 41:
        case 42:
        case 43:
        case 44:
        case 47:
        case 48:
          return control.LastFinalValue();
        default:
          return kExitFatal;
      }
    default:
      return kExitFatal;
  }
}

int CliMain(const std::vector<std::string>& argsIn, TCliIo& io, const TCliHost& host) {
  // The station starts each run with this hidden option: its input carries the cancel.
  std::vector<std::string> args;
  gStationChild = false;
  for (const std::string& a : argsIn) {
    if (a == "--station-child") {
      gStationChild = true;
    } else {
      args.push_back(a);
    }
  }
  if (gStationChild && host.CancelOnStdin) host.CancelOnStdin();
  TCliOptions options;
  std::string error;
  if (!ParseCliOptions(args, options, error)) return Usage(io, error);
  switch (options.Command) {
    case TCliCommand::Help:
      io.Out << options.HelpText;
      return kExitOk;
    case TCliCommand::Version:
      io.Out << kProgram << " " << PELLORY_VERSION << '\n';
      return kExitOk;
    case TCliCommand::Images:
      return ImagesCommand(io);
    case TCliCommand::FileVersion:
      return FileVersionCommand(io, host, options.FileArg);
    case TCliCommand::Ports:
      return PortsCommand(io, host, options.Json);
    case TCliCommand::Latency:
      return LatencyCommand(options, io, host);
    case TCliCommand::Update:
    case TCliCommand::Info:
      return RunCommand(options, io, host);
    case TCliCommand::Station:
      if (host.Station == nullptr) return Usage(io, "station is not available here");
      return RunStation(options.Station, io, host);
    case TCliCommand::StationSetup:
      return RunStationSetup(options.StationSetup, options.Json, io, host);
    case TCliCommand::None:
      break;
  }
  return Usage(io, "no command given");
}

std::string IsoTimeStamp() {
  return IsoUtc(std::chrono::system_clock::now(), true);
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  auto hex = [&out](unsigned code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", code);
    out += buf;
  };
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      hex(c);
    } else if (c >= 0x80) {
      // A well-formed UTF-8 sequence passes as it is; any other byte is read as Latin-1.
      size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
      if (c >= 0xF5) len = 0;
      bool valid = len > 0 && i + len <= text.size();
      for (size_t k = 1; valid && k < len; ++k) {
        valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      }
      if (valid && len >= 3) {
        const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
        // Overlong forms, surrogates and code points beyond U+10FFFF are not UTF-8.
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 >= 0x90)) {
          valid = false;
        }
      }
      if (valid) {
        out.append(text, i, len);
        i += len;
        continue;
      }
      hex(c);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  // C1 controls and bidirectional marks pass the JSON rules as they are; a terminal would obey them.
  return JsonTerminalSafe(out);
}

TCliView::TCliView(TCliIo& io, IClock& clock, std::string port, bool readInfoOnly, bool yes, bool json)
    : FIo(io), FClock(clock), FPort(std::move(port)), FReadInfoOnly(readInfoOnly), FYes(yes), FJson(json) {}

bool TCliView::FoldsProgress() const {
  // Only where the line is seen in place of the reports; a file or pipe keeps every line.
  return FIo.StdoutTty && FIo.StderrTty;
}

void TCliView::AddReport(const std::string& text) {
  if (FJson) {
    if (FStationChild) {
      FIo.Out << "{\"report\":\"" << JsonEscape(ReportLine(text)) << "\",\"ts\":\"" << IsoTimeStamp()
              << "\"}\n"
              << std::flush;
    }
    return;
  }
  if (FEvent == evProgress && FoldsProgress()) return;
  EraseBar();
  // Report lines carry the port name and the logger's texts: shown, never obeyed by the terminal.
  FIo.Out << TerminalSafe(ReportLine(text)) << '\n' << std::flush;
  DrawBar();
}

void TCliView::SetProgress(int position) {
  // A progress bar holds its range.
  FPosition = std::clamp(position, 0, 100);
  FEstimate.Progress(FPosition);
  DrawBar();
}

void TCliView::ShowInfoBox(const std::string& text) {
  FBoxText = text;
  if (FJson) {
    // With its time: the station's summary times the run by its own last words.
    if (FStationChild) {
      FIo.Out << "{\"final\":\"" << JsonEscape(text) << "\",\"ts\":\"" << IsoTimeStamp() << "\"}\n"
              << std::flush;
    }
    return;
  }
  EraseBar();
  FIo.Out << TerminalSafe(text) << '\n' << std::flush;
}

void TCliView::ShowError(const std::string& text) {
  EraseBar();
  FIo.Err << kProgram << ": " << TerminalSafe(text) << '\n' << std::flush;
  DrawBar();
}

void TCliView::SetBusy(bool busy) {
  FBusy = busy;
  if (busy) {
    FEstimate.Start(FClock.NowMs());
    DrawBar();
  } else {
    EraseBar();
  }
}

void TCliView::Beep() {
  if (FIo.StderrTty) FIo.Err << '\a' << std::flush;
}

bool TCliView::Confirm(const std::string& question) {
  if (FYes) return true;
  if (!FIo.StdinTty) return false;
  EraseBar();
  const bool yes = AskYesNo(FIo, question);
  return yes && !CliInterrupted;
}

void TCliView::WorkerEvent(uint32_t code, int32_t value) {
  FEvent = code;
  if (code == evUpdateStart) {
    // The worker chose SelectedImage before it posted this event and keeps it.
    TBl3FileHeader header;
    GetImageHeader(SelectedImage, header);
    char version[32];
    std::snprintf(version, sizeof version, " V%d.%.2d", header.quor_verH, header.quor_verL);
    FImage = ClassName(header.quor_class, header.quor_print) + version;
    FEstimate.WriteStarted(FClock.NowMs());
  }
  if (!FJson) return;
  const std::string text = code == evFailed ? OutcomeText(value, FPort) : EventText(code, value, FPort);
  EraseBar();
  FIo.Out << "{\"code\":" << code << ",\"value\":" << value << ",\"text\":\"" << JsonEscape(text)
          << "\",\"time\":\"" << TimeStamp() << "\",\"ts\":\"" << IsoTimeStamp() << "\"}\n"
          << std::flush;
  DrawBar();
}

void TCliView::DrawBar() {
  if (!FIo.StderrTty || !FBusy) return;
  const uint64_t now = FClock.NowMs();
  size_t width = kMaxLineWidth;
  // One column short of the terminal's, so the cursor never wraps to the next line.
  if (FIo.ErrColumns > 0) width = std::min(width, static_cast<size_t>(FIo.ErrColumns) - 1);
  const std::string line =
      ProgressLine(FPosition, FEstimate.ElapsedMs(now), FEstimate.LeftMs(now), FImage, width);
  // Blank what is left of a longer line before.
  const size_t pad = FBarWidth > line.size() ? FBarWidth - line.size() : 0;
  FIo.Err << '\r' << line << std::string(pad, ' ') << std::flush;
  FBarWidth = line.size() + pad;
}

void TCliView::EraseBar() {
  if (FBarWidth == 0) return;
  FIo.Err << '\r' << std::string(FBarWidth, ' ') << '\r' << std::flush;
  FBarWidth = 0;
}
