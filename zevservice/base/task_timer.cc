#include "base/task_timer.h"

#include <pthread.h>

namespace zev {

TaskTimer::TaskTimer(Clock* clock) : clock_(clock) {}

TaskTimer::~TaskTimer() {
  std::thread thread;
  {
    MutexLock lock(&mu_);
    stopped_ = true;  // from here on no thread starts
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
  MutexLock lock(&mu_);
  entries_.clear();
  schedule_.clear();
  while (!free_ids_.empty()) free_ids_.pop();
}

uint64_t TaskTimer::ScheduleMillis(int64_t delay_ms, Callback callback, int64_t interval_ms) {
  uint64_t id;
  {
    MutexLock lock(&mu_);
    if (!free_ids_.empty()) {
      id = free_ids_.top();
      free_ids_.pop();
    } else {
      id = entries_.size();
      entries_.emplace_back();
    }
    Entry& entry = entries_[id];
    entry.id = id;
    entry.due = clock_->MonotonicMillis() + delay_ms;
    entry.interval = interval_ms;
    entry.callback = std::move(callback);
    entry.active = true;
    schedule_.emplace(entry.due, id);
    if (!running_ && !stopped_) {
      // The last thread cleared running_ as its final step under mu_; it
      // needs the lock no more, so joining it here cannot block for long.
      if (thread_.joinable()) thread_.join();
      thread_ = std::thread(&TaskTimer::Loop, this);
      pthread_setname_np(thread_.native_handle(), "zev-timer");
      running_ = true;
      return id;  // the new thread looks at the schedule first
    }
  }
  wake_.notify_all();
  return id;
}

bool TaskTimer::cancel(uint64_t id) {
  {
    MutexLock lock(&mu_);
    if (entries_.empty() || id >= entries_.size()) return false;
    entries_[id].active = false;
    for (auto it = schedule_.begin(); it != schedule_.end(); ++it) {
      if (it->second == id) {
        schedule_.erase(it);
        free_ids_.push(id);
        break;
      }
    }
  }
  wake_.notify_all();
  return true;
}

void TaskTimer::Loop() {
  MutexLock lock(&mu_);
  for (;;) {
    if (stopped_ || schedule_.empty()) {
      running_ = false;  // the next ScheduleMillis joins this thread and starts another
      return;
    }
    auto first = schedule_.begin();
    if (first->first > clock_->MonotonicMillis()) {
      // Woken early by a change of the schedule, the stop, or the time.
      const size_t size = schedule_.size();
      const int64_t due = first->first;
      clock_->WaitUntil(lock.native(), wake_, due, [&] {
        mu_.AssertHeld();
        return stopped_ || schedule_.size() != size || schedule_.begin()->first != due;
      });
      continue;
    }
    uint64_t id = first->second;
    schedule_.erase(first);
    Callback callback = entries_[id].callback;  // entries_ may grow while it runs
    // The callback runs without the lock; the analysis does not see the release.
    lock.native().unlock();
    callback(id);
    lock.native().lock();
    Entry& entry = entries_[id];
    if (entry.active && entry.interval > 0) {
      schedule_.emplace(clock_->MonotonicMillis() + entry.interval, id);
    } else {
      entry.active = false;
      free_ids_.push(id);
    }
  }
}

}  // namespace zev
