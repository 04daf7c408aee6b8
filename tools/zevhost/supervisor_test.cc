// The supervisor with real children (short shell scripts) and a fake clock:
// every delay it waits is read from the clock's pending deadline and passed
// by hand, so nothing here sleeps through seconds.
#include "tools/zevhost/supervisor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "testing/fake_clock.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"
#include "tools/zevhost/test_component.h"

namespace zev {

namespace {

class SupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    supervisor_ = std::make_unique<ComponentSupervisor>(&clock_, SupervisorOptions{"grp", common_.path()});
  }

  // How long the supervisor's next timed wait lasts, once it waits for one;
  // -1 when it does not start one within 10 s.
  int64_t NextWaitMs() {
    if (!clock_.AwaitTimedWaiters(1)) return -1;
    return clock_.NextDeadline() - clock_.MonotonicMillis();
  }
  bool WaitForLaunches(int count) {
    return PollUntil([&] { return supervisor_->launch_count() >= count; });
  }
  pid_t WaitForPid(const CZEVComponentContext& c) {
    pid_t pid = 0;
    PollUntil([&] { return (pid = supervisor_->RunningPid(c.appcode(), c.componentid())) != 0; });
    return pid;
  }
  // A component that stays up (exec sleep) while `flag` exists, touching
  // `flag`.up when it does, and exits at once otherwise.
  CZEVComponentContext InstallFlagged(CZEVRunMode mode, int interval, const std::string& flag) {
    CZEVComponentContext c = MakeContext("app", "comp", "1", "run.sh", mode, interval);
    InstallScript(common_.path(), c, "[ -e " + flag + " ] && touch " + flag + ".up && exec sleep 1000\nexit 0");
    return c;
  }
  // A component that ignores SIGTERM; `ready` appears once it does.
  CZEVComponentContext InstallStubborn(const std::string& id, const std::string& ready) {
    CZEVComponentContext c = MakeContext("app", id, "1", "run.sh", btService);
    InstallScript(common_.path(), c, "trap '' TERM\ntouch " + ready + "\nexec sleep 1000");
    return c;
  }

  ScopedCommonDataDir common_;
  ScopedTempDir scratch_;
  FakeClock clock_;
  std::unique_ptr<ComponentSupervisor> supervisor_;
};

TEST_F(SupervisorTest, ServiceBackOffDoublesToOneMinuteAndResetsAfterTenMinutesOfRunning) {
  const std::string flag = scratch_.Sub("stay");
  CZEVComponentContext c = InstallFlagged(btService, 0, flag);
  supervisor_->Start(c);
  ASSERT_TRUE(WaitForLaunches(1));
  int launches = 1;
  for (int64_t delay : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
    ASSERT_EQ(NextWaitMs(), delay) << "after run " << launches;
    clock_.Advance(delay);
    ASSERT_TRUE(WaitForLaunches(++launches));
  }

  // A run of ten minutes counts as healthy: the back-off starts over.
  ASSERT_TRUE(PollUntil([&] { return supervisor_->RunningPid("app", "comp") == 0; }));
  ASSERT_TRUE(WriteFileAtomically(flag, ""));
  ASSERT_EQ(NextWaitMs(), 60000);
  clock_.Advance(60000);
  ASSERT_TRUE(WaitForLaunches(++launches));
  const pid_t pid = WaitForPid(c);
  ASSERT_NE(pid, 0);
  // Once it has seen the flag it stays up without it.
  ASSERT_TRUE(PollUntil([&] { return access((flag + ".up").c_str(), F_OK) == 0; }));
  unlink(flag.c_str());
  clock_.Advance(kSteadyRunMs);
  kill(pid, SIGKILL);
  EXPECT_EQ(NextWaitMs(), 1000);
  clock_.Advance(1000);
  ASSERT_TRUE(WaitForLaunches(++launches));
  EXPECT_EQ(NextWaitMs(), 2000);
}

