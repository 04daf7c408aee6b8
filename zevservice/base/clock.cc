#include "base/clock.h"

#include <chrono>

#include "platform/wait.h"

namespace zev {

namespace {

class RealClock : public Clock {
 public:
  int64_t MonotonicMillis() override { return zev::MonotonicMillis(); }

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

}  // namespace

Clock* Clock::Real() {
  // Used by threads that may outlive static destruction.
  static Clock* clock = new RealClock();
  return clock;
}

}  // namespace zev
