#include "hosting/restart_budget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pubsdk {
namespace {

// Each step is the monitor's use, `times` over: a failure restarts the host
// when the budget allows and counts the restart; a sweep decides with
// AllowsSweepRestart and counts the restart it makes once more.
TEST(RestartBudget, TenRestartsInBurstsThenRefusedUntilTheNextUtcDate) {
  enum Op { kFailure, kSweep };
  struct Step {
    const char* what;
    int times;
    uint32_t after_ms;  // before each time
    int64_t day;
    Op op;
    bool restarted;  // the last time
    uint32_t count;
    bool refused;
  };
  constexpr uint32_t kMinute = 60000;
  const std::vector<Step> steps = {
      {"the first check clears what it counted", 1, 0, 100, kFailure, true, 0, false},
      {"within 27 minutes, across the tick wrap: counted", 9, kMinute, 100, kFailure, true, 9, false},
      {"the tenth counted restart is made, later ones refused", 1, kMinute, 100, kFailure, true, 10, true},
      {"refused", 1, kMinute, 100, kFailure, false, 10, true},
      {"a sweep hours later the same day: refused", 1, 180 * kMinute, 100, kSweep, false, 10, true},
      {"a sweep the next day restarts, counted twice", 1, 60 * kMinute, 101, kSweep, true, 1, false},
      {"28 minutes later: not counted", 1, 28 * kMinute, 101, kFailure, true, 1, false},
      {"exactly 27 minutes later: counted", 1, 27 * kMinute, 101, kFailure, true, 2, false},
      {"a sweep within the window: counted twice", 1, kMinute, 101, kSweep, true, 4, false},
      {"a new date clears the count", 1, kMinute, 102, kFailure, true, 0, false},
  };
  RestartBudget budget;
  uint32_t tick = UINT32_MAX - 90000;  // wraps during the second step
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    bool restarted = false;
    for (int i = 0; i < step.times; ++i) {
      tick += step.after_ms;
      restarted = step.op == kFailure ? budget.allows_restart() : budget.AllowsSweepRestart(tick, step.day);
      if (restarted) budget.CountRestart(tick, step.day);
    }
    EXPECT_EQ(restarted, step.restarted);
    EXPECT_EQ(budget.count(), step.count);
    EXPECT_EQ(budget.refused(), step.refused);
  }
}

// A budget made with a window and size of its own (Timings) counts by them.
TEST(RestartBudget, CountsByTheWindowAndSizeItWasMadeWith) {
  RestartBudget budget(1000, 2);
  budget.CountRestart(0, 1);     // the first check clears
  budget.CountRestart(1001, 1);  // outside the window
  EXPECT_EQ(budget.count(), 0u);
  budget.CountRestart(2001, 1);
  EXPECT_FALSE(budget.refused());
  budget.CountRestart(3001, 1);
  EXPECT_EQ(budget.count(), 2u);
  EXPECT_TRUE(budget.refused());
}

// Each step: a host ends after `up_ms` up; the wait before its restart.
TEST(RestartBackoff, WaitsDoubleForQuickEndsInARowUpToTheCapAndResetAfterTenMinutesUp) {
  struct Step {
    const char* what;
    int64_t up_ms;
    int64_t delay_ms;
  };
  constexpr int64_t kMinute = 60000;
  const std::vector<Step> steps = {
      {"the first end: at once", 5, 0},
      {"the second quick end: 1 s", 1000, 1000},
      {"the third: 2 s", 0, 2000},
      {"then 4 s", 9 * kMinute, 4000},
      {"8 s", 10 * kMinute - 1, 8000},
      {"16 s", 0, 16000},
      {"32 s", 0, 32000},
      {"capped at 60 s", 0, 60000},
      {"stays capped", 0, 60000},
      {"10 minutes up: at once again", 10 * kMinute, 0},
      {"the row starts anew: 1 s", 0, 1000},
      {"an hour up: at once", 60 * kMinute, 0},
  };
  RestartBackoff backoff(1000, 60000, 10 * kMinute);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    EXPECT_EQ(backoff.DelayAfterEnd(step.up_ms), step.delay_ms);
  }
  // Many quick ends in a row stay at the cap; a first wait of 0 never waits.
  for (int i = 0; i < 100; ++i) backoff.DelayAfterEnd(0);
  EXPECT_EQ(backoff.DelayAfterEnd(0), 60000);
  RestartBackoff off(0, 60000, 10 * kMinute);
  off.DelayAfterEnd(0);
  EXPECT_EQ(off.DelayAfterEnd(0), 0);
}

}  // namespace
}  // namespace pubsdk
