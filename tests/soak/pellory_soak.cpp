// pellory_soak: many update runs over the simulated logger in virtual time, each with faults drawn from its
// random key, each checked against the outcome the faults call for.
//
//   pellory_soak                 1000 runs from key 1, fewer in sanitizer builds (PELLORY_SOAK_RUNS
//   overrides) pellory_soak --runs 100000   a long soak by hand pellory_soak --key 4711      replays one run
//   and prints its events
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/soak/uSoak.h"

namespace {

// The CTest form must stay short in every flavour CI runs; sanitizers slow a run down 5 to 20 times.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PELLORY_SOAK_TSAN 1
#endif
#if __has_feature(address_sanitizer)
#define PELLORY_SOAK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(PELLORY_SOAK_TSAN)
constexpr uint64_t kDefaultRuns = 100;
#elif defined(__SANITIZE_ADDRESS__) || defined(PELLORY_SOAK_ASAN)
constexpr uint64_t kDefaultRuns = 300;
#else
constexpr uint64_t kDefaultRuns = 1000;
#endif

const char* const kUsage =
    "usage: pellory_soak [--runs N] [--first KEY] [--key KEY]\n"
    "  --runs N     number of runs, random keys FIRST to FIRST + N - 1 (default 1000, 300 with ASan, 100 "
    "with\n"
    "               TSan, or PELLORY_SOAK_RUNS)\n"
    "  --first KEY  first random key (default 1)\n"
    "  --key KEY    replay the run of this key alone and print its events\n";

bool ParseCount(const char* text, uint64_t& value) {
  char* end = nullptr;
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  value = std::strtoull(text, &end, 0);
  return *end == '\0';
}

std::string Allowed(const TSoakPlan& plan) {
  std::string text;
  for (int32_t end : plan.Allowed) text += (text.empty() ? "" : ", ") + EndName(end);
  return text;
}

int Replay(uint64_t key) {
  const TSoakPlan plan = MakePlan(key);
  std::printf("key %llu: %s;%s image %d%s, logger 0x%04X version 0x%04X, %s, pace %u\n",
              static_cast<unsigned long long>(key), plan.Fault.c_str(), plan.Detail.c_str(), plan.Image,
              plan.UseFile ? " as file" : "", plan.Config.LoggerClass, plan.Config.LoggerVersion,
              plan.Threaded ? "own thread" : "calling thread", plan.Config.PaceBaud);
  std::printf("allowed: %s\n", Allowed(plan).c_str());
  const TSoakResult result = RunPlan(plan);
  std::printf("events:");
  for (const TWorkerEvent& e : result.Events)
    if (e.code != 1) std::printf(" %u/%d", e.code, e.value);
  std::printf("\nframes %u, virtual time %llu ms, ended with %s\n", result.Frames,
              static_cast<unsigned long long>(result.VirtualMs), EndName(result.End).c_str());
  for (const std::string& problem : result.Problems) std::printf("PROBLEM: %s\n", problem.c_str());
  return result.Problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t runs = kDefaultRuns;
  uint64_t first = 1;
  if (const char* env = std::getenv("PELLORY_SOAK_RUNS"); env != nullptr && !ParseCount(env, runs)) {
    std::fprintf(stderr, "PELLORY_SOAK_RUNS is not a number\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t number = 0;
    if (std::strcmp(arg, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!ParseCount(value, number)) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    ++i;
    if (std::strcmp(arg, "--runs") == 0) {
      runs = number;
    } else if (std::strcmp(arg, "--first") == 0) {
      first = number;
    } else if (std::strcmp(arg, "--key") == 0) {
      return Replay(number);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }

  const auto started = std::chrono::steady_clock::now();
  std::map<int32_t, uint64_t> byEnd;
  std::map<std::string, std::map<int32_t, uint64_t>> byFault;
  uint64_t failed = 0;
  for (uint64_t key = first; key < first + runs; ++key) {
    const TSoakPlan plan = MakePlan(key);
    const TSoakResult result = RunPlan(plan);
    ++byEnd[result.End];
    ++byFault[plan.Fault][result.End];
    if (!result.Problems.empty()) {
      ++failed;
      std::printf("FAIL key %llu (%s;%s replay: pellory_soak --key %llu):\n",
                  static_cast<unsigned long long>(key), plan.Fault.c_str(), plan.Detail.c_str(),
                  static_cast<unsigned long long>(key));
      for (const std::string& problem : result.Problems) std::printf("    %s\n", problem.c_str());
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf("pellory_soak: %llu runs, keys %llu to %llu, %llu failed, %.1f s\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(first + runs - 1), static_cast<unsigned long long>(failed),
              seconds);
  std::printf("\n  %-24s %8s\n", "end", "runs");
  for (const auto& [end, count] : byEnd)
    std::printf("  %-24s %8llu\n", EndName(end).c_str(), static_cast<unsigned long long>(count));
  std::printf("\n  %-34s %s\n", "fault", "ends (runs)");
  for (const auto& [fault, ends] : byFault) {
    std::string text;
    for (const auto& [end, count] : ends)
      text += (text.empty() ? "" : ", ") + EndName(end) + " " + std::to_string(count);
    std::printf("  %-34s %s\n", fault.c_str(), text.c_str());
  }
  return failed == 0 ? 0 : 1;
}
