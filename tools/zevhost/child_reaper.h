// Watches child processes through their pidfds on a thread of its own and
// reaps each one as it ends, reporting its pid and exit code. It also tells
// when SIGCHLD arrives, for children it does not watch (orphans adopted by a
// child subreaper); that takes SIGCHLD blocked in every thread of the
// process, as zevhost has it, and is silent otherwise.
#ifndef ZEV_TOOLS_ZEVHOST_CHILD_REAPER_H_
#define ZEV_TOOLS_ZEVHOST_CHILD_REAPER_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "base/annotated_mutex.h"

namespace zev {

class ChildReaper {
 public:
  // `on_exit(pid, code)` runs on the reaper's thread once per watched child,
  // after the child is reaped; code is the exit status, or 128 + signal for
  // a child killed by a signal, -1 when it was reaped by someone else. It
  // must not call back into the reaper. `on_sigchld`, when given, runs on the
  // same thread after each SIGCHLD (several may come as one).
  explicit ChildReaper(std::function<void(pid_t, int)> on_exit, std::function<void()> on_sigchld = nullptr);
  // Stops and joins the thread and closes the pidfds of children still
  // running (they are not killed and stay unreaped).
  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // Watches the child `pid` through `pidfd`, which the reaper takes over.
  // Any thread.
  void Watch(pid_t pid, int pidfd);

 private:
  void Run();
  void Wake();

  const std::function<void(pid_t, int)> on_exit_;
  const std::function<void()> on_sigchld_;
  const int wake_fd_;    // eventfd that interrupts the poll
  const int signal_fd_;  // signalfd for SIGCHLD
  Mutex mu_;
  std::map<int, pid_t> watched_ GUARDED_BY(mu_);  // pidfd -> pid
  bool quit_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_CHILD_REAPER_H_
