#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "rpc/message_queue.h"
#include "rpc/task_timer.h"
#include "rpc/thread_pool.h"

namespace {

// A latch that tests wait on instead of sleeping.
class Latch {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [this] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Counts calls and lets a test wait for the n-th.
class Counter {
 public:
  void Hit() {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
    times_.push_back(std::chrono::steady_clock::now());
    cv_.notify_all();
  }
  bool WaitFor(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu_);
    return count_;
  }
  std::vector<std::chrono::steady_clock::time_point> times() {
    std::lock_guard<std::mutex> lock(mu_);
    return times_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
  std::vector<std::chrono::steady_clock::time_point> times_;
};

constexpr auto kUnit = std::chrono::milliseconds(20);

}  // namespace

TEST(ThreadPool, RunsAsManyTasksAtOnceAsItHasWorkers) {
  Latch release;
  std::atomic<int> running{0}, peak{0}, started{0};
  std::vector<std::future<int>> results;
  {
    CZEVThreadPool pool(10);
    for (int i = 0; i < 11; ++i) {
      results.push_back(pool.enqueue([&, i] {
        int now = ++running;
        int p = peak.load();
        while (now > p && !peak.compare_exchange_weak(p, now)) {
        }
        ++started;
        release.Wait();
        --running;
        return i;
      }));
    }
    while (started.load() < 10) std::this_thread::yield();
    EXPECT_EQ(results[10].wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(started.load(), 10);  // the eleventh waits for a free worker
    release.Open();
    EXPECT_EQ(results[10].get(), 10);
  }
  EXPECT_EQ(peak.load(), 10);
}

TEST(ThreadPool, StoresExceptionsAndRefusesWorkOnceStopping) {
  std::atomic<bool> refused{false};
  std::future<void> failing;
  {
    CZEVThreadPool pool(2);
    failing = pool.enqueue([] { throw std::logic_error("task failed"); });
    pool.enqueue([&] {
      // Runs while the destructor waits for it: enqueue must now throw.
      for (int i = 0; i < 5000 && !refused; ++i) {
        try {
          pool.enqueue([] {});
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } catch (const std::runtime_error& e) {
          refused = std::string(e.what()) == "enqueue on stopped CZEVThreadPool";
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(refused);
  EXPECT_THROW(failing.get(), std::logic_error);
}

TEST(MessageQueue, PopWaitsForAPushAndKeepsOrder) {
  CZEVMessageQueue<int> queue;
  int value = 0;
  EXPECT_FALSE(queue.pop(value, false));
  std::thread consumer([&] {
    int got = 0;
    queue.pop(got, true);
    value = got;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue.push(7);
  consumer.join();
  EXPECT_EQ(value, 7);
  queue.push(1);
  queue.push(2);
  EXPECT_TRUE(queue.pop(value, false));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(queue.pop(value, true));
  EXPECT_EQ(value, 2);
}

TEST(TaskTimer, PeriodicEntriesRunAtOnceThenEveryIntervalAfterTheRunEnded) {
  Counter counter;
  TaskTimer timer(kUnit);
  timer.schedule(0, [&](uint64_t) {
    counter.Hit();
    std::this_thread::sleep_for(kUnit);  // the run's own time adds to the period
  }, 5);
  ASSERT_TRUE(counter.WaitFor(3));
  auto times = counter.times();
  EXPECT_GE(times[1] - times[0], kUnit * 6);
  EXPECT_GE(times[2] - times[1], kUnit * 6);
}

TEST(TaskTimer, OneShotEntriesRunOnceAndTheirIdsAreReused) {
  Counter counter;
  TaskTimer timer(kUnit);
  auto start = std::chrono::steady_clock::now();
  uint64_t id = timer.schedule(5, [&](uint64_t) { counter.Hit(); });
  EXPECT_EQ(id, 0u);
  ASSERT_TRUE(counter.WaitFor(1));
  EXPECT_GE(counter.times()[0] - start, kUnit * 5);
  // The id comes free once the run has ended (just after the callback returned).
  std::this_thread::sleep_for(kUnit * 2);
  EXPECT_EQ(timer.schedule(1000, [](uint64_t) {}), 0u);
  EXPECT_EQ(counter.count(), 1);
  EXPECT_FALSE(timer.cancel(1));  // equal to the number of entries
  EXPECT_TRUE(timer.cancel(0));
}

TEST(TaskTimer, CancelFromInsideTheCallbackStopsFurtherRuns) {
  Counter counter;
  TaskTimer timer(kUnit);
  timer.schedule(0, [&](uint64_t self) {
    counter.Hit();
    timer.cancel(self);
  }, 1);
  ASSERT_TRUE(counter.WaitFor(1));
  std::this_thread::sleep_for(kUnit * 5);
  EXPECT_EQ(counter.count(), 1);
}

TEST(TaskTimer, CancelledEntriesNeverRunAndDestructionWaitsForARunningCallback) {
  Counter never;
  std::atomic<bool> finished{false};
  Latch running;
  {
    TaskTimer timer(kUnit);
    uint64_t id = timer.schedule(2, [&](uint64_t) { never.Hit(); });
    EXPECT_TRUE(timer.cancel(id));
    timer.schedule(0, [&](uint64_t) {
      running.Open();
      std::this_thread::sleep_for(kUnit * 3);
      finished = true;
    });
    ASSERT_TRUE(running.Wait());
  }
  EXPECT_TRUE(finished);
  EXPECT_EQ(never.count(), 0);
}
