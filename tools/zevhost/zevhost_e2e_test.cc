// The real zevhost program on the real bus: the test joins the bus as the
// monitor, starts zevhost as the service would and sends it envelopes.
// Components are shell scripts that record what they were given.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "bus/term_settings.h"
#include "platform/process.h"
#include "testing/test_util.h"
#include "tools/zevhost/host_args.h"
#include "tools/zevhost/process_tree.h"
#include "tools/zevhost/test_component.h"

namespace zev {

namespace {

class ZevhostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(monitor_.Join("zevhost-test-monitor", nullptr)); }
  void TearDown() override {
    // What a failed test left behind would hold the test's output open.
    for (pid_t pid : recorded_) {
      if (!ProcessGone(pid)) kill(pid, SIGKILL);
    }
    if (host_ && host_->ExitCode() == kStillActive) {
      host_->Terminate();
      host_->Wait(10000);
    }
    monitor_.Leave();
  }

  // Starts zevhost for `group` and waits until it takes messages.
  void StartHost(const std::string& group) {
    const std::string argument = std::string(kHostNodePrefix) + group + ":--nodeindex0";
    node_ = std::string(kHostNodePrefix) + group + "--nodeindex0";
    std::string why;
    host_ = StartProcessArgv({JoinPath(GetModuleDir(), "zevhost"), argument}, StartOptions(), &why);
    ASSERT_TRUE(host_) << why;
    // Until the host has joined, sends to its node fail.
    ASSERT_TRUE(PollUntil([&] { return monitor_.Send(node_, "ping", "", 1); })) << "zevhost never joined";
  }
  bool Send(const std::string& type, const std::string& payload) {
    return PollUntil([&] { return monitor_.Send(node_, type, payload, 2); });
  }
  bool SendContext(const std::string& type, const CZEVComponentContext& c) {
    return Send(type, c.SerializeAsString());
  }
  // The exit code of the host once it has ended; kStillActive on time-out.
  int HostExit(int timeout_ms = 10000) {
    host_->Wait(timeout_ms);
    return host_->ExitCode();
  }
  CZEVComponentContext Install(const std::string& version, const std::string& tail = "exec sleep 1000") {
    CZEVComponentContext c = MakeContext("app", "comp", version);
    install_dir_ = InstallScript(data_.path(), c, RecordingBody(records_.path(), tail));
    return c;
  }
  std::vector<std::string> Runs() { return ListFiles(records_.path(), "run."); }
  bool WaitForRuns(size_t count) { return PollUntil([&] { return Runs().size() >= count; }); }
  pid_t RunPid(const std::string& run) { return std::stoi(run.substr(4)); }
  // The pid a script wrote to records_/`name`, once it is there.
  pid_t RecordedPid(const std::string& name) {
    std::string text;
    if (!PollUntil([&] { return ReadFileToString(records_.Sub(name), &text) && !text.empty(); })) return 0;
    recorded_.push_back(std::stoi(text));
    return recorded_.back();
  }
  // A script line that leaves a process in a session of its own, which
  // writes its pid to records_/`name` and then runs `command`.
  std::string Setsid(const std::string& name, const std::string& command) {
    const std::string file = records_.Sub(name);
    return "setsid sh -c 'echo $$ > " + file + ".tmp && mv " + file + ".tmp " + file + "; " + command + "' &\n";
  }

  ScopedCommonDataDir data_;
  ScopedTempDir records_;
  pubsdk::CRpcTermSettings monitor_{data_.path()};
  std::unique_ptr<ProcessHandle> host_;
  std::string node_;
  std::string install_dir_;
  std::vector<pid_t> recorded_;
};

TEST_F(ZevhostTest, RunsTheComponentInItsFolderWithTheEightVariables) {
  StartHost("grp:with:colons");
  CZEVComponentContext c = Install("1.0");
  ASSERT_TRUE(SendContext("start", c));
  ASSERT_TRUE(WaitForRuns(1));
  std::map<std::string, std::string> run = ReadRun(records_.Sub(Runs()[0]));
  EXPECT_EQ(run["cwd"], install_dir_);
  EXPECT_EQ(run["ZEV_APP_CODE"], "app");
  EXPECT_EQ(run["ZEV_COMPONENT_ID"], "comp");
  EXPECT_EQ(run["ZEV_COMPONENT_VERSION"], "1.0");
  EXPECT_EQ(run["ZEV_COMPONENT_DIR"], install_dir_);
  EXPECT_EQ(run["ZEV_PROCESS_GROUP"], "grp:with:colons");
  EXPECT_EQ(run["ZEV_EXTEND_PARAMS"], "--verbose x");
  EXPECT_EQ(run["ZEV_PORT_RANGE"], "7000-7010");
  EXPECT_EQ(run["ZEV_COMMON_APPDATA"], data_.path());
  // A session of its own: nothing another component starts may join its
  // process group (and so pass for it), which only its own session could.
  const pid_t pid = RunPid(Runs()[0]);
  EXPECT_EQ(getsid(pid), pid);
  EXPECT_EQ(getpgid(pid), pid);
}

