// TaskTimer: one thread that runs delayed and periodic callbacks identified
// by small integer ids. Callbacks run on the timer's thread one after
// another, without the timer's lock, so they may schedule and cancel.
#ifndef ZEV_BASE_TASK_TIMER_H_
#define ZEV_BASE_TASK_TIMER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stack>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"

class TaskTimer {
 public:
  using Callback = std::function<void(uint64_t id)>;

  // Starts the thread. Delays and intervals are of `clock` (not owned; must
  // outlive the timer): whole seconds for schedule, milliseconds for
  // ScheduleMillis.
  explicit TaskTimer(Clock* clock = Clock::Real());
  // Stops and joins the thread (waiting for a running callback) and drops
  // every entry. Must not run on the timer's own thread.
  ~TaskTimer();
  TaskTimer(const TaskTimer&) = delete;
  TaskTimer& operator=(const TaskTimer&) = delete;

  // Runs `callback` after `delay` units and then, when `interval` > 0, again
  // `interval` units after each run ended. Returns the entry's id; ids of
  // finished or cancelled entries are reused first, so a stale id may name a
  // newer entry.
  uint64_t schedule(int64_t delay, Callback callback, int64_t interval = 0) {
    return ScheduleMillis(delay * 1000, std::move(callback), interval * 1000);
  }
  // The same in milliseconds of the clock.
  uint64_t ScheduleMillis(int64_t delay_ms, Callback callback, int64_t interval_ms = 0);
  // Stops the entry: a pending run is dropped, a running one finishes and is
  // not scheduled again. False when no entry ever had the id.
  bool cancel(uint64_t id);

 private:
  struct Entry {
    uint64_t id = 0;
    int64_t due = 0;       // monotonic milliseconds
    int64_t interval = 0;  // milliseconds
    Callback callback;
    bool active = false;
  };

  void Loop();

  Clock* const clock_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stopped_ = false;                                 // guarded by mu_
  std::vector<Entry> entries_;                           // guarded by mu_
  std::multimap<int64_t, uint64_t> schedule_;        // guarded by mu_
  std::stack<uint64_t> free_ids_;                        // guarded by mu_
  std::thread thread_;  // last: starts once everything above exists
};

#endif  // ZEV_BASE_TASK_TIMER_H_
