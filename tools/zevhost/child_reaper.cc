#include "tools/zevhost/child_reaper.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace zev {

namespace {

int SigchldFd() {
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  return signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
}

}  // namespace

ChildReaper::ChildReaper(std::function<void(pid_t, int)> on_exit, std::function<void()> on_sigchld)
    : on_exit_(std::move(on_exit)),
      on_sigchld_(std::move(on_sigchld)),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      signal_fd_(SigchldFd()) {
  thread_ = std::thread([this] { Run(); });
}

ChildReaper::~ChildReaper() {
  {
    MutexLock lock(&mu_);
    quit_ = true;
  }
  Wake();
  thread_.join();
  for (const auto& entry : watched_) close(entry.first);
  if (wake_fd_ >= 0) close(wake_fd_);
  if (signal_fd_ >= 0) close(signal_fd_);
}

void ChildReaper::Watch(pid_t pid, int pidfd) {
  {
    MutexLock lock(&mu_);
    watched_[pidfd] = pid;
  }
  Wake();
}

void ChildReaper::Wake() {
  uint64_t one = 1;
  ssize_t n = write(wake_fd_, &one, sizeof(one));
  (void)n;  // a full counter already means a pending wake-up
}

void ChildReaper::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({wake_fd_, POLLIN, 0});
    fds.push_back({signal_fd_, POLLIN, 0});  // a negative fd is skipped by poll
    {
      MutexLock lock(&mu_);
      if (quit_) return;
      for (const auto& entry : watched_) fds.push_back({entry.first, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) {
      uint64_t count;
      ssize_t n = read(wake_fd_, &count, sizeof(count));
      (void)n;
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      siginfo_t info{};
      int code = -1;  // reaped elsewhere: the child is gone all the same
      if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fds[i].fd), &info, WEXITED) == 0) {
        code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
      } else if (errno == EINTR) {
        continue;
      }
      pid_t pid;
      {
        MutexLock lock(&mu_);
        pid = watched_[fds[i].fd];
        watched_.erase(fds[i].fd);
      }
      close(fds[i].fd);
      on_exit_(pid, code);
    }
    // After the exits: a watched child's pidfd is readable before its
    // SIGCHLD is sent, so its exit is always reported before the signal.
    if (fds[1].revents != 0) {
      signalfd_siginfo info;
      while (read(signal_fd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
      }
      if (on_sigchld_) on_sigchld_();
    }
  }
}

}  // namespace zev
