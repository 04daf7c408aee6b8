#include "platform/process_end_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace zev {

namespace {

// Whether the process behind `pidfd` has ended (a pidfd polls readable then).
bool HasEnded(int pidfd) {
  pollfd p{pidfd, POLLIN, 0};
  return poll(&p, 1, 0) != 0;  // an error counts as ended: the watch is of no use
}

void Wake(int fd) {
  const uint64_t one = 1;
  ssize_t n = write(fd, &one, sizeof(one));
  (void)n;  // the counter cannot overflow with ones
}

}  // namespace

ProcessEndWatch::ProcessEndWatch(Ended ended)
    : ended_(std::move(ended)), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ProcessEndWatch::~ProcessEndWatch() {
  std::thread thread;
  {
    MutexLock lock(&mu_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  if (wake_fd_ >= 0) Wake(wake_fd_);
  if (thread.joinable()) thread.join();
  MutexLock lock(&mu_);
  for (const auto& entry : watches_) close(entry.second.fd);
  watches_.clear();
  if (wake_fd_ >= 0) close(wake_fd_);
}

uint64_t ProcessEndWatch::Watch(pid_t pid, int pidfd) {
  if (pidfd < 0) return 0;
  MutexLock lock(&mu_);
  if (wake_fd_ < 0 || stopping_) {
    close(pidfd);
    return 0;
  }
  // The earlier watch of `pid` polls not readable now: its process is alive
  // now, so the pid cannot have been given to another process, and the new
  // descriptor is of the same one.
  for (const auto& entry : watches_) {
    if (entry.second.pid == pid && !HasEnded(entry.second.fd)) {
      close(pidfd);
      return entry.first;
    }
  }
  const uint64_t id = next_id_++;
  watches_[id] = Entry{pid, pidfd};
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  Wake(wake_fd_);
  return id;
}

bool ProcessEndWatch::Watching(uint64_t watch) const {
  MutexLock lock(&mu_);
  return watches_.count(watch) != 0;
}

size_t ProcessEndWatch::size() const {
  MutexLock lock(&mu_);
  return watches_.size();
}

void ProcessEndWatch::Run() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  for (;;) {
    fds.assign(1, pollfd{wake_fd_, POLLIN, 0});
    ids.assign(1, 0);
    {
      // Only this thread closes the descriptors of watches (the destructor
      // after joining it), so they stay open while it polls them.
      MutexLock lock(&mu_);
      if (stopping_) return;
      for (const auto& entry : watches_) {
        fds.push_back(pollfd{entry.second.fd, POLLIN, 0});
        ids.push_back(entry.first);
      }
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR || errno == ENOMEM) continue;
      return;  // the set itself is bad (more descriptors than allowed): nothing can be watched
    }
    if (fds[0].revents != 0) {
      uint64_t count;
      ssize_t n = read(wake_fd_, &count, sizeof(count));
      (void)n;
    }
    std::vector<uint64_t> ended;
    {
      MutexLock lock(&mu_);
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto it = watches_.find(ids[i]);
        if (it == watches_.end()) continue;
        close(it->second.fd);
        watches_.erase(it);
        ended.push_back(ids[i]);
      }
    }
    for (uint64_t id : ended) ended_(id);
  }
}

}  // namespace zev
