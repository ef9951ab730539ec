#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "device/uWinText_win32.h"
#include "station/uProcess_win32.h"

namespace {

class TWin32Processes;

// Every live instance, for WakeProcessPoll (console control handlers run on a thread of their own).
std::mutex gLiveMutex;
std::set<TWin32Processes*> gLive;

struct TChild {
  HANDLE Process = nullptr;
  HANDLE In = nullptr;  // write end of the child's standard input
  std::thread Reader;
  DWORD ReaderId = 0;  // the reader's thread id, so that its blocked read can be cut short
  bool ReaderDone = false;
};

class TWin32Processes : public IProcesses {
 public:
  explicit TWin32Processes(TAssignToJob assign) : FAssign(std::move(assign)) {
    // Every child joins this job; when the station ends, however it ends, the job closes and takes them. A
    // child that crashes ends with its exception code at once instead of waiting in Windows Error
    // Reporting's dialog. A job without these limits is none: no child is started into it.
    FJob = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (FJob == nullptr) {
      FJobError = GetLastError();
    } else if (!SetInformationJobObject(FJob, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      FJobError = GetLastError();
      CloseHandle(FJob);
      FJob = nullptr;
    }
    std::lock_guard<std::mutex> lock(gLiveMutex);
    gLive.insert(this);
  }

  ~TWin32Processes() override {
    {
      std::lock_guard<std::mutex> lock(gLiveMutex);
      gLive.erase(this);
    }
    FClosing = true;
    for (auto& [id, child] : FChildren) TerminateProcess(child.Process, 1);
    for (auto& [id, child] : FChildren) {
      // A child stuck in a driver call keeps its end of the pipe open after TerminateProcess, and so may
      // another process that holds it too (under Wine the console host of a child killed while it
      // started): the reader's wait is cut short, again until it has ended (a cut that comes between two
      // reads is lost), rather than hang.
      WaitForSingleObject(child.Process, 2000);
      for (int i = 0; i < 100; ++i) {
        std::unique_lock<std::mutex> lock(FMutex);
        if (child.ReaderDone) break;
        lock.unlock();
        CancelReaderIo(child);
        lock.lock();
        FReady.wait_for(lock, std::chrono::milliseconds(20), [&child] { return child.ReaderDone; });
      }
      if (child.Reader.joinable()) child.Reader.join();
      CloseHandle(child.Process);
      if (child.In != nullptr) CloseHandle(child.In);
    }
    if (FJob != nullptr) CloseHandle(FJob);
  }

  void CancelReaderIo(TChild& child) {
    DWORD readerId = 0;
    {
      // The reader writes its id under the mutex when it starts.
      std::lock_guard<std::mutex> lock(FMutex);
      readerId = child.ReaderId;
    }
    const HANDLE thread = readerId == 0 ? nullptr : OpenThread(THREAD_TERMINATE, FALSE, readerId);
    if (thread == nullptr) return;
    CancelSynchronousIo(thread);
    CloseHandle(thread);
  }

  void Wake() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FWoken = true;
    }
    FReady.notify_all();
  }

  int Spawn(const std::vector<std::string>& argv, std::string& error) override {
    if (FJob == nullptr) {
      error = argv[0] + ": not started: no job object to end it with the station (error " +
              std::to_string(FJobError) + ")";
      return 0;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &sa, 0) || !CreatePipe(&inRead, &inWrite, &sa, 0)) {
      error = "CreatePipe failed (" + std::to_string(GetLastError()) + ")";
      for (HANDLE h : {outRead, outWrite, inRead, inWrite}) {
        if (h != nullptr) CloseHandle(h);
      }
      return 0;
    }
    // Our ends stay here.
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