TEST_F(SupervisorTest, ScheduleRunsEachIntervalAndSkipsATickWhileStillRunning) {
  const std::string flag = scratch_.Sub("stay");
  ASSERT_TRUE(WriteFileAtomically(flag, ""));
  CZEVComponentContext c = InstallFlagged(btSchedule, 30, flag);
  supervisor_->Start(c);
  const pid_t first = WaitForPid(c);
  ASSERT_NE(first, 0);

  ASSERT_EQ(NextWaitMs(), 30000);
  clock_.Advance(30000);
  ASSERT_EQ(NextWaitMs(), 30000) << "the next tick is planned";
  EXPECT_EQ(supervisor_->launch_count(), 1) << "a tick while running starts no second copy";
  EXPECT_EQ(supervisor_->RunningPid("app", "comp"), first);

  unlink(flag.c_str());
  kill(first, SIGKILL);
  ASSERT_TRUE(PollUntil([&] { return supervisor_->RunningPid("app", "comp") == 0; }));
  EXPECT_EQ(NextWaitMs(), 30000) << "an end does not move the schedule";
  clock_.Advance(30000);
  ASSERT_TRUE(WaitForLaunches(2));
  ASSERT_TRUE(PollUntil([&] { return supervisor_->RunningPid("app", "comp") == 0; }));
  ASSERT_EQ(NextWaitMs(), 30000);
  EXPECT_EQ(supervisor_->launch_count(), 2) << "a quick end does not run it again before the tick";
  clock_.Advance(30000);
  ASSERT_TRUE(WaitForLaunches(3));
}

TEST_F(SupervisorTest, ApplicationRunsOnceAndIsForgottenWhenItEnds) {
  CZEVComponentContext c = InstallFlagged(btApplicaiton, 0, scratch_.Sub("absent"));
  supervisor_->Start(c);
  ASSERT_TRUE(WaitForLaunches(1));
  ASSERT_TRUE(PollUntil([&] { return supervisor_->RunningPid("app", "comp") == 0; }));
  EXPECT_EQ(clock_.NextDeadline(), Clock::kNoDeadline) << "no restart planned";
  supervisor_->Start(c);
  ASSERT_TRUE(WaitForLaunches(2)) << "an ended application may be started again";
}

TEST_F(SupervisorTest, StopKillsTheGroupFiveSecondsAfterSigtermAndDoesNotRestart) {
  const std::string ready = scratch_.Sub("ready");
  CZEVComponentContext c = InstallStubborn("stubborn", ready);
  supervisor_->Start(c);
  const pid_t pid = WaitForPid(c);
  ASSERT_NE(pid, 0);
  ASSERT_TRUE(PollUntil([&] { return FileExists(ready); }));

  supervisor_->Stop(c);
  ASSERT_EQ(NextWaitMs(), kStopGraceMs);
  clock_.Advance(kStopGraceMs - 1);
  ASSERT_EQ(NextWaitMs(), 1);
  EXPECT_FALSE(ProcessGone(pid)) << "SIGTERM is ignored: only the SIGKILL ends it";
  clock_.Advance(1);
  ASSERT_TRUE(PollUntil([&] { return ProcessGone(pid); }));
  clock_.Advance(kMaxRestartDelayMs);
  EXPECT_EQ(supervisor_->launch_count(), 1);
  EXPECT_EQ(supervisor_->RunningPid("app", "stubborn"), 0);
}

