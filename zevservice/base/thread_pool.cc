#include "base/thread_pool.h"

#include <pthread.h>

CZEVThreadPool::CZEVThreadPool(size_t workers, const char* name) {
  workers_.reserve(workers);
  for (size_t i = 0; i < workers; ++i) {
    workers_.emplace_back(&CZEVThreadPool::WorkerLoop, this);
    pthread_setname_np(workers_.back().native_handle(), name);
  }
}

CZEVThreadPool::~CZEVThreadPool() {
  {
    MutexLock lock(&mu_);
    stopped_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool CZEVThreadPool::Post(std::function<void()> task) {
  bool wake;
  {
    MutexLock lock(&mu_);
    if (stopped_) return false;
    tasks_.push_back(std::move(task));
    wake = idle_ > waking_ && tasks_.size() > waking_;
    if (wake) ++waking_;
  }
  if (wake) wake_.notify_one();
  return true;
}

void CZEVThreadPool::WorkerLoop() {
  MutexLock lock(&mu_);
  for (;;) {
    while (!stopped_ && tasks_.empty()) {
      ++idle_;
      wake_.wait(lock.native());
      --idle_;
      if (waking_ > 0) --waking_;  // this wake-up used one signal (or a spurious one, which is as good)
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
