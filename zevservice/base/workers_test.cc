#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <dirent.h>

#include <fstream>
#include <mutex>
#include <string>

#include "base/message_queue.h"
#include "base/task_timer.h"
#include "base/thread_pool.h"
#include "testing/fake_clock.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// Waits (in real time, bounded) until `done` answers true.
template <typename Done>
bool Eventually(Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

TEST(ThreadPool, RunsAsManyTasksAtOnceAsItHasWorkers) {
  Latch release;
  std::atomic<int> running{0}, peak{0}, started{0};
  std::vector<std::future<int>> results;
  {
    CZEVThreadPool pool(10, "zev-pool", Clock::Real());
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

TEST(ThreadPool, StartsAWorkerOnlyWhenNoneIsIdleAndEndsWorkersIdleForAMinute) {
  FakeClock clock;
  CZEVThreadPool pool(4, "zev-pool", &clock);
  EXPECT_EQ(pool.worker_count(), 0u);
  // One task at a time: the one worker, asleep between them, takes each.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pool.enqueue([i] { return i; }).get(), i);
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    EXPECT_EQ(pool.worker_count(), 1u);
  }
  // Two at once: a second worker.
  Latch release;
  Counter started;
  auto first = pool.enqueue([&] { started.Hit(); release.Wait(); });
  auto second = pool.enqueue([&] { started.Hit(); release.Wait(); });
  ASSERT_TRUE(started.WaitFor(2));
  EXPECT_EQ(pool.worker_count(), 2u);
  release.Open();
  first.get();
  second.get();
  ASSERT_TRUE(clock.AwaitTimedWaiters(2));
  clock.Advance(59999);
  EXPECT_EQ(pool.worker_count(), 2u);
  clock.Advance(1);
  ASSERT_TRUE(Eventually([&] { return pool.worker_count() == 0; }));
  // The next task starts a worker again.
  EXPECT_EQ(pool.enqueue([] { return 7; }).get(), 7);
  EXPECT_EQ(pool.worker_count(), 1u);
}

TEST(ThreadPool, StoresExceptionsAndRefusesWorkOnceStopping) {
  std::atomic<bool> refused{false};
  std::future<void> failing;
  {
    CZEVThreadPool pool(2, "zev-pool", Clock::Real());
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

TEST(MessageQueue, ACappedPushDropsTheOldest) {
  CZEVMessageQueue<int> queue;
  size_t dropped = 0;
  for (int i = 0; i < 10; ++i) dropped += queue.push_capped(i, 4);
  EXPECT_EQ(dropped, 6u);
  EXPECT_EQ(queue.size(), 4u);
  int first = -1;
  ASSERT_TRUE(queue.pop(first, false));
  EXPECT_EQ(first, 6);
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
  FakeClock clock;
  Counter counter;
  TaskTimer timer(&clock);
  timer.schedule(0, [&](uint64_t) {
    counter.Hit(clock.MonotonicMillis());
    clock.AdvanceSeconds(1);  // the run's own time adds to the period
  }, 5);
  ASSERT_TRUE(counter.WaitFor(1));
  for (int run = 2; run <= 3; ++run) {
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    clock.AdvanceSeconds(4);
    EXPECT_FALSE(counter.WaitFor(run, std::chrono::milliseconds(20)));  // 1 s short of the interval
    clock.AdvanceSeconds(1);
    ASSERT_TRUE(counter.WaitFor(run));
  }
  auto times = counter.values();
  EXPECT_EQ(times[1] - times[0], 6000);
  EXPECT_EQ(times[2] - times[1], 6000);
}

TEST(TaskTimer, HasAThreadOnlyWhileSomethingIsScheduled) {
  FakeClock clock;
  const int before = ThreadsNamed("zev-timer");
  TaskTimer timer(&clock);
  EXPECT_EQ(ThreadsNamed("zev-timer"), before);
  Counter counter;
  for (int round = 1; round <= 2; ++round) {
    timer.schedule(1, [&](uint64_t) { counter.Hit(); });
    EXPECT_EQ(ThreadsNamed("zev-timer"), before + 1);
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    clock.AdvanceSeconds(1);
    ASSERT_TRUE(counter.WaitFor(round));
    ASSERT_TRUE(Eventually([&] { return ThreadsNamed("zev-timer") == before; }));
  }
  // A cancelled entry ends the thread as well.
  uint64_t id = timer.schedule(10, [&](uint64_t) { counter.Hit(); });
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  timer.cancel(id);
  ASSERT_TRUE(Eventually([&] { return ThreadsNamed("zev-timer") == before; }));
  EXPECT_EQ(counter.count(), 2);
}

TEST(TaskTimer, OneShotEntriesRunOnceAndTheirIdsAreReused) {
  FakeClock clock;
  Counter counter;
  TaskTimer timer(&clock);
  uint64_t id = timer.schedule(5, [&](uint64_t) { counter.Hit(); });
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(timer.schedule(100, [](uint64_t) {}), 1u);
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  clock.AdvanceSeconds(4);
  EXPECT_FALSE(counter.WaitFor(1, std::chrono::milliseconds(20)));
  clock.AdvanceSeconds(1);
  ASSERT_TRUE(counter.WaitFor(1));
  // Once the timer waits for the next entry, the finished one's id is free.
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  EXPECT_EQ(timer.schedule(1000, [](uint64_t) {}), 0u);
  EXPECT_EQ(counter.count(), 1);
  EXPECT_FALSE(timer.cancel(2));  // equal to the number of entries
  EXPECT_TRUE(timer.cancel(0));
  // ScheduleMillis counts milliseconds.
  timer.ScheduleMillis(1500, [&](uint64_t) { counter.Hit(); });
  clock.Advance(1499);
  EXPECT_FALSE(counter.WaitFor(2, std::chrono::milliseconds(20)));
  clock.Advance(1);
  ASSERT_TRUE(counter.WaitFor(2));
}

TEST(TaskTimer, CancelFromInsideTheCallbackStopsFurtherRuns) {
  FakeClock clock;
  Counter counter;
  TaskTimer timer(&clock);
  timer.schedule(0, [&](uint64_t self) {
    counter.Hit();
    timer.cancel(self);
  }, 1);
  ASSERT_TRUE(counter.WaitFor(1));
  clock.AdvanceSeconds(5);
  Latch later;
  timer.schedule(0, [&](uint64_t) { later.Open(); });  // runs after any due run
  ASSERT_TRUE(later.Wait());
  EXPECT_EQ(counter.count(), 1);
}

TEST(TaskTimer, CancelledEntriesNeverRunAndDestructionWaitsForARunningCallback) {
  FakeClock clock;
  Counter never;
  std::atomic<bool> finished{false};
  Latch running;
  {
    TaskTimer timer(&clock);
    uint64_t id = timer.schedule(2, [&](uint64_t) { never.Hit(); });
    EXPECT_TRUE(timer.cancel(id));
    timer.schedule(0, [&](uint64_t) {
      running.Open();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the destructor must wait for this
      finished = true;
    });
    ASSERT_TRUE(running.Wait());
    clock.AdvanceSeconds(3);
  }
  EXPECT_TRUE(finished);
  EXPECT_EQ(never.count(), 0);
}

}  // namespace zev