TEST_F(SupervisorTest, StopAllKillsAfterTwoSecondsAndReturnsOnceEverythingEnded) {
  const std::string ready_a = scratch_.Sub("ready_a");
  const std::string ready_b = scratch_.Sub("ready_b");
  CZEVComponentContext a = InstallStubborn("a", ready_a);
  CZEVComponentContext b = InstallStubborn("b", ready_b);
  supervisor_->Start(a);
  supervisor_->Start(b);
  const pid_t pid_a = WaitForPid(a);
  const pid_t pid_b = WaitForPid(b);
  ASSERT_TRUE(PollUntil([&] { return FileExists(ready_a) && FileExists(ready_b); }));

  Latch returned;
  std::thread stopper([&] {
    supervisor_->StopAll(kStopAllGraceMs);
    returned.Open();
  });
  EXPECT_EQ(NextWaitMs(), kStopAllGraceMs);
  EXPECT_FALSE(returned.IsOpen());
  clock_.Advance(kStopAllGraceMs);
  EXPECT_TRUE(returned.Wait());
  stopper.join();
  EXPECT_TRUE(ProcessGone(pid_a));
  EXPECT_TRUE(ProcessGone(pid_b));
}

// A runAs user: the component runs with the user's ids and groups alone,
// without new privileges, in a data folder of its own that a planted link
// cannot redirect, and only from install folders that root alone can change.
TEST_F(SupervisorTest, RunsAsTheContextsUserOrRefusesTheStart) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  ASSERT_EQ(chmod(common_.path().c_str(), 0755), 0);  // the user passes through to its folders
  std::mutex mu;
  std::map<std::string, std::string> refused;
  SupervisorOptions options{"grp", common_.path()};
  options.on_refused = [&](const CZEVComponentContext& c, const std::string& why) {
    std::lock_guard<std::mutex> lock(mu);
    refused[c.componentid()] = why;
  };
  supervisor_ = std::make_unique<ComponentSupervisor>(&clock_, options);
  const std::string data = common_.path() + "/Varnel/ZEV/data/app/", planted = scratch_.Sub("planted");
  ASSERT_TRUE(CreateDirectories(data) && CreateDirectories(planted));
  struct Case {
    std::string id, run_as, refusal;  // refusal: empty when it runs
    std::function<bool(const std::string& install_dir)> spoil;
  } const cases[] = {
      {"own", user.name(), "", nullptr},
      {"nobody", "zev-no-such-user", "no user 'zev-no-such-user' to run as", nullptr},
      {"shared", user.name(), "must belong to root", [](const std::string& d) { return chmod(d.c_str(), 0775) == 0; }},
      {"linked", user.name(), "cannot make the data folder " + data + "linked",
       [&](const std::string&) { return symlink(planted.c_str(), (data + "linked").c_str()) == 0; }},
  };
  for (const Case& c : cases) {
    CZEVComponentContext context = MakeContext("app", c.id, "1");
    context.set_runas(c.run_as);
    const std::string dir = InstallScript(common_.path(), context,
                                          "{ id -u; id -G; grep NoNewPrivs /proc/self/status; pwd; "
                                          "echo \"$ZEV_COMPONENT_DATA\"; touch \"$ZEV_COMPONENT_DIR/x\" && echo wrote; "
                                          "} > seen.tmp 2>/dev/null; mv seen.tmp seen");
    ASSERT_TRUE(!c.spoil || c.spoil(dir)) << c.id;
    supervisor_->Start(context);
  }
  std::string seen;
  ASSERT_TRUE(PollUntil([&] { return ReadFileToString(data + "own/seen", &seen); }));
  EXPECT_EQ(seen, std::to_string(user.uid()) + "\n" + std::to_string(user.gid()) + "\nNoNewPrivs:\t1\n" + data +
                      "own\n" + data + "own\n");
  struct stat st;
  EXPECT_TRUE(stat(planted.c_str(), &st) == 0 && st.st_uid == 0) << "the chown followed the planted link";
  ASSERT_TRUE(PollUntil([&] {
    std::lock_guard<std::mutex> lock(mu);
    return refused.size() == 3;
  }));
  for (const Case& c : cases) {
    const std::string& why = refused[c.id];
    EXPECT_TRUE(c.refusal.empty() ? why.empty() : why.find(c.refusal) != std::string::npos) << c.id << ": " << why;
  }
  EXPECT_EQ(supervisor_->launch_count(), 1);
}

}  // namespace

}  // namespace zev
