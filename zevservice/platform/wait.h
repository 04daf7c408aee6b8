// Events and waits on several objects at once, the Linux form of Windows
// events and WaitForMultipleObjects: every waitable object has a file
// descriptor that poll() reports readable while the object is signalled.
#ifndef ZEV_PLATFORM_WAIT_H_
#define ZEV_PLATFORM_WAIT_H_

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zev {

constexpr int kInfinite = -1;
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;

class Waitable {
 public:
  virtual ~Waitable() = default;
  // Descriptor that is readable while the object is signalled.
  virtual int WaitFd() const = 0;
  // Called after poll() reported the descriptor readable; takes the signal
  // (an auto-reset event resets). False when another waiter took it first.
  virtual bool TryAcquire() = 0;
};

// An event on an eventfd. Set() on a signalled event changes nothing, so
// several Set() calls before a wait wake it once. Safe from any thread.
class Event : public Waitable {
 public:
  enum class ResetMode { kAuto, kManual };
  explicit Event(ResetMode mode = ResetMode::kAuto, bool initially_set = false);
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // False when the eventfd could not be created; such an event never signals.
  bool valid() const { return fd_ >= 0; }
  void Set();
  void Reset();
  // True when the event was (or became) signalled within the timeout in
  // milliseconds (kInfinite waits without limit). An auto-reset event is reset
  // by a successful wait.
  bool Wait(int timeout_ms);

  int WaitFd() const override { return fd_; }
  bool TryAcquire() override;

 private:
  const ResetMode mode_;
  const int fd_;
};

// Waits until one of `objects` is signalled and acquires it. Returns the
// lowest index among those signalled, kWaitTimeout when the time ran out, or
// kWaitFailed (an invalid object, or poll failed).
// poll(2) until `deadline_ms` on the MonotonicMillis() clock (-1: no
// deadline), resumed after signals. The number of ready descriptors, 0 when
// the deadline passed, -1 on failure.
int PollUntil(struct pollfd* fds, size_t count, int64_t deadline_ms);
// The deadline for a wait of `timeout_ms` from now; -1 stays -1 (forever).
int64_t DeadlineAfter(int timeout_ms);

int WaitForAny(const std::vector<Waitable*>& objects, int timeout_ms);

// Milliseconds of CLOCK_MONOTONIC, cut to 32 bits (wraps after ~49.7 days).
uint32_t GetTickCount();
// Milliseconds of CLOCK_MONOTONIC, not cut.
int64_t MonotonicMillis();

}  // namespace zev

#endif  // ZEV_PLATFORM_WAIT_H_
