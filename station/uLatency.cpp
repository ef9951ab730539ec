#include "station/uLatency.h"

#include <algorithm>

#include "station/uForeignJson.h"
#include "station/uPortDiag.h"
#include "station/uText.h"

namespace {

using TJson = TForeignJson;

struct TOutcomeName {
  TTimerOutcome Outcome;
  const char* Name;
};
constexpr TOutcomeName kOutcomeNames[] = {
    {TTimerOutcome::Shown, "shown"},         {TTimerOutcome::Set, "set"},
    {TTimerOutcome::SetPending, "pending"},  {TTimerOutcome::NoTimer, "no_timer"},
    {TTimerOutcome::NotPermitted, "denied"}, {TTimerOutcome::Failed, "failed"},
};

TTimerResult NoTimerOf(const TAdapterTimer& t) {
  TTimerResult r = TimerResultOf(t, TTimerOutcome::NoTimer);
  if (!t.Present) {
    r.Notes.push_back(t.Port + ": no such port.");
  } else {
    r.Notes.push_back(t.Port + " has no adapter latency timer" +
                      (t.Info.Driver.empty() ? "" : " (driver " + t.Info.Driver + ")") +
                      ": nothing holds its answers.");
  }
  return r;
}

TJson IntOrNull(int value) {
  return value < 0 ? TJson(nullptr) : TJson(value);
}

bool TimerField(const TJson& object, const char* key, int& ms) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    ms = -1;
    return true;
  }
  if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 1000) return false;
  ms = static_cast<int>(it->get<long long>());
  return true;
}

}  // namespace

TTimerResult TimerResultOf(const TAdapterTimer& t, TTimerOutcome outcome) {
  TTimerResult r;
  r.Port = t.Port;
  r.Outcome = outcome;
  r.WasMs = r.TimerMs = t.TimerMs;
  r.Driver = t.Info.Driver;
  r.UsbId = t.Info.UsbId;
  // Windows names the device, not the USB product.
  r.Product = t.Info.Product.empty() ? t.Info.FriendlyName : t.Info.Product;
  return r;
}

int LatencyExitCode(const std::vector<TTimerResult>& results) {
  for (const auto& [outcome, code] :
       {std::pair{TTimerOutcome::Failed, 1}, std::pair{TTimerOutcome::NotPermitted, kExitNotPermitted},
        std::pair{TTimerOutcome::NoTimer, kExitNoTimer},
        std::pair{TTimerOutcome::SetPending, kExitSetPending}}) {
    if (std::any_of(results.begin(), results.end(),
                    [&](const TTimerResult& r) { return r.Outcome == outcome; }))
      return code;
  }
  return 0;
}

TTimerResult NoTimerResult(const std::string& port, const std::string& why) {
  TTimerResult r;
  r.Port = port;
  r.Outcome = TTimerOutcome::NoTimer;
  r.Notes.push_back(port + " is " + why + ": it has no adapter latency timer.");
  return r;
}

std::vector<TTimerResult> ShowAdapterTimers(IAdapterTimers& timers, const std::vector<std::string>& ports) {
  std::vector<TTimerResult> results;
  for (const std::string& port : ports) {
    const TAdapterTimer t = timers.Read(port);
    if (t.TimerMs < 0) {
      results.push_back(NoTimerOf(t));
      continue;
    }
    TTimerResult r = TimerResultOf(t, TTimerOutcome::Shown);
    if (t.TimerMs > 1) {
      r.Notes.push_back(LatencyCostText(port, t.TimerMs));
      r.Notes.push_back("Set it to 1 ms with: pellory-cli latency " + ShellWord(port) + " --set 1");
    }
    results.push_back(r);
  }
  return results;
}

