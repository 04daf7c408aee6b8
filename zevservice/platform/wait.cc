#include "platform/wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace zev {

Event::Event(ResetMode mode, bool initially_set)
    : mode_(mode), fd_(eventfd(initially_set ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  if (fd_ < 0) return;
  uint64_t one = 1;
  // EAGAIN only when the counter is at its maximum, which still reads as set.
  while (write(fd_, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void Event::Reset() {
  if (fd_ < 0) return;
  uint64_t value;
  while (read(fd_, &value, sizeof(value)) < 0 && errno == EINTR) {
  }
}

bool Event::TryAcquire() {
  if (fd_ < 0) return false;
  if (mode_ == ResetMode::kManual) {
    struct pollfd p = {fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
  }
  uint64_t value;
  for (;;) {
    if (read(fd_, &value, sizeof(value)) == sizeof(value)) return true;
    if (errno != EINTR) return false;
  }
}

bool Event::Wait(int timeout_ms) { return WaitForAny({this}, timeout_ms) == 0; }

int64_t MonotonicMillis() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(MonotonicMillis()); }

int WaitForAny(const std::vector<Waitable*>& objects, int timeout_ms) {
  if (objects.empty()) return kWaitFailed;
  std::vector<struct pollfd> fds(objects.size());
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i] == nullptr || objects[i]->WaitFd() < 0) return kWaitFailed;
    fds[i] = {objects[i]->WaitFd(), POLLIN, 0};
  }
  const int64_t deadline = DeadlineAfter(timeout_ms);
  for (;;) {
    int n = PollUntil(fds.data(), fds.size(), deadline);
    if (n < 0) return kWaitFailed;
    if (n == 0) return kWaitTimeout;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLERR | POLLNVAL)) return kWaitFailed;
      if ((fds[i].revents & (POLLIN | POLLHUP)) && objects[i]->TryAcquire()) {
        return static_cast<int>(i);
      }
    }
    // Another waiter took every signal first: wait again for what is left.
  }
}

int64_t DeadlineAfter(int timeout_ms) { return timeout_ms < 0 ? -1 : MonotonicMillis() + timeout_ms; }

int PollUntil(struct pollfd* fds, size_t count, int64_t deadline_ms) {
  for (;;) {
    int wait_ms = -1;
    if (deadline_ms >= 0) {
      int64_t left = deadline_ms - MonotonicMillis();
      wait_ms = left > 0 ? static_cast<int>(left) : 0;
    }
    int n = poll(fds, count, wait_ms);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

}  // namespace zev
