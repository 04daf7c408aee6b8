// CZEVMessageQueue: a blocking first-in first-out queue. Safe for use from
// any number of threads.
#ifndef ZEV_BASE_MESSAGE_QUEUE_H_
#define ZEV_BASE_MESSAGE_QUEUE_H_

#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/log.h"

namespace zev {

template <typename T>
class CZEVMessageQueue {
 public:
  virtual ~CZEVMessageQueue() = default;

  void push(const T& item) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      items_.push_back(item);
    }
    wake_.notify_one();
  }

  // Appends like push, but first drops the oldest elements while `cap` or
  // more are queued, so the queue never holds more than `cap`. Answers how
  // many were dropped.
  size_t push_capped(const T& item, size_t cap) {
    size_t dropped = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      while (cap > 0 && items_.size() >= cap) {
        items_.pop_front();
        ++dropped;
      }
      items_.push_back(item);
    }
    wake_.notify_one();
    return dropped;
  }

  // Takes the first element. With `wait`, blocks until there is one;
  // without, answers false at once when the queue is empty.
  bool pop(T& item, bool wait) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!wait && items_.empty()) return false;
    while (items_.empty()) {
      DebugPrint("task waitting ...");
      wake_.wait(lock);
    }
    item = items_.front();
    items_.pop_front();
    return true;
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return items_.size();
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::deque<T> items_;  // guarded by mu_
};

}  // namespace zev

#endif  // ZEV_BASE_MESSAGE_QUEUE_H_
