// Waiting helpers for tests: a one-shot latch (abseil's Notification) and a
// counter that a test can wait on. Every wait is bounded in real time so
// that a broken test fails instead of hanging.
#ifndef ZEV_TESTING_SYNC_H_
#define ZEV_TESTING_SYNC_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>
#include <mutex>
#include <vector>

namespace zev {

class Latch {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [this] { return open_; });
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> lock(mu_);
    return open_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Counts calls and lets a test wait for the n-th. Each call may record a
// value (for example the fake clock's time when it happened).
class Counter {
 public:
  void Hit(int64_t value = 0) {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
    values_.push_back(value);
    cv_.notify_all();
  }
  bool WaitFor(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu_);
    return count_;
  }
  std::vector<int64_t> values() {
    std::lock_guard<std::mutex> lock(mu_);
    return values_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
  std::vector<int64_t> values_;
};

// Polls `done` every 10 ms until it answers true or `timeout_ms` passes.
inline bool PollUntil(const std::function<bool()>& done, int timeout_ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace zev

#endif  // ZEV_TESTING_SYNC_H_
