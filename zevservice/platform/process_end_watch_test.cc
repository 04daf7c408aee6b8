#include "platform/process_end_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/wait.h"

namespace zev {
namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

TEST(ProcessEndWatch, ReportsEachWatchOnceWhenItsProcessEndsAndSharesOnePerRunningProcess) {
  std::mutex mu;
  std::vector<uint64_t> ended;
  Event reported;
  ProcessEndWatch watch([&](uint64_t id) {
    std::lock_guard<std::mutex> lock(mu);
    ended.push_back(id);
    reported.Set();
  });
  EXPECT_EQ(watch.Watch(1, -1), 0u);

  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    close(pipe_fds[1]);
    ssize_t n = read(pipe_fds[0], &byte, 1);  // until the test closes its end
    _exit(n == 0 ? 0 : 1);
  }
  close(pipe_fds[0]);
  const uint64_t first = watch.Watch(child, PidfdOpen(child));
  ASSERT_NE(first, 0u);
  EXPECT_EQ(watch.Watch(child, PidfdOpen(child)), first);
  EXPECT_EQ(watch.size(), 1u);
  EXPECT_TRUE(watch.Watching(first));

  close(pipe_fds[1]);
  ASSERT_TRUE(reported.Wait(10000));
  EXPECT_FALSE(watch.Watching(first));
  // Ended but not reaped: a new watch is a new one, and reports at once.
  const uint64_t second = watch.Watch(child, PidfdOpen(child));
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);
  ASSERT_TRUE(reported.Wait(10000));
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(ended, (std::vector<uint64_t>{first, second}));
  }
  EXPECT_EQ(watch.size(), 0u);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
}

}  // namespace
}  // namespace zev
