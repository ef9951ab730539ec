// The program body of pellory.exe.
#include <windows.h>

#include "app/uInitForms.h"
#include "device/uCommThread.h"
#include "device/uEvents.h"
#include "device/uSettings.h"
#include "device/uWinText_win32.h"
#include "run/uWinTools1V4.h"
#include "sim/uSimLogger.h"
#include "ui/uForms_win32.h"
#include "ui/uMain_win32.h"
#include "ui/uStationBoard.h"
#include "ui/uStation_win32.h"

namespace {

// The built-in simulated logger behind the port name "sim" (option sim:+), paced like the real wire at
// 9600 baud so that a run takes about as long as with a logger.
struct TSimulatedPort {
  static TSimConfig Config() {
    TSimConfig config;
    config.PaceBaud = 9600;
    return config;
  }
  TSimLogger Logger{Config()};
  TSimPortOps Ops{Logger, RealClock()};
  TPortRouter Router{PlatformPortOps(), Ops};
};

// "log:DIR" from the wide command line: a folder whose name the ANSI code page lacks arrives whole.
std::wstring LogDirParam() {
  return ToWide(StationStartFromParams(ProcessParamsUtf8()).LogDir);
}

// "st:+": the station window instead of the main window. Its runs are pellory-cli.exe processes, so this
// process needs no worker and no simulated port of its own.
int RunStationWindow(const std::vector<std::string>& params, int nCmdShow) {
  // The folder dialog is a shell object.
  OleInitialize(nullptr);
  TStationWindowOptions options;
  options.Params = params;
  options.LogDir = LogDirParam();
  if (StationStartFromParams(params).Simulated) {
    options.ExtraPorts = SimulatedStationPorts();
    options.SimOptions = PacedSimOptions();
  }
  auto station = std::make_unique<TfrmStation>(std::move(options));
  ShowWindow(station->Handle(), nCmdShow);
  Application().ShowButton();
  UpdateWindow(station->Handle());
  const int code = RunMessageLoop(nullptr);
  // Ends and reaps whatever still runs; the job object would take it anyway.
  station.reset();
  OleUninitialize();
  return code;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int nCmdShow) {
  // The application object: common controls and the window that carries the taskbar button.
  EnsureCommonControls();
  Application();

  const std::vector<std::string> params = ProcessParams();
  if (StationStartFromParams(params).Station) return RunStationWindow(params, nCmdShow);

  CommThreadClass = DefaultCommThreadClass();
  TWorkerEnv& env = DefaultWorkerEnv();
  env.Events = &WindowEventSink();

  TMainOptions options;
  options.Params = params;
  if (GetParamValue("sim:", "", options.Params) == "+") {
    // Never destroyed: a worker may still be using it when the process ends.
    auto* sim = new TSimulatedPort;
    env.Ports = &sim->Router;
    options.ExtraPorts.push_back(TPortRouter::kSimPortName);
  }

  frmMain = std::make_unique<TfrmMain>(std::move(options));
  InitForms();

  ShowWindow(frmMain->Handle(), nCmdShow);
  Application().ShowButton();
  UpdateWindow(frmMain->Handle());
  const int code = RunMessageLoop([] { frmMain->ApplicationEvents1Idle(); });
  // A run that has just ended may still be in its worker's last steps.
  WaitForWorkers();
  return code;
}
