// Child processes of the station: started with an argument vector, their output read as lines without
// blocking, asked to end, killed, always reaped. One implementation per platform (uProcess_posix.cpp,
// uProcess_win32.cpp); tests substitute a fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TProcessEvent {
  enum class TKind { Line, Exit };
  int Id = 0;
  TKind Kind = TKind::Line;
  std::string Text;  // Line: one line of the child's standard output or error, without its line end
  // Exit: the exit code, or kCrashed when the child was ended by a signal or an exception.
  int ExitCode = 0;
};

class IProcesses {
 public:
  virtual ~IProcesses() = default;
  // Starts argv[0] (a path) with argv; standard output and error go to one pipe the caller reads, standard
  // input is a pipe the caller holds. Returns an id above 0, or 0 with `error`.
  virtual int Spawn(const std::vector<std::string>& argv, std::string& error) = 0;
  // Waits at most `timeoutMs` for output or an ending, then appends what happened. A child's Exit comes
  // after its last line and only once it has been reaped; its id is then gone. Returns early on
  // WakeProcessPoll.
  virtual void Poll(int timeoutMs, std::vector<TProcessEvent>& events) = 0;
  // Closes the child's standard input: the child's sign to cancel its run.
  virtual void Cancel(int id) = 0;
  // Ends the child at once; its Exit still comes through Poll.
  virtual void Kill(int id) = 0;
  // Children not yet reaped.
  virtual size_t Running() const = 0;

  static constexpr int kCrashed = -1;
};

// Makes a Poll that waits now, or the next one, return at once. Safe in a signal handler and from any
// thread: the station's Ctrl-C and hang-up reach its wait this way (POSIX: a byte on a self-pipe that every
// Poll watches).
void WakeProcessPoll();

// The platform's implementation. Ending it kills every child still running and reaps it, waiting a
// bounded time for each (a child stuck in the kernel is left behind rather than hanging the caller).
std::unique_ptr<IProcesses> CreatePlatformProcesses();
// The path of the running executable, so children run the same program.
std::string SelfExecutablePath();
