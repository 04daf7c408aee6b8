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
};

#endif  // ZEV_BASE_CLOCK_H_