TEST_F(ZevhostTest, RepeatedStartRunsOneCopyAndANewVersionReplacesIt) {
  StartHost("grp");
  CZEVComponentContext v1 = Install("1.0");
  ASSERT_TRUE(SendContext("start", v1));
  ASSERT_TRUE(SendContext("start", v1));
  ASSERT_TRUE(WaitForRuns(1));
  const pid_t old_pid = RunPid(Runs()[0]);

  CZEVComponentContext v2 = Install("2.0");
  ASSERT_TRUE(SendContext("stop", v2)) << "a stop for a version that does not run is ignored";
  ASSERT_TRUE(SendContext("start", v2));
  ASSERT_TRUE(WaitForRuns(2));
  EXPECT_EQ(Runs().size(), 2u) << "the repeated start of 1.0 ran nothing";
  ASSERT_TRUE(PollUntil([&] { return ProcessGone(old_pid); }));
  for (const std::string& run : Runs()) {
    std::map<std::string, std::string> values = ReadRun(records_.Sub(run));
    EXPECT_EQ(values["ZEV_COMPONENT_VERSION"], RunPid(run) == old_pid ? "1.0" : "2.0");
    if (RunPid(run) != old_pid) {
      EXPECT_FALSE(ProcessGone(RunPid(run)));
    }
  }
}

TEST_F(ZevhostTest, StopEndsTheWholeProcessGroup) {
  StartHost("grp");
  // The script leaves a grandchild in its group, another outside it, and
  // waits for them.
  CZEVComponentContext c = Install("1.0", "sleep 1000 &\necho $! > " + records_.Sub("grandchild") + "\n" +
                                               Setsid("setsid", "exec sleep 1000") + "wait");
  ASSERT_TRUE(SendContext("start", c));
  ASSERT_TRUE(WaitForRuns(1));
  ASSERT_TRUE(PollUntil([&] { return FileExists(records_.Sub("grandchild")); }));
  std::string text;
  ASSERT_TRUE(PollUntil([&] { return ReadFileToString(records_.Sub("grandchild"), &text) && !text.empty(); }));
  const pid_t grandchild = std::stoi(text);
  const pid_t child = RunPid(Runs()[0]);
  const pid_t outside = RecordedPid("setsid");
  ASSERT_FALSE(ProcessGone(grandchild));
  ASSERT_TRUE(outside != 0 && !ProcessGone(outside));

  ASSERT_TRUE(SendContext("stop", c));
  EXPECT_TRUE(PollUntil([&] { return ProcessGone(child) && ProcessGone(grandchild); }));
  // Gone and reaped: the host, which it came to, did not leave it a zombie.
  EXPECT_TRUE(PollUntil([&] { return !FileExists("/proc/" + std::to_string(outside) + "/stat"); }));
  EXPECT_EQ(host_->ExitCode(), kStillActive);
}

TEST_F(ZevhostTest, StopAllEndsTheComponentsAndExits255IgnoringLaterMessages) {
  StartHost("grp");
  CZEVComponentContext c = Install("1.0");
  ASSERT_TRUE(SendContext("start", c));
  ASSERT_TRUE(WaitForRuns(1));
  ASSERT_TRUE(Send("stopall", "stopall"));
  monitor_.Send(node_, "start", Install("2.0").SerializeAsString(), 3);
  EXPECT_EQ(HostExit(), 255);
  EXPECT_TRUE(ProcessGone(RunPid(Runs()[0])));
  EXPECT_EQ(Runs().size(), 1u);
}

