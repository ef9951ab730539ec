// Station children that follow a script per port, in virtual time: lines, then an exit; or a hang until
// killed; or an end with "Process cancelled!" when cancelled; or a process that not even a kill ends.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "station/uProcess.h"

class TFakeProcesses : public IProcesses {
 public:
  struct TScript {
    std::vector<std::string> Lines;
    int Exit = 0;
    bool Hang = false;          // no exit by itself
    bool HonoursCancel = true;  // ends cancelled when its input closes
    bool IgnoresKill = false;   // stuck in the kernel: not even SIGKILL ends it
  };
  std::map<std::string, TScript> Scripts;  // by port (argv[3])
  std::vector<std::vector<std::string>> Spawned;
  std::vector<std::string> Cancelled, Killed;
  uint64_t Now = 0;  // virtual milliseconds; every Poll takes its whole timeout
  std::function<void()> OnPoll;

  int Spawn(const std::vector<std::string>& argv, std::string&) override {
    Spawned.push_back(argv);
    TChild c;
    c.Port = argv.at(3);
    c.Script = Scripts[c.Port];
    FChildren[++FLast] = c;
    return FLast;
  }
  void Poll(int timeoutMs, std::vector<TProcessEvent>& events) override {
    Now += static_cast<uint64_t>(timeoutMs);
    if (OnPoll) OnPoll();
    for (auto it = FChildren.begin(); it != FChildren.end();) {
      TChild& c = it->second;
      if (c.Next < c.Script.Lines.size()) {
        events.push_back({it->first, TProcessEvent::TKind::Line, c.Script.Lines[c.Next++], 0});
        ++it;
        continue;
      }
      if ((c.Script.Hang && !c.Killed) || (c.Killed && c.Script.IgnoresKill)) {
        ++it;
        continue;
      }
      events.push_back({it->first, TProcessEvent::TKind::Exit, {}, c.Killed ? kCrashed : c.Script.Exit});
      it = FChildren.erase(it);
    }
  }
  void Cancel(int id) override {
    TChild& c = FChildren.at(id);
    Cancelled.push_back(c.Port);
    if (!c.Script.HonoursCancel) return;
    c.Script.Lines.push_back(R"({"report":"10-00-09 -> Process cancelled!"})");
    c.Script.Lines.push_back(R"({"final":"Process cancelled!"})");
    c.Script.Exit = 20;
    c.Script.Hang = false;
  }
  void Kill(int id) override {
    FChildren.at(id).Killed = true;
    Killed.push_back(FChildren.at(id).Port);
  }
  size_t Running() const override { return FChildren.size(); }

 private:
  struct TChild {
    std::string Port;
    TScript Script;
    size_t Next = 0;
    bool Killed = false;
  };
  std::map<int, TChild> FChildren;
  int FLast = 0;
};