    // Only the child's two pipe ends are inherited, not whatever else the station holds open.
    HANDLE inherit[2] = {inRead, outWrite};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attrBuf(size);
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuf.data());
    InitializeProcThreadAttributeList(attrs, 1, 0, &size);
    UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit, sizeof inherit, nullptr,
                              nullptr);

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = inRead;
    si.StartupInfo.hStdOutput = outWrite;
    si.StartupInfo.hStdError = outWrite;
    si.lpAttributeList = attrs;

    std::wstring cmdLine;
    for (const std::string& a : argv) {
      if (!cmdLine.empty()) cmdLine += L' ';
      cmdLine += QuoteArgument(ToWide(a));
    }
    const std::wstring app = ToWide(argv[0]);
    PROCESS_INFORMATION pi{};
    // No console of its own and a group of its own: Ctrl-C reaches the station only, which ends its runs.
    const BOOL ok = CreateProcessW(
        app.c_str(), cmdLine.data(), nullptr, nullptr, TRUE,
        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED,
        nullptr, nullptr, &si.StartupInfo, &pi);
    const DWORD lastError = GetLastError();
    DeleteProcThreadAttributeList(attrs);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (!ok) {
      error = argv[0] + ": cannot start (" + std::to_string(lastError) + ")";
      CloseHandle(outRead);
      CloseHandle(inWrite);
      return 0;
    }
    // In the job before it runs a single instruction; one that cannot join it would outlive the station,
    // so it never runs: ended while still suspended.
    if (!FAssign(FJob, pi.hProcess)) {
      const DWORD assignError = GetLastError();
      TerminateProcess(pi.hProcess, 1);
      WaitForSingleObject(pi.hProcess, 5000);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
      CloseHandle(outRead);
      CloseHandle(inWrite);
      error = argv[0] +
              ": not started: it could not join the job object that ends it with the station (error " +
              std::to_string(assignError) + ")";
      return 0;
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);

    std::lock_guard<std::mutex> lock(FMutex);
    const int id = ++FLastId;
    TChild& child = FChildren[id];
    child.Process = pi.hProcess;
    child.In = inWrite;
    child.Reader = std::thread(&TWin32Processes::Read, this, id, outRead, pi.hProcess);
    return id;
  }

  void Poll(int timeoutMs, std::vector<TProcessEvent>& events) override {
    std::unique_lock<std::mutex> lock(FMutex);
    FReady.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !FQueue.empty() || FWoken; });
    FWoken = false;
    while (!FQueue.empty()) {
      TProcessEvent ev = std::move(FQueue.front());
      FQueue.pop_front();
      if (ev.Kind == TProcessEvent::TKind::Exit) {
        auto it = FChildren.find(ev.Id);
        if (it != FChildren.end()) {
          it->second.Reader.join();
          CloseHandle(it->second.Process);
          if (it->second.In != nullptr) CloseHandle(it->second.In);
          FChildren.erase(it);
        }
      }
      events.push_back(std::move(ev));
    }
  }

  void Cancel(int id) override {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FChildren.find(id);
    if (it != FChildren.end() && it->second.In != nullptr) {
      CloseHandle(it->second.In);
      it->second.In = nullptr;
    }
  }

  void Kill(int id) override {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FChildren.find(id);
    if (it != FChildren.end()) TerminateProcess(it->second.Process, 1);
  }

  size_t Running() const override {
    std::lock_guard<std::mutex> lock(FMutex);
    return FChildren.size();
  }

 private:
  // One thread per child: Windows has no poll over anonymous pipes. It ends when the pipe does.
  void Read(int id, HANDLE out, HANDLE process) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FChildren[id].ReaderId = GetCurrentThreadId();
    }
    std::string partial;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(out, buf, sizeof buf, &n, nullptr) && n > 0) {
      std::lock_guard<std::mutex> lock(FMutex);
      for (DWORD i = 0; i < n; ++i) {
        if (buf[i] == '\n') {
          if (!partial.empty() && partial.back() == '\r') partial.pop_back();
          FQueue.push_back({id, TProcessEvent::TKind::Line, std::move(partial), 0});
          partial.clear();
        } else if (partial.size() < kMaxLine) {
          partial += buf[i];
        }
      }
      FReady.notify_all();
    }
    CloseHandle(out);
    WaitForSingleObject(process, FClosing ? 2000 : INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    std::lock_guard<std::mutex> lock(FMutex);
    if (const auto it = FChildren.find(id); it != FChildren.end()) it->second.ReaderDone = true;
    if (!partial.empty()) FQueue.push_back({id, TProcessEvent::TKind::Line, std::move(partial), 0});
    // Exception codes (0xC0000005 ...) are crashes; anything else is the program's own exit code.
    const int exitCode = code >= 0xC0000000u ? kCrashed : static_cast<int>(code);
    FQueue.push_back({id, TProcessEvent::TKind::Exit, {}, exitCode});
    FReady.notify_all();
  }

  static constexpr size_t kMaxLine = 64 * 1024;
  TAssignToJob FAssign;
  HANDLE FJob = nullptr;
  DWORD FJobError = 0;
  std::atomic<bool> FClosing{false};
  bool FWoken = false;
  mutable std::mutex FMutex;
  std::condition_variable FReady;
  std::deque<TProcessEvent> FQueue;
  std::map<int, TChild> FChildren;
  int FLastId = 0;
};

}  // namespace

void WakeProcessPoll() {
  std::lock_guard<std::mutex> lock(gLiveMutex);
  for (TWin32Processes* processes : gLive) processes->Wake();
}

std::unique_ptr<IProcesses> CreateWin32Processes(TAssignToJob assign) {
  return std::make_unique<TWin32Processes>(std::move(assign));
}

std::unique_ptr<IProcesses> CreatePlatformProcesses() {
  return CreateWin32Processes(
      [](HANDLE job, HANDLE process) { return AssignProcessToJobObject(job, process) != FALSE; });
}

std::string SelfExecutablePath() {
  wchar_t buf[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(std::size(buf)));
  if (n == 0) return {};
  return ToUtf8(buf, n);
}
