// A clock that moves only when the test says so. Advance() moves the
// monotonic and the wall time together and releases every wait whose
// deadline it reaches; waits for a condition alone are woken as usual. A
// poll() loop on it (Clock::PollWait) is woken through its descriptor at
// every move, and its deadline counts as a wait.
#ifndef ZEV_TESTING_FAKE_CLOCK_H_
#define ZEV_TESTING_FAKE_CLOCK_H_

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "base/clock.h"

namespace zev {

class FakeClock : public Clock {
 public:
  // Starts at an arbitrary monotonic origin and at 2027-01-15 12:00:00 UTC.
  explicit FakeClock(int64_t wall_millis = 1800000000000) : wall_offset_(wall_millis - kMonotonicStart) {}

  int64_t MonotonicMillis() override {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
  }
  int64_t WallMillis() override {
    std::lock_guard<std::mutex> lock(mu_);
    return now_ + wall_offset_;
  }

  // Moves time on by `millis` and releases the waits that are then due.
  void Advance(int64_t millis) {
    std::vector<Waiter*> due;
    {
      std::lock_guard<std::mutex> lock(mu_);
      now_ += millis;
      WakePollLoopsLocked();
      for (Waiter* w : waiters_) {
        if (w->deadline <= now_) {
          ++w->pending;
          due.push_back(w);
        }
      }
    }
    for (Waiter* w : due) {
      // Taking the waiter's own lock orders this wake-up after its last look
      // at the time, so it cannot be lost.
      { std::lock_guard<std::mutex> waiter_lock(*w->mu); }
      w->cv->notify_all();
      std::lock_guard<std::mutex> lock(mu_);
      --w->pending;  // `w` may be gone once this is seen
      changed_.notify_all();
    }
  }
  void AdvanceSeconds(int64_t seconds) { Advance(seconds * 1000); }
  // Sets the wall time alone (a clock change); the monotonic time stays.
  void SetWallMillis(int64_t wall_millis) {
    std::lock_guard<std::mutex> lock(mu_);
    wall_offset_ = wall_millis - now_;
    WakePollLoopsLocked();
  }

  // Blocks (in real time, at most `timeout_ms`) until at least `count`
  // threads wait on this clock for a deadline still ahead. Lets a test move
  // time only once the code under test has reached its next wait (a wait
  // that the last Advance released no longer counts). False on time-out.
  bool AwaitTimedWaiters(size_t count, int64_t timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      size_t timed = 0;
      for (Waiter* w : waiters_) timed += w->deadline != kNoDeadline && w->deadline > now_;
      for (const auto& poll : poll_deadlines_) timed += poll.second != kNoDeadline && poll.second > now_;
      return timed >= count;
    });
  }
  // The earliest deadline of the waits under way (kNoDeadline for none).
  int64_t NextDeadline() {
    std::lock_guard<std::mutex> lock(mu_);
    int64_t next = kNoDeadline;
    for (Waiter* w : waiters_) next = std::min(next, w->deadline);
    for (const auto& poll : poll_deadlines_) next = std::min(next, poll.second);
    return next;
  }

  int OpenWakeFd() override {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::lock_guard<std::mutex> lock(mu_);
    if (fd >= 0) poll_deadlines_[fd] = kNoDeadline;
    return fd;
  }
  void CloseWakeFd(int fd) override {
    if (fd < 0) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      poll_deadlines_.erase(fd);
      changed_.notify_all();
    }
    close(fd);
  }
  void ClearWakeFd(int fd) override {
    uint64_t count;
    if (fd >= 0 && read(fd, &count, sizeof(count)) < 0) return;
  }
  // Records the loop's deadline (for AwaitTimedWaiters and NextDeadline);
  // the loop waits for the descriptor until it is due.
  int PollTimeoutMs(int wake_fd, int64_t deadline_ms) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto poll = poll_deadlines_.find(wake_fd);
    if (poll != poll_deadlines_.end() && poll->second != deadline_ms) {
      poll->second = deadline_ms;
      changed_.notify_all();
    }
    return deadline_ms <= now_ ? 0 : -1;
  }

  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadline_ms,
                 const std::function<bool()>& done) override {
    Waiter w{lock.mutex(), &cv, deadline_ms, 0};
    {
      std::lock_guard<std::mutex> guard(mu_);
      waiters_.push_back(&w);
      changed_.notify_all();
    }
    bool result;
    for (;;) {
      if (done()) {
        result = true;
        break;
      }
      if (MonotonicMillis() >= deadline_ms) {
        result = false;
        break;
      }
      cv.wait(lock);
    }
    std::unique_lock<std::mutex> guard(mu_);
    waiters_.remove(&w);
    changed_.notify_all();
    if (w.pending > 0) {
      // An Advance is about to take our lock to wake us: let it finish
      // before `w` goes away.
      lock.unlock();
      changed_.wait(guard, [&] { return w.pending == 0; });
      guard.unlock();
      lock.lock();
    }
    return result;
  }

 private:
  static constexpr int64_t kMonotonicStart = 1000000;
  struct Waiter {
    std::mutex* mu;
    std::condition_variable* cv;
    int64_t deadline;
    int pending;  // guarded by FakeClock::mu_
  };

  void WakePollLoopsLocked() {
    const uint64_t one = 1;
    for (const auto& poll : poll_deadlines_) {
      if (write(poll.first, &one, sizeof(one)) < 0) continue;  // full: it is readable anyway
    }
  }

  std::mutex mu_;
  std::condition_variable changed_;
  int64_t now_ = kMonotonicStart;  // guarded by mu_
  int64_t wall_offset_;            // guarded by mu_
  std::list<Waiter*> waiters_;     // guarded by mu_
  // The wake descriptor of each poll() loop on this clock and the deadline
  // it waits for now; guarded by mu_.
  std::map<int, int64_t> poll_deadlines_;
};

}  // namespace zev

#endif  // ZEV_TESTING_FAKE_CLOCK_H_
