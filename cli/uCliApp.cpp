#include "cli/uCliApp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>

#include "cli/uCliOptions.h"
#include "device/uEventTexts.h"
#include "device/uEvents.h"
#include "device/uSDCommThread.h"
#include "device/uSettings.h"
#include "firmware/uFWVersions.h"
#include "ui/uStartup.h"

std::atomic<bool> CliInterrupted{false};

namespace {

constexpr const char* kProgram = "pellory-cli";
constexpr size_t kBarCells = 30;

std::string TimeStamp() {
  // ReportLine gives "hh-nn-ss -> "; the stamp is its head.
  return ReportLine("").substr(0, 8);
}

std::string OneLine(const std::string& question) {
  std::string text;
  for (size_t i = 0; i < question.size(); ++i) {
    if (question.compare(i, 2, "\r\n") == 0) {
      text += ' ';
      ++i;
    } else {
      text += question[i];
    }
  }
  return text;
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

// Every run start clears CancelRequested; a Ctrl-C stands until the chain of runs is over, so the flag is
// set again before the worker exists and cannot miss it.
TCommThread* CliWorker(intptr_t hWindow, TCmd cmd, const std::string& sPort) {
  if (CliInterrupted) CancelRequested = true;
  return gWorkerClass(hWindow, cmd, sPort);
}

int Usage(TCliIo& io, const std::string& error) {
  io.Err << kProgram << ": " << error << "\nTry '" << kProgram << " --help'.\n";
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
  TCliView view(io, "", false, false, false);
  TRunControl control(view, 0, *host.Clock);
  if (!control.FileVersion(file)) return kExitUsage;
  TBl3FileHeader header;
  GetImageHeader(0, header);
  io.Out << FormatTable({ImageTableHeader(), ImageRow(header)});
  return kExitOk;
}

int PortsCommand(TCliIo& io, const TCliHost& host) {
  const std::vector<std::string> ports = host.ListPorts ? host.ListPorts() : std::vector<std::string>{};
  for (const std::string& port : ports) io.Out << port << '\n';
  if (ports.empty()) io.Err << kProgram << ": no serial port found\n";
  return kExitOk;
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
    io.Err << kProgram << ": the update asks \"" << OneLine(question)
           << "\" and there is no terminal to answer; add --yes to answer Yes\n";
    return kExitUsage;
  }

  TSimConfig simConfig = options.Sim;
  simConfig.Faults = host.SimFaults;
  TSimLogger logger(simConfig);
  TSimPortOps simPorts(logger, *host.Clock);
  TPortRouter router(*host.RealPorts, simPorts);
  TEventQueue events;
  TWorkerScope scope(TWorkerEnv{&router, host.Clock, &events});

  TCliView view(io, options.Port, info, options.Yes, options.Json);
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

  while (control.Busy()) {
    const TWorkerEvent ev = events.Wait();
    if (options.Json) view.JsonEvent(ev.code, ev.value);
    control.WorkerEvent(ev.code, ev.value);
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

int CliMain(const std::vector<std::string>& args, TCliIo& io, const TCliHost& host) {
  TCliOptions options;
  std::string error;
  if (!ParseCliOptions(args, options, error)) return Usage(io, error);
  switch (options.Command) {
    case TCliCommand::Help:
      io.Out << CliHelpText();
      return kExitOk;
    case TCliCommand::Version:
      io.Out << kProgram << " " << PELLORY_VERSION << '\n';
      return kExitOk;
    case TCliCommand::Images:
      return ImagesCommand(io);
    case TCliCommand::FileVersion:
      return FileVersionCommand(io, host, options.FileArg);
    case TCliCommand::Ports:
      return PortsCommand(io, host);
    case TCliCommand::Update:
    case TCliCommand::Info:
      return RunCommand(options, io, host);
    case TCliCommand::None:
      break;
  }
  return Usage(io, "no command given");
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
  return out;
}

std::string FormatTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    out += line + '\n';
  }
  return out;
}

TCliView::TCliView(TCliIo& io, std::string port, bool readInfoOnly, bool yes, bool json)
    : FIo(io), FPort(std::move(port)), FReadInfoOnly(readInfoOnly), FYes(yes), FJson(json) {}

void TCliView::AddReport(const std::string& text) {
  if (FJson) return;
  EraseBar();
  FIo.Out << ReportLine(text) << '\n' << std::flush;
  DrawBar();
}

void TCliView::SetProgress(int position) {
  // A progress bar holds its range.
  FPosition = std::clamp(position, 0, 100);
  DrawBar();
}

void TCliView::ShowInfoBox(const std::string& text) {
  FBoxText = text;
  if (FJson) return;
  EraseBar();
  FIo.Out << text << '\n' << std::flush;
}

void TCliView::ShowError(const std::string& text) {
  EraseBar();
  FIo.Err << kProgram << ": " << text << '\n' << std::flush;
  DrawBar();
}

void TCliView::SetBusy(bool busy) {
  FBusy = busy;
  if (busy) {
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
  FIo.Err << OneLine(question) << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(FIo.In, answer)) return false;
  if (CliInterrupted) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

void TCliView::JsonEvent(uint32_t code, int32_t value) {
  const std::string text = code == evFailed ? OutcomeText(value, FPort) : EventText(code, value, FPort);
  EraseBar();
  FIo.Out << "{\"code\":" << code << ",\"value\":" << value << ",\"text\":\"" << JsonEscape(text)
          << "\",\"time\":\"" << TimeStamp() << "\"}\n"
          << std::flush;
  DrawBar();
}

void TCliView::DrawBar() {
  if (!FIo.StderrTty || !FBusy) return;
  const size_t filled = static_cast<size_t>(FPosition) * kBarCells / 100;
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", FPosition);
  char bar[kBarCells + 16];
  std::snprintf(bar, sizeof bar, "[%s%s] %s", std::string(filled, '#').c_str(),
                std::string(kBarCells - filled, '-').c_str(), percent);
  FIo.Err << '\r' << bar << std::flush;
  FBarWidth = std::strlen(bar);
}

void TCliView::EraseBar() {
  if (FBarWidth == 0) return;
  FIo.Err << '\r' << std::string(FBarWidth, ' ') << '\r' << std::flush;
  FBarWidth = 0;
}
