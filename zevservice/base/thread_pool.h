// CZEVThreadPool: a fixed set of worker threads fed from one task queue.
// Safe for use from any number of threads.
#ifndef ZEV_BASE_THREAD_POOL_H_
#define ZEV_BASE_THREAD_POOL_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/annotated_mutex.h"

class CZEVThreadPool {
 public:
  // Starts `workers` threads, named `name` (at most 15 bytes) in tools such
  // as top and ps.
  explicit CZEVThreadPool(size_t workers, const char* name = "zev-pool");
  // Runs every task queued so far, then joins the workers. Must not run on a
  // worker of this pool.
  ~CZEVThreadPool();
  CZEVThreadPool(const CZEVThreadPool&) = delete;
  CZEVThreadPool& operator=(const CZEVThreadPool&) = delete;

  // Queues f(args...) and returns the future of its result; an exception it
  // throws is stored in the future. Throws std::runtime_error "enqueue on
  // stopped CZEVThreadPool" once the pool began to stop.
  template <typename F, typename... Args>
  auto enqueue(F&& f, Args&&... args) -> std::future<std::invoke_result_t<F, Args...>> {
    using Result = std::invoke_result_t<F, Args...>;
    auto task = std::make_shared<std::packaged_task<Result()>>(
        std::bind(std::forward<F>(f), std::forward<Args>(args)...));
    std::future<Result> future = task->get_future();
    if (!Post([task] { (*task)(); })) throw std::runtime_error("enqueue on stopped CZEVThreadPool");
    return future;
  }

  // Queues `task` without a future (no allocation beyond the queue's). False,
  // with nothing queued, once the pool began to stop. A task must not throw.
  bool Post(std::function<void()> task);

  size_t size() const { return workers_.size(); }

 private:
  void WorkerLoop();

  std::vector<std::thread> workers_;
  Mutex mu_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mu_);
  // Workers asleep on wake_, and how many of them were signalled but have not
  // taken a task yet: a task gets a signal only when no signalled worker is
  // already on its way and someone sleeps at all.
  size_t idle_ GUARDED_BY(mu_) = 0;
  size_t waking_ GUARDED_BY(mu_) = 0;
  bool stopped_ GUARDED_BY(mu_) = false;
};

#endif  // ZEV_BASE_THREAD_POOL_H_
