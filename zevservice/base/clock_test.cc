#include "base/clock.h"

#include <gtest/gtest.h>

#include <thread>

#include "testing/fake_clock.h"
#include "testing/sync.h"

namespace zev {

TEST(RealClock, WaitsUntilTheDeadlineOrTheCondition) {
  Clock* clock = Clock::Real();
  std::mutex mu;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(mu);
  int64_t start = clock->MonotonicMillis();
  EXPECT_FALSE(clock->WaitFor(lock, cv, 20, [] { return false; }));
  EXPECT_GE(clock->MonotonicMillis() - start, 20);
  EXPECT_TRUE(clock->WaitFor(lock, cv, 60000, [] { return true; }));
  // Wall time is near time().
  EXPECT_LE(std::llabs(static_cast<long long>(clock->WallSeconds() - time(nullptr))), 1);
}

TEST(FakeClock, AdvanceReleasesOnlyTheWaitsItMakesDue) {
  FakeClock clock;
  std::mutex mu;
  std::condition_variable cv;
  Counter woke;
  auto waiter = [&](int64_t delay) {
    std::unique_lock<std::mutex> lock(mu);
    EXPECT_FALSE(clock.WaitFor(lock, cv, delay, [] { return false; }));
    woke.Hit(delay);
  };
  std::thread short_wait(waiter, 1000), long_wait(waiter, 60000);
  ASSERT_TRUE(clock.AwaitTimedWaiters(2));
  EXPECT_EQ(clock.NextDeadline() - clock.MonotonicMillis(), 1000);
  clock.Advance(999);
  EXPECT_FALSE(woke.WaitFor(1, std::chrono::milliseconds(20)));
  clock.Advance(1);
  ASSERT_TRUE(woke.WaitFor(1));
  EXPECT_EQ(woke.values()[0], 1000);
  clock.Advance(59000);
  ASSERT_TRUE(woke.WaitFor(2));
  short_wait.join();
  long_wait.join();
}

TEST(FakeClock, AConditionEndsTheWaitWithoutTimeMoving) {
  FakeClock clock;
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::thread waiter([&] {
    std::unique_lock<std::mutex> lock(mu);
    EXPECT_TRUE(clock.WaitFor(lock, cv, 3600 * 1000, [&] { return done; }));
  });
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  cv.notify_all();
  waiter.join();
  EXPECT_EQ(clock.NextDeadline(), Clock::kNoDeadline);
}

TEST(FakeClock, WallTimeMovesWithTheClockAndCanBeSet) {
  FakeClock clock(86400000LL * 20000 + 1000);
  EXPECT_EQ(clock.UtcDay(), 20000);
  int64_t mono = clock.MonotonicMillis();
  clock.AdvanceSeconds(86400);
  EXPECT_EQ(clock.UtcDay(), 20001);
  EXPECT_EQ(clock.MonotonicMillis() - mono, 86400000);
  clock.SetWallMillis(0);
  EXPECT_EQ(clock.WallSeconds(), 0);
  EXPECT_EQ(clock.MonotonicMillis() - mono, 86400000);  // the monotonic time stays
}

TEST(FakeClock, ManyWaitersAndAdvancesRaceSafely) {
  FakeClock clock;
  std::mutex mu;
  std::condition_variable cv;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 50; ++round) {
        std::unique_lock<std::mutex> lock(mu);
        clock.WaitFor(lock, cv, 1 + (i + round) % 5, [] { return false; });
      }
      ++finished;
    });
  }
  while (finished.load() < 8) clock.Advance(1);
  for (auto& t : threads) t.join();
}

}  // namespace zev
