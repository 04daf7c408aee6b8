#include "rpc/task_timer.h"

TaskTimer::TaskTimer(std::chrono::nanoseconds unit) : unit_(unit), thread_(&TaskTimer::Loop, this) {}

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

uint64_t TaskTimer::schedule(int64_t delay, Callback callback, int64_t interval) {
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
    entry.due = Clock::now() + std::chrono::duration_cast<Clock::duration>(unit_ * delay);
    entry.interval = std::chrono::duration_cast<std::chrono::microseconds>(unit_ * interval);
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
    if (first->first > Clock::now()) {
      wake_.wait_until(lock, first->first);
      continue;
    }
    uint64_t id = first->second;
    schedule_.erase(first);
    Callback callback = entries_[id].callback;  // entries_ may grow while it runs
    lock.unlock();
    callback(id);
    lock.lock();
    Entry& entry = entries_[id];
    if (entry.active && entry.interval.count() > 0) {
      schedule_.emplace(Clock::now() + entry.interval, id);
    } else {
      entry.active = false;
      free_ids_.push(id);
    }
  }
}
