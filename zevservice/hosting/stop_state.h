// Whether the component manager is on its way out, shared by its front ends
// and its component loader: a wait on the clock ends as soon as it is set.
#ifndef ZEV_HOSTING_STOP_STATE_H_
#define ZEV_HOSTING_STOP_STATE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "base/annotated_mutex.h"
#include "base/clock.h"

namespace zev {

class StopState {
 public:
  explicit StopState(Clock* clock) : clock_(clock) {}

  // A Start begins: quitting only when a stop was asked meanwhile.
  void BeginStart() {
    MutexLock lock(&mu_);
    quitting_ = stop_requested_;
    flag_ = quitting_;
  }
  // A stop asked while Start may still run; it holds until EndQuit.
  void RequestStop() {
    {
      MutexLock lock(&mu_);
      stop_requested_ = true;
      quitting_ = true;
      flag_ = true;
    }
    cv_.notify_all();
  }
  void BeginQuit() {
    {
      MutexLock lock(&mu_);
      quitting_ = true;
      flag_ = true;
    }
    cv_.notify_all();
  }
  void EndQuit() {
    MutexLock lock(&mu_);
    stop_requested_ = false;
  }

  bool quitting() const {
    MutexLock lock(&mu_);
    return quitting_;
  }
  // Set with quitting, for work that cannot take the lock (unpacking).
  const std::atomic<bool>* flag() const { return &flag_; }

  // Waits up to `ms` on the clock; false when quitting came first.
  bool Wait(int64_t ms) {
    MutexLock lock(&mu_);
    clock_->WaitFor(lock.native(), cv_, ms, [this] {
      mu_.AssertHeld();
      return quitting_;
    });
    return !quitting_;
  }
  // Waits up to `ms` on the clock for `done`, which is asked under the lock.
  void WaitFor(int64_t ms, const std::function<bool()>& done) {
    MutexLock lock(&mu_);
    clock_->WaitFor(lock.native(), cv_, ms, done);
  }

 private:
  Clock* const clock_;
  mutable Mutex mu_;
  std::condition_variable cv_;
  bool quitting_ GUARDED_BY(mu_) = false;
  bool stop_requested_ GUARDED_BY(mu_) = false;
  std::atomic<bool> flag_{false};
};

}  // namespace zev

#endif  // ZEV_HOSTING_STOP_STATE_H_
