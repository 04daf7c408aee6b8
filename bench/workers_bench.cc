// TaskTimer lateness with 1,000 entries due in the same second, beside a bare
// condition_variable::wait_until loop over the same due times; CZEVThreadPool
// enqueue-to-start latency and throughput with 10 workers, beside std::async.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <vector>

#include "bench/bench_util.h"
#include "base/task_timer.h"
#include "base/thread_pool.h"

namespace zev {

namespace {

using SteadyClock = std::chrono::steady_clock;

void PrintLateness(const char* name, std::vector<int64_t> late) {
  printf("%-34s lateness median %8.1f us   max %8.1f us\n", name, Quantile(late, 0.5) / 1e3, Quantile(late, 1.0) / 1e3);
}

void TimerBench() {
  const int n = 1000;
  std::vector<int64_t> late(n);
  std::atomic<int> done{0};
  std::mutex mu;
  std::condition_variable cv;
  {
    TaskTimer timer(Clock::Real());
    std::vector<SteadyClock::time_point> due(n);
    for (int i = 0; i < n; ++i) {
      due[i] = SteadyClock::now() + std::chrono::seconds(1);
      timer.schedule(1, [&, i](uint64_t) {
        late[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - due[i]).count();
        if (++done == n) cv.notify_all();
      });
    }
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return done.load() == n; });
  }
  PrintLateness("TaskTimer, 1000 due in 1 s", late);

  // The floor: one thread waiting until each due time in turn.
  std::vector<SteadyClock::time_point> due(n);
  auto base = SteadyClock::now() + std::chrono::seconds(1);
  for (int i = 0; i < n; ++i) due[i] = base;
  std::mutex m2;
  std::condition_variable cv2;
  std::thread waiter([&] {
    std::unique_lock<std::mutex> lock(m2);
    for (int i = 0; i < n; ++i) {
      while (SteadyClock::now() < due[i]) cv2.wait_until(lock, due[i]);
      late[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - due[i]).count();
    }
  });
  waiter.join();
  PrintLateness("bare wait_until loop", late);
}

void PoolBench() {
  const int n = 200000;
  {
    CZEVThreadPool pool(10, "zev-pool", Clock::Real());
    std::vector<int64_t> latency(20000);
    for (size_t i = 0; i < latency.size(); ++i) {
      int64_t t0 = NowNanos();
      pool.enqueue([&latency, i, t0] { latency[i] = NowNanos() - t0; }).wait();
    }
    int64_t t0 = NowNanos();
    std::vector<std::future<void>> futures;
    futures.reserve(n);
    for (int i = 0; i < n; ++i) futures.push_back(pool.enqueue([] {}));
    for (auto& f : futures) f.wait();
    double rate = n / ((NowNanos() - t0) / 1e9);
    printf("%-34s start latency median %6.1f us  p99 %6.1f us   %9.0f tasks/s\n", "CZEVThreadPool(10)",
           Quantile(latency, 0.5) / 1e3, Quantile(latency, 0.99) / 1e3, rate);
  }
  std::vector<int64_t> latency(20000);
  for (size_t i = 0; i < latency.size(); ++i) {
    int64_t t0 = NowNanos();
    std::async(std::launch::async, [&latency, i, t0] { latency[i] = NowNanos() - t0; }).wait();
  }
  const int m = 20000;  // std::async starts a thread per task; fewer tasks keep the run short
  int64_t t0 = NowNanos();
  std::vector<std::future<void>> futures;
  futures.reserve(m);
  for (int i = 0; i < m; ++i) futures.push_back(std::async(std::launch::async, [] {}));
  for (auto& f : futures) f.wait();
  double rate = m / ((NowNanos() - t0) / 1e9);
  printf("%-34s start latency median %6.1f us  p99 %6.1f us   %9.0f tasks/s\n", "std::async",
         Quantile(latency, 0.5) / 1e3, Quantile(latency, 0.99) / 1e3, rate);
}

}  // namespace

}  // namespace zev

int main() {
  using namespace zev;
  TimerBench();
  PoolBench();
  return 0;
}