TEST_F(ZevhostTest, SigtermEndsTheComponentsAndExits143ButHupAndUsrSignalsDoNot) {
  StartHost("grp");
  ASSERT_TRUE(SendContext("start", Install("1.0")));
  // A run that has ended left an orphan that ignores SIGTERM: it came to
  // the host and ends with it, by SIGKILL after the grace.
  CZEVComponentContext once = MakeContext("app", "once", "1.0");
  InstallScript(data_.path(), once, Setsid("orphan", "trap \"\" TERM; exec sleep 1000"));
  ASSERT_TRUE(SendContext("start", once));
  ASSERT_TRUE(WaitForRuns(1));
  const pid_t orphan = RecordedPid("orphan");
  ProcessFacts facts;
  ASSERT_TRUE(PollUntil([&] { return ReadProcessFacts(orphan, &facts) && facts.ppid == host_->pid(); }));
  // What systemctl kill sends to every process of the unit leaves it alone.
  for (int sig : {SIGHUP, SIGUSR1, SIGUSR2}) kill(host_->pid(), sig);
  kill(host_->pid(), SIGTERM);
  EXPECT_EQ(HostExit(), 143);
  EXPECT_TRUE(ProcessGone(RunPid(Runs()[0])));
  EXPECT_TRUE(ProcessGone(orphan));
}

TEST_F(ZevhostTest, KilledHostTakesItsComponentsWithIt) {
  StartHost("grp");
  ASSERT_TRUE(SendContext("start", Install("1.0")));
  ASSERT_TRUE(WaitForRuns(1));
  host_->Terminate();
  EXPECT_EQ(HostExit(), 128 + SIGKILL);
  EXPECT_TRUE(PollUntil([&] { return ProcessGone(RunPid(Runs()[0])); }));
}

TEST_F(ZevhostTest, RefusesEntryPointsOutsideTheInstallFolderAndBadContexts) {
  StartHost("grp");
  CZEVComponentContext good = Install("1.0");
  // A script one level up, which "../run.sh" would reach.
  InstallScript(data_.path(), MakeContext("app", "comp", "1.0", "../run.sh"), RecordingBody(records_.path(), ""));
  CZEVComponentContext climbing = good;
  climbing.mutable_manifest()->set_entrypoint("../run.sh");
  CZEVComponentContext climbing_x = good;
  climbing_x.mutable_manifest()->set_entrypoint("../x");
  CZEVComponentContext absolute = good;
  absolute.mutable_manifest()->set_entrypoint("/bin/sh");
  ASSERT_TRUE(SendContext("start", climbing));
  ASSERT_TRUE(SendContext("start", climbing_x));
  ASSERT_TRUE(SendContext("start", absolute));
  const std::string payload = good.SerializeAsString();
  ASSERT_TRUE(Send("start", payload.substr(0, payload.size() / 2)));
  // A good message after the refused ones is the first thing that runs.
  ASSERT_TRUE(SendContext("start", good));
  ASSERT_TRUE(WaitForRuns(1));
  EXPECT_EQ(Runs().size(), 1u);
  EXPECT_EQ(ReadRun(records_.Sub(Runs()[0]))["cwd"], install_dir_);
  EXPECT_EQ(host_->ExitCode(), kStillActive);
}

TEST_F(ZevhostTest, RunsAScriptWithoutTheExecuteBitThroughItsShebang) {
  StartHost("grp");
  CZEVComponentContext c = MakeContext("app", "plain", "1.0");
  InstallScript(data_.path(), c, RecordingBody(records_.path(), "exec sleep 1000"), /*executable=*/false);
  ASSERT_TRUE(SendContext("start", c));
  ASSERT_TRUE(WaitForRuns(1));
  EXPECT_EQ(ReadRun(records_.Sub(Runs()[0]))["ZEV_COMPONENT_ID"], "plain");
}

TEST(ZevhostProgram, ExitsOneForABadArgument) {
  // A folder of its own, so that no other test program running beside this
  // one takes these hosts for its own left-overs and ends them.
  ScopedCommonDataDir data;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"no-node-index"}, {"grp--nodeindex0"}, {"a:--nodeindex0", "extra"}}) {
    std::vector<std::string> argv = {JoinPath(GetModuleDir(), "zevhost")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::unique_ptr<ProcessHandle> host = StartProcessArgv(argv);
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->Wait(10000));
    EXPECT_EQ(host->ExitCode(), 1) << argv.size();
  }
}

}  // namespace

// A bus folder that cannot be made (a file stands where it should be) leaves
// the host without a bus: it says so and exits 1 rather than idling.
TEST(ZevhostProgram, ExitsOneWithoutABus) {
  ScopedCommonDataDir data;
  ASSERT_TRUE(CreateDirectories(data.path() + "/run"));
  ASSERT_TRUE(WriteFileAtomically(data.path() + "/run/bus", "not a folder"));
  std::unique_ptr<ProcessHandle> host = StartProcessArgv(
      {JoinPath(GetModuleDir(), "zevhost"), std::string(kHostNodePrefix) + "grp:--nodeindex1"});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->Wait(10000));
  EXPECT_EQ(host->ExitCode(), 1);
}

}  // namespace zev