std::vector<TTimerResult> SetAdapterTimers(
    IAdapterTimers& timers, const std::vector<std::string>& ports, int ms, bool mayElevate,
    const std::function<void(const std::vector<std::string>&)>& onElevate) {
  std::vector<TTimerResult> results;
  std::vector<size_t> refusedAt;
  std::vector<TAdapterTimer> refused;
  for (const std::string& port : ports) {
    const TAdapterTimer t = timers.Read(port);
    if (t.TimerMs < 0) {
      results.push_back(NoTimerOf(t));
      continue;
    }
    TTimerResult r = timers.Write(t, ms);
    if (r.Outcome == TTimerOutcome::NotPermitted && mayElevate && timers.CanElevate()) {
      refusedAt.push_back(results.size());
      refused.push_back(t);
    }
    results.push_back(std::move(r));
  }
  if (refused.empty()) return results;
  if (onElevate) {
    std::vector<std::string> names;
    for (const TAdapterTimer& t : refused) names.push_back(t.Port);
    onElevate(names);
  }
  // One step for all of them: one prompt, however many ports.
  const std::vector<TTimerResult> elevated = timers.WriteElevated(refused, ms);
  for (size_t i = 0; i < refusedAt.size() && i < elevated.size(); ++i) results[refusedAt[i]] = elevated[i];
  return results;
}

std::vector<std::string> SlowAdapterPorts(IAdapterTimers& timers, const std::vector<std::string>& ports) {
  std::vector<std::string> slow;
  for (const std::string& port : ports) {
    if (timers.Read(port).TimerMs > 1) slow.push_back(port);
  }
  return slow;
}

std::string TimerResultsJson(const std::vector<TTimerResult>& results) {
  TJson array = TJson::array();
  for (const TTimerResult& r : results) {
    const char* outcome = "failed";
    for (const TOutcomeName& n : kOutcomeNames) {
      if (n.Outcome == r.Outcome) outcome = n.Name;
    }
    array.push_back({{"port", r.Port},
                     {"outcome", outcome},
                     {"was_ms", IntOrNull(r.WasMs)},
                     {"latency_timer_ms", IntOrNull(r.TimerMs)},
                     {"driver", r.Driver.empty() ? TJson(nullptr) : TJson(r.Driver)},
                     {"usb_id", r.UsbId.empty() ? TJson(nullptr) : TJson(r.UsbId)},
                     {"product", r.Product.empty() ? TJson(nullptr) : TJson(r.Product)},
                     {"notes", r.Notes}});
  }
  // Texts from the system may hold bytes that are not UTF-8: replaced rather than fail.
  return ForeignArrayText(array);
}

bool ParseTimerResults(const std::string& text, std::vector<TTimerResult>& results) {
  results.clear();
  return ReadForeignArray(text, [&results](const TJson& item) {
    TTimerResult r;
    std::string outcome;
    if (!ReadForeignText(item, "port", r.Port) || r.Port.empty() ||
        !ReadForeignText(item, "outcome", outcome) || !TimerField(item, "was_ms", r.WasMs) ||
        !TimerField(item, "latency_timer_ms", r.TimerMs) || !ReadForeignText(item, "driver", r.Driver) ||
        !ReadForeignText(item, "usb_id", r.UsbId) || !ReadForeignText(item, "product", r.Product) ||
        !ReadForeignNotes(item, r.Notes)) {
      return false;
    }
    const auto known = std::find_if(std::begin(kOutcomeNames), std::end(kOutcomeNames),
                                    [&](const TOutcomeName& n) { return outcome == n.Name; });
    if (known == std::end(kOutcomeNames)) return false;
    r.Outcome = known->Outcome;
    results.push_back(std::move(r));
    return true;
  });
}

std::string TimerTable(const std::vector<TTimerResult>& results) {
  std::vector<std::vector<std::string>> rows{{"Port", "Driver", "USB", "Product", "Latency timer"}};
  for (const TTimerResult& r : results) {
    rows.push_back({TerminalSafe(r.Port), TerminalSafe(r.Driver), TerminalSafe(r.UsbId),
                    TerminalSafe(r.Product), r.TimerMs < 0 ? "none" : std::to_string(r.TimerMs) + " ms"});
  }
  return FormatTable(rows);
}

std::string ShellWord(const std::string& port) {
  const bool plain = !port.empty() && std::all_of(port.begin(), port.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/._-+:@%,=").find(c) != std::string_view::npos;
  });
  if (plain) return port;
  std::string quoted = "'";
  for (char c : port) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}
