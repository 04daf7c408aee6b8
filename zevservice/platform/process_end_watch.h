// Telling when processes end: each watched process is held by a pidfd, and
// one thread polls them all (with an eventfd that brings new watches in),
// calling back once for each process that ends. The thread starts with the
// first watch, so an owner that never watches anything costs no thread.
#ifndef ZEV_PLATFORM_PROCESS_END_WATCH_H_
#define ZEV_PLATFORM_PROCESS_END_WATCH_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <thread>

#include "platform/annotated_mutex.h"

namespace zev {

class ProcessEndWatch {
 public:
  // Called on the watch's thread, once for each watch whose process ended,
  // after the watch was dropped (Watching() is false by then).
  using Ended = std::function<void(uint64_t watch)>;

  explicit ProcessEndWatch(Ended ended);
  // Ends and joins the thread: no call of `ended` runs or follows once it
  // returns. Watches still open are closed.
  ~ProcessEndWatch();
  ProcessEndWatch(const ProcessEndWatch&) = delete;
  ProcessEndWatch& operator=(const ProcessEndWatch&) = delete;

  // Watches process `pid` through `pidfd`, which this takes over (closed in
  // every case). A process already watched, and still running, keeps its
  // watch: its id comes back and the new descriptor is closed. The id is
  // never 0; 0 means the watch could not be set up (no eventfd, or the
  // descriptor is not valid). A process that has already ended is reported
  // at once.
  uint64_t Watch(pid_t pid, int pidfd) EXCLUDES(mu_);
  // Whether `watch` still waits for its process to end.
  bool Watching(uint64_t watch) const EXCLUDES(mu_);
  size_t size() const EXCLUDES(mu_);

 private:
  struct Entry {
    pid_t pid;
    int fd;
  };

  void Run() EXCLUDES(mu_);

  const Ended ended_;
  const int wake_fd_;  // eventfd: the set of watches changed, or the end
  mutable Mutex mu_;
  std::map<uint64_t, Entry> watches_ GUARDED_BY(mu_);
  uint64_t next_id_ GUARDED_BY(mu_) = 1;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_ GUARDED_BY(mu_);
};

}  // namespace zev

#endif  // ZEV_PLATFORM_PROCESS_END_WATCH_H_
