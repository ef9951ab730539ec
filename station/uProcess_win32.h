// The Windows children of the station (uProcess_win32.cpp) with their one seam for tests: how a child,
// created suspended, is put into the job object that ends it with the station.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "station/uProcess.h"

// True when `process` is in `job` now (AssignProcessToJobObject); false with GetLastError set.
using TAssignToJob = std::function<bool(HANDLE job, HANDLE process)>;
std::unique_ptr<IProcesses> CreateWin32Processes(TAssignToJob assign);
