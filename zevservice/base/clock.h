// The one source of time for everything that waits seconds, minutes or
// hours: timers, retries, restart budgets, debounces, poll intervals.
// Production code runs on Clock::Real(); tests hand a FakeClock
// (testing/fake_clock.h) to the object under test and move its time by hand,
// which releases every wait that the move makes due.
#ifndef ZEV_BASE_CLOCK_H_
#define ZEV_BASE_CLOCK_H_

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>

namespace zev {

class Clock {
 public:
  virtual ~Clock() = default;

  // The process-wide real clock; never destroyed. End-to-end tests of
  // whole processes shorten the delays instead (Timings::Short()).
  static Clock* Real();

  // Milliseconds on a monotonic scale (never goes back; the origin is
  // arbitrary).
  virtual int64_t MonotonicMillis() = 0;
  // Milliseconds since 1970-01-01 00:00:00 UTC.
  virtual int64_t WallMillis() = 0;
  // Whole seconds since 1970-01-01 UTC, as time() gives them.
  time_t WallSeconds() { return static_cast<time_t>(WallMillis() / 1000); }
  // GetTickCount(): the monotonic milliseconds cut to 32 bits.
  uint32_t TickCount() { return static_cast<uint32_t>(MonotonicMillis()); }
  // The UTC calendar day number since 1970-01-01 (changes at midnight UTC).
  int64_t UtcDay() { return WallMillis() / 86400000; }

  // Waits on `cv` (with `lock` held on entry and on return) until `done`
  // answers true or MonotonicMillis() reaches `deadline_ms`. Whoever changes
  // what `done` reads must do so under the lock and notify `cv`. Returns the
  // last answer of `done`. A deadline of kNoDeadline waits for `done` alone.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadline_ms,
                         const std::function<bool()>& done) = 0;
  // The same for a wait of `delay_ms` from now.
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t delay_ms,
               const std::function<bool()>& done) {
    return WaitUntil(lock, cv, delay_ms < 0 ? kNoDeadline : MonotonicMillis() + delay_ms, done);
  }

  static constexpr int64_t kNoDeadline = INT64_MAX;

  // ---- Waiting in a poll() loop ----
  // A loop that waits in poll() for descriptors and for a deadline of this
  // clock keeps one PollWait: it adds fd() to its descriptors when that is
  // not -1, passes TimeoutMs(deadline) as the timeout and calls Clear() when
  // fd() was readable; then it reads the time anew. So a clock that a test
  // moves by hand wakes the loop, and no thread waits on the clock alone.
  class PollWait {
   public:
    explicit PollWait(Clock* clock) : clock_(clock), fd_(clock->OpenWakeFd()) {}
    ~PollWait() { clock_->CloseWakeFd(fd_); }
    PollWait(const PollWait&) = delete;
    PollWait& operator=(const PollWait&) = delete;

    int fd() const { return fd_; }
    int TimeoutMs(int64_t deadline_ms) { return clock_->PollTimeoutMs(fd_, deadline_ms); }
    void Clear() { clock_->ClearWakeFd(fd_); }

   private:
    Clock* const clock_;
    const int fd_;
  };

  // PollWait's parts. A clock whose time moves otherwise than with real time
  // hands out a descriptor that becomes readable at each move; -1 here.
  virtual int OpenWakeFd() { return -1; }
  virtual void CloseWakeFd(int /*fd*/) {}
  virtual void ClearWakeFd(int /*fd*/) {}
  // poll()'s timeout for the wait of `wake_fd`'s loop until `deadline_ms`:
  // 0 once due, -1 for kNoDeadline, else the real milliseconds left (a
  // clock moved by hand answers -1 until due and wakes the loop by fd).
  virtual int PollTimeoutMs(int /*wake_fd*/, int64_t deadline_ms) {
    if (deadline_ms == kNoDeadline) return -1;
    const int64_t left = deadline_ms - MonotonicMillis();
    return left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
  }
};

}  // namespace zev

#endif  // ZEV_BASE_CLOCK_H_
