#include "base/thread_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <system_error>

namespace zev {

size_t CZEVThreadPool::AwakeLimit() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  const int cores = sched_getaffinity(0, sizeof(cpus), &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
  return static_cast<size_t>(cores > 0 ? cores : std::max(1u, std::thread::hardware_concurrency())) + 1;
}

CZEVThreadPool::CZEVThreadPool(size_t max_workers, const char* name, Clock* clock, int64_t idle_ms)
    : max_workers_(max_workers), name_(name), clock_(clock), idle_ms_(idle_ms) {}

CZEVThreadPool::~CZEVThreadPool() {
  Workers workers;
  std::vector<std::thread> retired;
  {
    MutexLock lock(&mu_);
    stopped_ = true;
    // No worker starts or retires from here on: the lists are final.
    workers.swap(workers_);
    retired.swap(retired_);
  }
  wake_.notify_all();
  for (std::thread& worker : workers) worker.join();
  for (std::thread& worker : retired) worker.join();
}

bool CZEVThreadPool::Post(std::function<void()> task) {
  bool signal = false;
  {
    MutexLock lock(&mu_);
    if (stopped_) return false;
    tasks_.push_back(std::move(task));
    if (tasks_.size() > signals_ + starting_) {
      if (idle_ > signals_) {
        ++signals_;
        signal = true;
      } else if (workers_.size() < max_workers_) {
        JoinRetired();
        try {
          // The new worker waits for mu_ before it looks at its iterator.
          auto self = workers_.emplace(workers_.end());
          try {
            *self = std::thread(&CZEVThreadPool::WorkerLoop, this, self);
          } catch (...) {
            workers_.erase(self);
            throw;
          }
          pthread_setname_np(self->native_handle(), name_);
          ++starting_;
        } catch (const std::system_error&) {
          // Out of threads: a busy worker takes the task later, if any is.
          if (workers_.empty()) {
            tasks_.pop_back();
            return false;
          }
        }
      }
    }
  }
  if (signal) wake_.notify_one();
  return true;
}

size_t CZEVThreadPool::worker_count() {
  MutexLock lock(&mu_);
  return workers_.size();
}

void CZEVThreadPool::JoinRetired() {
  // A retired worker has let go of mu_ for good: it is ending or gone.
  for (std::thread& worker : retired_) worker.join();
  retired_.clear();
}

void CZEVThreadPool::WorkerLoop(Workers::iterator self) {
  MutexLock lock(&mu_);
  --starting_;
  for (;;) {
    while (!stopped_ && tasks_.empty()) {
      ++idle_;
      const bool woken = clock_->WaitFor(lock.native(), wake_, idle_ms_, [this] {
        mu_.AssertHeld();
        return stopped_ || signals_ > 0;
      });
      --idle_;
      if (signals_ > 0) --signals_;  // taken by this wake-up, whichever sleeper it was meant for
      if (!woken && tasks_.empty()) {
        // Idle for idle_ms_: end, leaving the join to the next start or to
        // the destructor.
        retired_.push_back(std::move(*self));
        workers_.erase(self);
        return;
      }
    }
    if (tasks_.empty()) return;  // stopped, and the queue ran dry
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    // The task runs without the lock; the analysis does not see the release.
    lock.native().unlock();
    task();
    lock.native().lock();
  }
}

}  // namespace zev
