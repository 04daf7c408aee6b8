#include "platform/instance_processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/process.h"
#include "testing/test_util.h"

namespace zev {

namespace {

using std::string_literals::operator""s;

// Clears ZEV_COMMON_APPDATA for the scope and puts back what was there.
class ScopedNoInstanceFolder {
 public:
  ScopedNoInstanceFolder() {
    const char* value = getenv("ZEV_COMMON_APPDATA");
    had_ = value != nullptr;
    if (had_) saved_ = value;
    unsetenv("ZEV_COMMON_APPDATA");
  }
  ~ScopedNoInstanceFolder() {
    if (had_) setenv("ZEV_COMMON_APPDATA", saved_.c_str(), 1);
  }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST(SameInstanceEnvironment, ComparesTheCommonDataFolderOnly) {
  ScopedCommonDataDir data;
  const std::string ours = "ZEV_COMMON_APPDATA=" + data.path();
  EXPECT_TRUE(SameInstanceEnvironment("A=1\0"s + ours + "\0B=2\0"s));
  EXPECT_TRUE(SameInstanceEnvironment(ours));  // last entry without its NUL
  EXPECT_FALSE(SameInstanceEnvironment(ours + "x\0"s));
  EXPECT_FALSE(SameInstanceEnvironment("A=1\0"s));
  // A variable whose name only starts the same is another variable.
  EXPECT_FALSE(SameInstanceEnvironment("XZEV_COMMON_APPDATA=" + data.path() + "\0"s));
}

TEST(SameInstanceEnvironment, TreatsUnsetAndEmptyAlike) {
  ScopedNoInstanceFolder none;
  EXPECT_TRUE(SameInstanceEnvironment("A=1\0"s));
  EXPECT_TRUE(SameInstanceEnvironment("ZEV_COMMON_APPDATA=\0"s));
  EXPECT_FALSE(SameInstanceEnvironment("ZEV_COMMON_APPDATA=/srv/other\0"s));
}

// A copy of sleep under a name no other test uses, started through env(1)
// so that each copy gets the environment the test chooses.
class InstanceProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "zevinst-" + std::to_string(getpid());
    program_ = dir_.Sub(name_);
    ASSERT_TRUE(CopyFileTo("/bin/sleep", program_));
    chmod(program_.c_str(), 0755);
  }
  void TearDown() override {
    // The copies first: one that is PID 1 of a namespace of its own is then
    // reaped by its unshare(1), not left to init.
    for (pid_t pid : FindProcessesByName(name_)) kill(pid, SIGKILL);
    for (auto& p : started_) {
      p->Terminate();
      p->Wait(10000);
    }
  }
  // With `wrapped`, `env_args` begins with the program that runs env.
  pid_t StartWith(const std::vector<std::string>& env_args, bool wrapped = false) {
    std::vector<std::string> argv;
    if (!wrapped) argv.push_back("/usr/bin/env");
    argv.insert(argv.end(), env_args.begin(), env_args.end());
    argv.push_back(program_);
    argv.push_back("1000");
    std::unique_ptr<ProcessHandle> p = StartProcessArgv(argv);
    if (!p) return 0;
    const pid_t pid = p->pid();
    started_.push_back(std::move(p));
    return pid;
  }
  // Waits until env(1) has become the program (its exe names the copy).
  bool AwaitExec(size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (FindProcessesByName(name_).size() < count) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  bool Ended(pid_t pid) {
    for (auto& p : started_) {
      if (p->pid() == pid) return p->Wait(10000);
    }
    return false;
  }
  bool Running(pid_t pid) {
    for (auto& p : started_) {
      if (p->pid() == pid) return p->ExitCode() == kStillActive;
    }
    return false;
  }

  ScopedTempDir dir_;
  std::string name_;
  std::string program_;
  std::vector<std::unique_ptr<ProcessHandle>> started_;
};

// Ours only with our folder, our token, our PID namespace: a copy with
// everything ours but in a PID namespace of its own stands for a container's
// host on the same data folder.
TEST_F(InstanceProcessesTest, EndsOnlyTheProcessesOfThisInstance) {
  ScopedCommonDataDir data;
  const std::string token = InstanceToken();
  ASSERT_EQ(token.size(), 32u);
  const std::string ours = "ZEV_INSTANCE_ID=" + token;
  const pid_t mine = StartWith({ours});
  const pid_t other = StartWith({"ZEV_COMMON_APPDATA=" + data.path() + "-other", ours});
  const pid_t unset = StartWith({"-u", "ZEV_COMMON_APPDATA", ours});
  const pid_t no_token = StartWith({});
  const pid_t wrong_token = StartWith({"ZEV_INSTANCE_ID=" + std::string(32, 'a')});
  const pid_t nested = StartWith({"unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "env", ours}, true);
  ASSERT_TRUE(mine && other && unset && no_token && wrong_token && nested);
  ASSERT_TRUE(AwaitExec(6));

  EXPECT_EQ(FindInstanceProcesses(name_), std::vector<pid_t>{mine});
  EXPECT_TRUE(TerminateInstanceProcesses(name_));
  EXPECT_TRUE(Ended(mine));
  for (pid_t pid : {other, unset, no_token, wrong_token, nested}) EXPECT_TRUE(Running(pid)) << pid;
  EXPECT_TRUE(FindInstanceProcesses(name_).empty());
  EXPECT_TRUE(TerminateInstanceProcesses(name_)) << "nothing left to end is no failure";
}

TEST_F(InstanceProcessesTest, AnInstanceWithoutAFolderOwnsTheProcessesWithoutOne) {
  ScopedNoInstanceFolder none;
  // Given by hand: without a folder ours would live below /var/lib.
  const InstanceIdentity who{"", std::string(32, 'b'), ""};
  const std::string token = "ZEV_INSTANCE_ID=" + who.token;
  const pid_t unset = StartWith({"-u", "ZEV_COMMON_APPDATA", token});
  const pid_t empty = StartWith({"ZEV_COMMON_APPDATA=", token});
  const pid_t other = StartWith({"ZEV_COMMON_APPDATA=" + dir_.path(), token});
  // No environment at all is what a process shows in the middle of exec:
  // it says nothing about the owner, so it is nobody's.
  const pid_t bare = StartWith({"-i"});
  ASSERT_TRUE(unset && empty && other && bare);
  ASSERT_TRUE(AwaitExec(4));

  std::vector<pid_t> found = FindInstanceProcesses(name_, who);
  std::sort(found.begin(), found.end());
  std::vector<pid_t> expected = {unset, empty};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
}

TEST(InstanceToken, IsMadeOnceAndTrustedOnlyAsAPrivateFileOfOurs) {
  ScopedCommonDataDir data;
  const std::string token = InstanceToken();
  EXPECT_EQ(InstanceToken(), token);
  const std::string path = data.path() + "/run/instance-id";
  chmod(path.c_str(), 0644);
  std::string why;
  EXPECT_EQ(InstanceToken(&why), "") << "readable by others";
  EXPECT_NE(why, "");
  ASSERT_EQ(rename(path.c_str(), (path + ".real").c_str()), 0);
  ASSERT_EQ(symlink((path + ".real").c_str(), path.c_str()), 0);
  EXPECT_EQ(InstanceToken(), "") << "a link";
}

TEST(ServiceCgroupIn, NamesOnlyASystemdServicesCgroup) {
  EXPECT_EQ(ServiceCgroupIn("0::/system.slice/zevsvc.service\n"), "/system.slice/zevsvc.service");
  EXPECT_EQ(ServiceCgroupIn("4:memory:/a.service\n1:name=systemd:/system.slice/z.service\n0::/\n"),
            "/system.slice/z.service");
  EXPECT_EQ(ServiceCgroupIn("0::/user.slice/session-2.scope\n"), "");
  EXPECT_EQ(ServiceCgroupIn("0::/\n"), "");
}

}  // namespace

}  // namespace zev
