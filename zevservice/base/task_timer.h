// TaskTimer: runs delayed and periodic callbacks identified by small integer
// ids. Callbacks run on the timer's thread one after another, without the
// timer's lock, so they may schedule and cancel.
//
// The thread lives only while something is scheduled: the first entry
// starts it, and it ends once no entry is left (a one-shot entry has run,
// the last one was cancelled); the next entry starts a new one. A timer
// that holds a periodic entry thus keeps its thread, an idle one has none.
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

#include "base/annotated_mutex.h"
#include "base/clock.h"

namespace zev {

class TaskTimer {
 public:
  using Callback = std::function<void(uint64_t id)>;

  // Delays and intervals are of `clock` (not owned; must outlive the
  // timer): whole seconds for schedule, milliseconds for ScheduleMillis.
  // No thread starts here.
  explicit TaskTimer(Clock* clock);
  // Stops and joins the thread (waiting for a running callback) and drops
  // every entry. Must not run on the timer's own thread (in a callback).
  ~TaskTimer();
  TaskTimer(const TaskTimer&) = delete;
  TaskTimer& operator=(const TaskTimer&) = delete;

  // Runs `callback` after `delay` units and then, when `interval` > 0, again
  // `interval` units after each run ended. Returns the entry's id; ids of
  // finished or cancelled entries are reused first, so a stale id may name a
  // newer entry. Starts the thread when it is not running; throws
  // std::system_error when no thread can be made (the entry then waits for
  // the next thread).
  uint64_t schedule(int64_t delay, Callback callback, int64_t interval = 0) {
    return ScheduleMillis(delay * 1000, std::move(callback), interval * 1000);
  }
  // The same in milliseconds of the clock.
  uint64_t ScheduleMillis(int64_t delay_ms, Callback callback, int64_t interval_ms = 0) EXCLUDES(mu_);
  // Stops the entry: a pending run is dropped, a running one finishes and is
  // not scheduled again. False when no entry ever had the id.
  bool cancel(uint64_t id) EXCLUDES(mu_);

 private:
  struct Entry {
    uint64_t id = 0;
    int64_t due = 0;       // monotonic milliseconds
    int64_t interval = 0;  // milliseconds
    Callback callback;
    bool active = false;
  };

  void Loop() EXCLUDES(mu_);

  Clock* const clock_;
  Mutex mu_;
  std::condition_variable wake_;
  bool stopped_ GUARDED_BY(mu_) = false;
  // thread_ runs Loop and will look at the schedule again before it ends.
  bool running_ GUARDED_BY(mu_) = false;
  std::vector<Entry> entries_ GUARDED_BY(mu_);
  std::multimap<int64_t, uint64_t> schedule_ GUARDED_BY(mu_);
  std::stack<uint64_t> free_ids_ GUARDED_BY(mu_);
  // The running thread, or the last one (ended, or ending, once running_ is
  // false; joined when the next starts).
  std::thread thread_ GUARDED_BY(mu_);
};

}  // namespace zev

#endif  // ZEV_BASE_TASK_TIMER_H_
