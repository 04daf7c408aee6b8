// CZEVThreadPool: worker threads, started as work needs them, fed from one
// task queue. Safe for use from any number of threads.
//
// How many threads it keeps: a queued task wakes a sleeping worker when
// there is one that no other task has claimed yet; otherwise it starts a
// new worker, unless `max_workers` already live. So tasks never wait for a
// worker while fewer than `max_workers` run, exactly as with a fixed pool of
// that size, and a pool that sees one task at a time keeps one thread. A
// worker that has found nothing to do for `idle_ms` of `clock` ends; an
// idle pool thus ends with no thread at all, and the next task starts one.
//
// A pool whose tasks mostly compute is best made with AwakeLimit() workers:
// more threads awake than cores only take turns on them, and every turn is
// a switch the kernel pays for.
#ifndef ZEV_BASE_THREAD_POOL_H_
#define ZEV_BASE_THREAD_POOL_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"

namespace zev {

class CZEVThreadPool {
 public:
  static constexpr int64_t kDefaultIdleMs = 60000;

  // The cores this process may run on, plus one (so that a worker that waits
  // for a moment leaves no core unused).
  static size_t AwakeLimit();

  // Runs at most `max_workers` tasks at once, on threads named `name` (at
  // most 15 bytes) in tools such as top and ps. No thread starts here.
  // `clock` (not owned; must outlive the pool) times the idle workers.
  CZEVThreadPool(size_t max_workers, const char* name, Clock* clock,
                 int64_t idle_ms = kDefaultIdleMs);
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
  // with nothing queued, once the pool began to stop, or when the pool has
  // no worker and none could be started. A task must not throw.
  bool Post(std::function<void()> task) EXCLUDES(mu_);

  size_t max_workers() const { return max_workers_; }
  // Workers alive now (for tests and logs).
  size_t worker_count() EXCLUDES(mu_);

 private:
  using Workers = std::list<std::thread>;

  void WorkerLoop(Workers::iterator self) EXCLUDES(mu_);
  // Joins the workers that ended on their own.
  void JoinRetired() REQUIRES(mu_);

  const size_t max_workers_;
  const char* const name_;
  Clock* const clock_;
  const int64_t idle_ms_;
  Mutex mu_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mu_);
  Workers workers_ GUARDED_BY(mu_);             // alive, or ending after the stop
  std::vector<std::thread> retired_ GUARDED_BY(mu_);  // ended when idle, not yet joined
  // Workers asleep on wake_; signals sent to them and not yet taken by one
  // waking up; workers started and not yet at the queue. A task is claimed
  // by a signal or a starting worker, and gets one only when the claims
  // so far are fewer than the tasks queued.
  size_t idle_ GUARDED_BY(mu_) = 0;
  size_t signals_ GUARDED_BY(mu_) = 0;
  size_t starting_ GUARDED_BY(mu_) = 0;
  bool stopped_ GUARDED_BY(mu_) = false;
};

}  // namespace zev

#endif  // ZEV_BASE_THREAD_POOL_H_
