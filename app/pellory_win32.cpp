// The program body of pellory.exe.
#include <windows.h>

#include "app/uInitForms.h"
#include "device/uCommThread.h"
#include "device/uEvents.h"
#include "device/uSettings.h"
#include "sim/uSimLogger.h"
#include "ui/uForms_win32.h"
#include "ui/uMain_win32.h"
#include "ui/uWinTools1V4.h"

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

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int nCmdShow) {
  // The application object: common controls and the window that carries the taskbar button.
  EnsureCommonControls();
  Application();

  CommThreadClass = DefaultCommThreadClass();
  TWorkerEnv& env = DefaultWorkerEnv();
  env.Events = &WindowEventSink();

  TMainOptions options;
  options.Params = ProcessParams();
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
