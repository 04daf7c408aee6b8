#include "base/clock.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/wait.h"

namespace {

class RealClock : public Clock {
 public:
  int64_t MonotonicMillis() override { return ::MonotonicMillis(); }

  int64_t WallMillis() override {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }

  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadline_ms,
                 const std::function<bool()>& done) override {
    if (deadline_ms == kNoDeadline) {
      cv.wait(lock, done);
      return true;
    }
    // steady_clock is CLOCK_MONOTONIC on Linux, the scale of MonotonicMillis.
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline_ms));
    return cv.wait_until(lock, deadline, done);
  }
};

// Real time run `scale` times faster from the moment it is made: every
// time read and every wait is scaled, so that timers, retries and budgets
// keep their proportions. Only for end-to-end tests of whole processes.
class ScaledClock : public RealClock {
 public:
  explicit ScaledClock(int64_t scale)
      : scale_(scale), origin_(::MonotonicMillis()), wall_origin_(RealClock::WallMillis()) {}

  int64_t MonotonicMillis() override { return origin_ + (::MonotonicMillis() - origin_) * scale_; }
  int64_t WallMillis() override { return wall_origin_ + (::MonotonicMillis() - origin_) * scale_; }

  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadline_ms,
                 const std::function<bool()>& done) override {
    if (deadline_ms == kNoDeadline) return RealClock::WaitUntil(lock, cv, deadline_ms, done);
    const int64_t scaled = deadline_ms - origin_;
    const int64_t real = scaled <= 0 ? scaled : (scaled + scale_ - 1) / scale_;
    return RealClock::WaitUntil(lock, cv, origin_ + real, done);
  }

 private:
  const int64_t scale_;
  const int64_t origin_;
  const int64_t wall_origin_;
};

// ZEV_TIME_SCALE as a whole number from 2 to 1000; 1 otherwise.
int64_t TimeScaleFromEnvironment() {
  const char* text = getenv("ZEV_TIME_SCALE");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 1000) return 1;
  return value;
}

}  // namespace

Clock* Clock::Real() {
  // Used by threads that may outlive static destruction.
  static Clock* clock = [] {
    const int64_t scale = TimeScaleFromEnvironment();
    return scale > 1 ? static_cast<Clock*>(new ScaledClock(scale)) : new RealClock();
  }();
  return clock;
}

int64_t Clock::TimeScale() {
  static const int64_t scale = TimeScaleFromEnvironment();
  return scale;
}
