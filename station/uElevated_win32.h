// The one step with administrator rights that `latency --set` and `station-setup` take for what this
// process may not change: the same program started through the elevation prompt with the same command and
// a hidden `--result-file`, into which it writes its results (uStationSys: WriteIntoOwnFile) for this
// process to read back as foreign input.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// How long the caller waits for the elevated copy once the prompt was answered: setting a handful of
// values and restarting devices takes seconds; a copy still going after this is left to itself.
inline constexpr DWORD kElevatedWaitMs = 120000;

struct TElevatedStep {
  enum class TEnd { Done, Declined, NotStarted, TimedOut } End = TEnd::NotStarted;
  DWORD Error = 0;     // NotStarted: why
  DWORD ExitCode = 1;  // Done: the copy's exit code
  bool Read = false;   // Done: its result file held something
  std::string Result;  // what it wrote there
  std::string Program;
};

// Starts `program` (empty: this one) elevated with the parameters `parameters` makes of the result file's
// name (already quoted), the prompt owned by the window `ownerWindow` (0: none; a number that names no
// window is none), waits at most `waitMs` for it and reads its result file of at most 1 MiB.
TElevatedStep RunElevated(const std::string& program,
                          const std::function<std::wstring(const std::wstring& resultFile)>& parameters,
                          uint64_t ownerWindow, DWORD waitMs = kElevatedWaitMs);

// What went wrong with a step that did not leave a readable result, as the end of a sentence that starts
// with what was to be done ("...: the elevation was declined.").
std::string ElevatedStepProblem(const TElevatedStep& step);
