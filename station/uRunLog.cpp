#include "station/uRunLog.h"

#include <cstdio>

#include "station/uStationSys.h"

namespace {

// The port's part of a log name: long enough to read, short enough for every file system's 255 bytes and
// for Windows' 260-character paths.
constexpr size_t kMaxPortPart = 64;

// `dir` and `name` as one path; '/' serves Windows too, and no conversion through std::filesystem's
// narrow code page touches a UTF-8 folder name.
std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  const char last = dir.back();
  return last == '/' || last == '\\' ? dir + name : dir + "/" + name;
}

uint32_t Fnv1a(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

}  // namespace

std::string LogFileName(const std::string& port, const std::tm& t) {
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &t);
  std::string safe;
  const size_t from = port.rfind("/dev/", 0) == 0 ? 5 : 0;
  for (size_t i = from; i < port.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(port[i]);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '+';
    safe += ok ? static_cast<char>(c) : '_';
  }
  if (safe.empty() || safe.find_first_not_of('.') == std::string::npos) safe = "port" + safe;
  if (safe.size() > kMaxPortPart) {
    // Both ends stay readable (the adapter's make and its serial number, "-if00-port0"); the hash of the
    // whole name keeps two long names that differ only in the middle apart.
    char hash[16];
    std::snprintf(hash, sizeof hash, "~%08x~", static_cast<unsigned>(Fnv1a(port)));
    const size_t keep = (kMaxPortPart - 10) / 2;
    safe = safe.substr(0, keep) + hash + safe.substr(safe.size() - keep);
  }
  return std::string(stamp) + "_" + safe + ".log";
}

TRunLog::TRunLog() = default;
TRunLog::~TRunLog() = default;

bool TRunLog::IsOpen() const {
  return FFile != nullptr;
}

bool TRunLog::Fail(const std::string& what, const std::string& why) {
  FProblem = what + " the log \"" + FPath + "\" of " + FPort + ": " + why;
  FFile.reset();
  return false;
}

bool TRunLog::Open(const std::string& dir, const std::string& port,
                   std::chrono::system_clock::time_point started) {
  FPort = port;
  const std::time_t secs = std::chrono::system_clock::to_time_t(started);
  std::tm local{};
  if (const std::tm* t = std::localtime(&secs)) local = *t;
  const std::string name = LogFileName(port, local);
  auto file = std::make_unique<TLogFile>();
  std::string error;
  // A port plugged twice within a second keeps both logs.
  for (int n = 1; n < 1000; ++n) {
    FPath = JoinPath(dir, n == 1 ? name : name + "." + std::to_string(n));
    bool exists = false;
    if (file->Create(FPath, exists, error)) {
      FFile = std::move(file);
      return true;
    }
    if (!exists) break;
  }
  return Fail("cannot create", error);
}

bool TRunLog::Line(const std::string& line) {
  if (!FFile) return true;
  std::string error;
  return FFile->Write(line + "\n", error) || Fail("cannot write", error);
}

bool TRunLog::Close() {
  if (!FFile) return true;
  std::string error;
  const bool synced = FFile->Close(error);
  FFile.reset();
  return synced || Fail("cannot sync", error);
}
