// Whether the component manager is on its way out, shared by its front ends
// and its component loader: a wait on the clock ends as soon as it is set.
#ifndef ZEV_HOSTING_STOP_STATE_H_
#define ZEV_HOSTING_STOP_STATE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "base/clock.h"

class StopState {
 public:
  explicit StopState(Clock* clock) : clock_(clock) {}

  // A Start begins: quitting only when a stop was asked meanwhile.
  void BeginStart() {
    std::lock_guard<std::mutex> lock(mu_);
    quitting_ = stop_requested_;
    flag_ = quitting_;
  }
  // A stop asked while Start may still run; it holds until EndQuit.
  void RequestStop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_requested_ = true;
      quitting_ = true;
      flag_ = true;
    }
    cv_.notify_all();
  }
  void BeginQuit() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quitting_ = true;
      flag_ = true;
    }
    cv_.notify_all();
  }
  void EndQuit() {
    std::lock_guard<std::mutex> lock(mu_);
    stop_requested_ = false;
  }

  bool quitting() const {
    std::lock_guard<std::mutex> lock(mu_);
    return quitting_;
  }
  // Set with quitting, for work that cannot take the lock (unpacking).
  const std::atomic<bool>* flag() const { return &flag_; }

  // Waits up to `ms` on the clock; false when quitting came first.
  bool Wait(int64_t ms) {
    std::unique_lock<std::mutex> lock(mu_);
    clock_->WaitFor(lock, cv_, ms, [this] { return quitting_; });
    return !quitting_;
  }
  // Waits up to `ms` on the clock for `done`, which is asked under the lock.
  void WaitFor(int64_t ms, const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mu_);
    clock_->WaitFor(lock, cv_, ms, done);
  }

 private:
  Clock* const clock_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool quitting_ = false;        // guarded by mu_
  bool stop_requested_ = false;  // guarded by mu_
  std::atomic<bool> flag_{false};
};

#endif  // ZEV_HOSTING_STOP_STATE_H_
