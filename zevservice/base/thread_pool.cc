#include "base/thread_pool.h"

CZEVThreadPool::CZEVThreadPool(size_t workers) {
  workers_.reserve(workers);
  for (size_t i = 0; i < workers; ++i) workers_.emplace_back(&CZEVThreadPool::WorkerLoop, this);
}

CZEVThreadPool::~CZEVThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void CZEVThreadPool::WorkerLoop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [this] { return stopped_ || !tasks_.empty(); });
      if (stopped_ && tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}
