// How 10,000 machines load the strategy server through a one-hour outage,
// with the waits the update thread draws (PassTimer) beside the waits it drew
// before (no spread at the clamped defaults, retries at exactly 120 s,
// 240 s, ...), simulated in the same run on a simulated clock.
//
// Two stories, both at the default First (300 s) and Interval (10,800 s):
//   - steady: the machines' passes are spread over an Interval when the
//     server goes down for an hour;
//   - together: the machines start at the same moment (a fleet restarted by
//     one update) while the server is down, and it comes back an hour later.
// For each it prints the peak number of requests in a minute, of all and of
// those the server answered, against the steady rate (machines / Interval).
//   herd_bench [machines]
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <queue>
#include <random>
#include <vector>

#include "strategy/server_strategy.h"

namespace zev {

namespace {

constexpr int64_t kMinuteMs = 60 * 1000;
constexpr int64_t kOutageMs = 3600 * 1000;

// The waits as they were: First and Interval exact at their clamps, retries
// doubling from 120 s without spread below Interval.
class FormerTimer {
 public:
  explicit FormerTimer(uint64_t seed) : random_(seed) {}
  int64_t FirstWaitMs() { return kFirstDefaultSeconds * 1000; }
  int64_t NextWaitMs(bool reached) {
    const int64_t interval_ms = kIntervalDefaultSeconds * 1000;
    if (reached) {
      retry_ms_ = 0;
      return interval_ms;
    }
    retry_ms_ = retry_ms_ == 0 ? kRetryFirstSeconds * 1000 : std::min(retry_ms_ * 2, interval_ms);
    if (retry_ms_ >= interval_ms) return interval_ms;
    const int64_t extra = std::uniform_int_distribution<int64_t>(0, retry_ms_ / 10)(random_);
    return std::min(retry_ms_ + extra, interval_ms);
  }

 private:
  int64_t retry_ms_ = 0;
  std::mt19937_64 random_;
};

struct Figures {
  int64_t peak_all = 0;       // requests in the busiest minute
  int64_t peak_answered = 0;  // of those the server answered
};

// Runs `machines` machines from time 0 to `end_ms`; the server is down in
// [down_ms, down_ms + kOutageMs). `start_ms(i)` is machine i's first pass.
template <typename Timer>
Figures Simulate(int machines, int64_t down_ms, int64_t end_ms, const std::function<int64_t(int)>& start_ms) {
  std::vector<Timer> timers;
  timers.reserve(static_cast<size_t>(machines));
  for (int i = 0; i < machines; ++i) timers.emplace_back(static_cast<uint64_t>(i) * 7919 + 1);
  using Pass = std::pair<int64_t, int>;  // (time, machine)
  std::priority_queue<Pass, std::vector<Pass>, std::greater<Pass>> due;
  for (int i = 0; i < machines; ++i) due.emplace(start_ms(i), i);
  std::vector<int64_t> all(static_cast<size_t>(end_ms / kMinuteMs + 1)), answered(all.size());
  while (!due.empty() && due.top().first < end_ms) {
    const auto [at, machine] = due.top();
    due.pop();
    const bool up = at < down_ms || at >= down_ms + kOutageMs;
    ++all[static_cast<size_t>(at / kMinuteMs)];
    if (up) ++answered[static_cast<size_t>(at / kMinuteMs)];
    due.emplace(at + timers[static_cast<size_t>(machine)].NextWaitMs(up), machine);
  }
  Figures figures;
  for (size_t m = 0; m < all.size(); ++m) {
    figures.peak_all = std::max(figures.peak_all, all[m]);
    figures.peak_answered = std::max(figures.peak_answered, answered[m]);
  }
  return figures;
}

// PassTimer with the defaults, as the update thread makes it.
struct CurrentTimer : PassTimer {
  explicit CurrentTimer(uint64_t seed) : PassTimer(kFirstDefaultSeconds, kIntervalDefaultSeconds, true, seed) {}
};

void Report(const char* story, const char* who, const Figures& f, double steady_per_minute) {
  printf("%-9s %-8s peak %6lld requests/min (%5.1fx steady), answered %6lld/min (%5.1fx steady)\n", story, who,
         static_cast<long long>(f.peak_all), static_cast<double>(f.peak_all) / steady_per_minute,
         static_cast<long long>(f.peak_answered), static_cast<double>(f.peak_answered) / steady_per_minute);
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  const int machines = argc > 1 ? atoi(argv[1]) : 10000;
  if (machines <= 0) {
    fprintf(stderr, "usage: herd_bench [machines]\n");
    return 2;
  }
  const int64_t interval_ms = kIntervalDefaultSeconds * 1000;
  const double steady_per_minute = static_cast<double>(machines) * kMinuteMs / static_cast<double>(interval_ms);
  printf("%d machines, First %llds, Interval %llds, a %llds outage; steady rate %.1f requests/min\n", machines,
         static_cast<long long>(kFirstDefaultSeconds), static_cast<long long>(kIntervalDefaultSeconds),
         static_cast<long long>(kOutageMs / 1000), steady_per_minute);

  // Steady: passes spread over an Interval; the outage begins after three
  // Intervals and the run ends four Intervals after it.
  std::mt19937_64 phases(42);
  std::vector<int64_t> phase(static_cast<size_t>(machines));
  for (int64_t& p : phase) p = std::uniform_int_distribution<int64_t>(0, interval_ms - 1)(phases);
  const int64_t down = 3 * interval_ms, end = down + kOutageMs + 4 * interval_ms;
  auto spread = [&](int i) { return phase[static_cast<size_t>(i)]; };
  Report("steady", "before", Simulate<FormerTimer>(machines, down, end, spread), steady_per_minute);
  Report("steady", "now", Simulate<CurrentTimer>(machines, down, end, spread), steady_per_minute);

  // Together: every machine starts at 0 (its first pass after First), the
  // server is down for the first hour.
  auto together_former = [](int) { return kFirstDefaultSeconds * 1000; };
  Report("together", "before", Simulate<FormerTimer>(machines, 0, 6 * interval_ms, together_former),
         steady_per_minute);
  std::vector<int64_t> first(static_cast<size_t>(machines));
  for (int i = 0; i < machines; ++i) first[static_cast<size_t>(i)] = CurrentTimer(static_cast<uint64_t>(i)).FirstWaitMs();
  Report("together", "now",
         Simulate<CurrentTimer>(machines, 0, 6 * interval_ms, [&](int i) { return first[static_cast<size_t>(i)]; }),
         steady_per_minute);
  printf("aim: the peak of answered requests at most 2x the steady rate\n");
  return 0;
}
