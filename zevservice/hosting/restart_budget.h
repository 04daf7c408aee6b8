// The rule by which the monitor starts a failed host again.
//
// A host that ends with kHostExitNormally asked to go and is not started
// again; a host that ends otherwise is, at once, while its group's budget
// allows it, and a group whose host is down is looked at again at every
// hourly sweep. A restart counts against the budget when it comes within
// the window (kBurstWindowMs by default) of the last one checked; once the
// budget (kRestartBudget by default) of restarts have counted, restarts are
// refused until tomorrow (UTC): the first check on
// another UTC date clears the count and the refusal. The first check of all
// is on "another date" and clears what it just counted.
//
// The monitor checks after every restart it made and, for a host that is
// down, at every sweep before it decides (so a sweep counts as a restart
// when it comes within the window, and the restart it then makes once
// more). A value, one per group; not thread-safe.
#ifndef ZEV_HOSTING_RESTART_BUDGET_H_
#define ZEV_HOSTING_RESTART_BUDGET_H_

#include <cstdint>

#include "base/timings.h"

namespace pubsdk {

// The exit code of a host that ended because it was told to (or chose to).
constexpr int kHostExitNormally = 255;
// The defaults (Timings::restart_window_ms and restart_budget).
constexpr uint32_t kBurstWindowMs = static_cast<uint32_t>(zev::Timings().restart_window_ms);  // 27 minutes
constexpr uint32_t kRestartBudget = static_cast<uint32_t>(zev::Timings().restart_budget);

class RestartBudget {
 public:
  RestartBudget() = default;
  RestartBudget(uint32_t window_ms, uint32_t budget) : window_ms_(window_ms), budget_(budget) {}

  // Whether a host that ended with `exit_code` is to be started again.
  static bool RestartsAfterExit(int exit_code) { return exit_code != kHostExitNormally; }

  // Whether a failed host may be started again now, as the last check left it.
  bool allows_restart() const { return !refused_; }
  // A restart just made at `now_tick` (the clock's TickCount, which wraps
  // every 49.7 days) on UTC day `today`.
  void CountRestart(uint32_t now_tick, int64_t today);
  // The hourly sweep finds the host down: counts as above, then answers
  // whether to start it now.
  bool AllowsSweepRestart(uint32_t now_tick, int64_t today) {
    CountRestart(now_tick, today);
    return allows_restart();
  }

  uint32_t count() const { return count_; }
  bool refused() const { return refused_; }

 private:
  uint32_t window_ms_ = kBurstWindowMs;
  uint32_t budget_ = kRestartBudget;
  uint32_t count_ = 0;
  uint32_t last_tick_ = 0;
  bool refused_ = false;
  int64_t day_ = -1;  // UTC day of the last check; -1 before the first
};

// The wait before a failed host is started again, on top of the budget. A
// host that ends within reset_ms of its start ended "soon": the first such
// end is restarted at once, each further one in a row waits first_ms, then
// twice as long each time, up to max_ms. A host that stayed up reset_ms or
// longer starts the row anew (its restart is immediate). first_ms 0: never
// waits. A value, one per group; not thread-safe.
class RestartBackoff {
 public:
  RestartBackoff() = default;
  RestartBackoff(int64_t first_ms, int64_t max_ms, int64_t reset_ms)
      : first_ms_(first_ms), max_ms_(max_ms), reset_ms_(reset_ms) {}

  // The host ended after `up_ms` up: how long to wait before its restart.
  int64_t DelayAfterEnd(int64_t up_ms);

  // Quick ends in a row so far.
  int quick_ends() const { return quick_ends_; }

 private:
  int64_t first_ms_ = zev::Timings().restart_backoff_first_ms;
  int64_t max_ms_ = zev::Timings().restart_backoff_max_ms;
  int64_t reset_ms_ = zev::Timings().restart_backoff_reset_ms;
  int quick_ends_ = 0;
};

}  // namespace pubsdk

#endif  // ZEV_HOSTING_RESTART_BUDGET_H_
