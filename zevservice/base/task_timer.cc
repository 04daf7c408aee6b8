#include "base/task_timer.h"

#include <pthread.h>

TaskTimer::TaskTimer(Clock* clock) : clock_(clock), thread_(&TaskTimer::Loop, this) {
  pthread_setname_np(thread_.native_handle(), "zev-timer");
}

TaskTimer::~TaskTimer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }
  wake_.notify_all();
  thread_.join();
  entries_.clear();
  schedule_.clear();
  while (!free_ids_.empty()) free_ids_.pop();
}

uint64_t TaskTimer::ScheduleMillis(int64_t delay_ms, Callback callback, int64_t interval_ms) {
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
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
  }
  wake_.notify_all();
  return id;
}

bool TaskTimer::cancel(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mu_);
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
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopped_) {
    if (schedule_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = schedule_.begin();
    if (first->first > clock_->MonotonicMillis()) {
      // Woken early by a change of the schedule, the stop, or the time.
      const size_t size = schedule_.size();
      const int64_t due = first->first;
      clock_->WaitUntil(lock, wake_, due, [&] {
        return stopped_ || schedule_.size() != size || schedule_.begin()->first != due;
      });
      continue;
    }
    uint64_t id = first->second;
    schedule_.erase(first);
    Callback callback = entries_[id].callback;  // entries_ may grow while it runs
    lock.unlock();
    callback(id);
    lock.lock();
    Entry& entry = entries_[id];
    if (entry.active && entry.interval > 0) {
      schedule_.emplace(clock_->MonotonicMillis() + entry.interval, id);
    } else {
      entry.active = false;
      free_ids_.push(id);
    }
  }
}
