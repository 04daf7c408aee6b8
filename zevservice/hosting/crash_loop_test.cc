#include "hosting/crash_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zev {
namespace {

// One watch, 3 failures within 10 minutes; each step happens `at_ms` after
// the start of the test and answers `rolls_back`.
TEST(CrashLoopWatch, ThreeFailuresOfAChangedVersionWithinTenMinutesOfItsStart) {
  enum Op { kStart, kEnd, kForget };
  struct Step {
    const char* what;
    Op op;
    const char* component;
    const char* version;
    int exit_code;
    int64_t at_ms;
    bool rolls_back;
  };
  constexpr int64_t kMinute = 60000;
  const std::vector<Step> steps = {
      {"not watched: a first version counts nothing", kEnd, "a", "1", 1, 0, false},
      {"a changed version starts", kStart, "a", "2", 0, 0, false},
      {"a clean exit is no failure", kEnd, "a", "2", 0, kMinute, false},
      {"first failure", kEnd, "a", "2", 1, kMinute, false},
      {"another version's end counts nothing", kEnd, "a", "1", 1, kMinute, false},
      {"another component's failure counts nothing", kEnd, "b", "2", 1, kMinute, false},
      {"a signal is a failure", kEnd, "a", "2", 128 + 9, 2 * kMinute, false},
      {"the third failure at exactly 10 minutes rolls back", kEnd, "a", "2", 1, 10 * kMinute, true},
      {"once: the watch is over", kEnd, "a", "2", 1, 10 * kMinute, false},
      {"started again", kStart, "a", "3", 0, 20 * kMinute, false},
      {"failure 1", kEnd, "a", "3", 2, 20 * kMinute, false},
      {"failure 2", kEnd, "a", "3", 2, 21 * kMinute, false},
      {"after the window: it ran through, no rollback", kEnd, "a", "3", 2, 30 * kMinute + 1, false},
      {"and the watch is over", kEnd, "a", "3", 2, 30 * kMinute + 2, false},
      {"a new start counts anew", kStart, "a", "4", 0, 40 * kMinute, false},
      {"failure 1", kEnd, "a", "4", 1, 40 * kMinute, false},
      {"a restart of the same version counts anew", kStart, "a", "4", 0, 41 * kMinute, false},
      {"failure 1 again", kEnd, "a", "4", 1, 41 * kMinute, false},
      {"failure 2", kEnd, "a", "4", 1, 41 * kMinute, false},
      {"released: forgotten", kForget, "a", "", 0, 41 * kMinute, false},
      {"no third failure", kEnd, "a", "4", 1, 41 * kMinute, false},
  };
  CrashLoopWatch watch(3, 10 * kMinute);
  for (const Step& step : steps) {
    bool rolled = false;
    switch (step.op) {
      case kStart:
        watch.Started(step.component, step.version, step.at_ms);
        break;
      case kForget:
        watch.Forget(step.component);
        break;
      case kEnd:
        rolled = CrashLoopWatch::IsFailure(step.exit_code) && watch.Failed(step.component, step.version, step.at_ms);
        break;
    }
    EXPECT_EQ(rolled, step.rolls_back) << step.what;
  }
}

}  // namespace
}  // namespace zev
