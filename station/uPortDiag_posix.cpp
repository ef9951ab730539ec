// The facts behind a failed open on Linux: the device node, /proc and sysfs.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "station/uLatency.h"
#include "station/uPortDiag.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The process directories of `proc` (those named by a number).
std::vector<fs::path> Processes(const std::string& proc) {
  std::vector<fs::path> dirs;
  std::error_code ec;
  for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      dirs.push_back(it->path());
    }
  }
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

// The programs with a descriptor on `node`. Only this user's processes can be seen (and all with root).
std::vector<std::string> Holders(const std::string& node, const std::string& proc) {
  std::vector<std::string> holders;
  for (const fs::path& dir : Processes(proc)) {
    std::error_code ec;
    for (fs::directory_iterator it(dir / "fd", ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code linkError;
      if (fs::read_symlink(it->path(), linkError).string() != node || linkError) continue;
      holders.push_back(ReadFirstLine(dir / "comm") + " (process " + dir.filename().string() + ")");
      break;
    }
  }
  return holders;
}

bool ModemManagerRunning(const std::string& proc) {
  for (const fs::path& dir : Processes(proc)) {
    if (ReadFirstLine(dir / "comm") == "ModemManager") return true;
  }
  return false;
}

// Whether this process has `gid`, and whether the user database lists this user in it.
void GroupMembership(gid_t gid, bool& now, bool& database) {
  now = getegid() == gid;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int n = getgroups(static_cast<int>(groups.size()), groups.data());
  for (int i = 0; i < n; ++i) now = now || groups[static_cast<size_t>(i)] == gid;
  database = now;
  const passwd* user = getpwuid(getuid());
  if (user == nullptr) return;
  int count = 64;
  std::vector<gid_t> listed(static_cast<size_t>(count));
  if (getgrouplist(user->pw_name, user->pw_gid, listed.data(), &count) < 0) {
    listed.resize(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, listed.data(), &count) < 0) return;
  }
  listed.resize(static_cast<size_t>(count));
  database = database || std::find(listed.begin(), listed.end(), gid) != listed.end();
}

}  // namespace

TOpenFacts GatherOpenFacts(const std::string& port, const TPortError& error, const TSystemRoots& roots) {
  TOpenFacts facts;
  facts.Port = port;
  facts.Error = error;
  facts.Info = DescribePort(port, roots);
  struct stat st {};
  if (error.Failure == TPortFailure::AccessDenied && ::stat(facts.Info.Kernel.c_str(), &st) == 0) {
    facts.Mode = st.st_mode;
    if (const passwd* owner = getpwuid(st.st_uid)) facts.Owner = owner->pw_name;
    GroupMembership(st.st_gid, facts.InGroupNow, facts.InGroupDatabase);
  }
  if (error.Failure == TPortFailure::Busy) facts.Holders = Holders(facts.Info.Kernel, roots.Proc);
  if (error.Failure == TPortFailure::NotFound) facts.Existing = ListSerialPortsIn(roots.Dev);
  facts.ModemManagerRunning = ModemManagerRunning(roots.Proc);
  return facts;
}

TLatencyFacts GatherLatencyFacts(const std::string& port, const TSystemRoots& roots) {
  TLatencyFacts facts;
  const TPortInfo info = DescribePort(port, roots);
  facts.TimerMs = info.LatencyMs;
  if (facts.TimerMs < 0) return facts;
  const std::string tty = fs::path(info.Kernel).filename().string();
  facts.Location = (fs::path(roots.Sys) / "bus" / "usb-serial" / "devices" / tty / "latency_timer").string();
  if (facts.TimerMs <= 1) return facts;
  facts.Change = {
      "Set it to 1 ms now: echo 1 | sudo tee " +
          (fs::path("/sys/bus/usb-serial/devices") / tty / "latency_timer").string(),
      "(or: sudo pellory-cli latency " + ShellWord(port) +
          " --set 1), and for good with a udev rule, e.g. in "
          "/etc/udev/rules.d/99-pellory.rules:",
  };
  const std::string rule = UdevLatencyRule(info, 1);
  if (!rule.empty()) facts.Change.push_back("  " + rule);
  return facts;
}
