#include <gtest/gtest.h>
#include <sys/resource.h>

#include "platform/process.h"

namespace zev {

TEST(DescriptorLimit, TheSoftLimitIsRaisedToTheHardOne) {
  struct rlimit original;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max < 2048) GTEST_SKIP() << "hard limit too low to lower the soft one meaningfully";
  struct rlimit lowered = original;
  lowered.rlim_cur = 1024;  // what a service manager gives by default
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<uint64_t>(original.rlim_max));
  struct rlimit now;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, original.rlim_max);
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<uint64_t>(original.rlim_max));  // nothing left to raise
  setrlimit(RLIMIT_NOFILE, &original);
}

}  // namespace zev
