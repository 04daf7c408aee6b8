// The monitor with the real zevhost, the real bus and real processes. The
// monitor's time runs on a FakeClock; what the tests wait for in real time
// is what the monitor tells its observer, or (a component appearing) is
// polled with a deadline.
#include "hosting/monitor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "bus/term_settings.h"
#include "hosting/host_status.h"
#include "platform/instance_processes.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "testing/fake_clock.h"
#include "testing/monitor_events.h"
#include "testing/test_util.h"
#include "tools/zevhost/test_component.h"

namespace pubsdk {
namespace {

// The process log of the whole test program, in a folder of its own.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<zev::ScopedTempDir>();
    ASSERT_TRUE(zev::LogInit(dir_->path(), "monitor_test"));
  }
  void TearDown() override {
    zev::LogShutdown();
    dir_.reset();
  }

 private:
  std::unique_ptr<zev::ScopedTempDir> dir_;
};
::testing::Environment* const kLogEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

struct MonitorReleaser {
  void operator()(CZEVMonitor* m) const { m->Release(); }
};
using MonitorPtr = std::unique_ptr<CZEVMonitor, MonitorReleaser>;

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string log;
    ASSERT_TRUE(zev::LogFlush());
    zev::ReadFileToString(zev::LogCurrentPath(), &log);
    log_start_ = log.size();
  }
  void TearDown() override {
    if (monitor_) {
      monitor_->StopAll();
      monitor_->Stop();
      monitor_->Uninit();
      monitor_.reset();
    }
    // Whatever a failing test left behind: only this test's hosts.
    zev::TerminateInstanceProcesses(kHostExecutable);
  }

  void StartMonitor(const std::string& host_dir = std::string()) {
    MonitorOptions options;
    options.clock = &clock_;
    options.SetTimings(timings_);
    options.host_dir = host_dir;
    options.run_dir = RunDir();
    options.common_dir = data_.path();
    options.event_sink = [this](const zev::EventElement& e) {
      std::lock_guard<std::mutex> lock(events_mu_);
      events_.push_back(e);
    };
    options.observer = &told_;
    monitor_.reset(new CZEVMonitor(options));
    ASSERT_EQ(monitor_->Init(0), 0);
    ASSERT_EQ(monitor_->Start(), 0);
  }

  CZEVComponentContext Install(const std::string& group, const std::string& component,
                               const std::string& version = "1.0") {
    CZEVComponentContext c = zev::MakeContext("app", component, version);
    c.mutable_manifest()->mutable_params()->set_pgroup(group);
    zev::InstallScript(data_.path(), c, zev::RecordingBody(records_.path(), "exec sleep 1000"));
    return c;
  }
  int32_t Start(const CZEVComponentContext& c) { return monitor_->StartComponent(c); }
  int32_t Stop(const CZEVComponentContext& c) { return monitor_->StopComponent(c); }
  std::string RunDir() {
    const std::string dir = zev::JoinPath(data_.path(), "run");
    zev::CreateDirectories(dir);
    return dir;
  }

  // Component runs so far, as "componentID version" texts.
  std::vector<std::string> Runs() {
    std::vector<std::string> runs;
    for (const std::string& name : zev::ListFiles(records_.path(), "run.")) {
      std::map<std::string, std::string> run = zev::ReadRun(records_.Sub(name));
      runs.push_back(run["ZEV_COMPONENT_ID"] + " " + run["ZEV_COMPONENT_VERSION"]);
    }
    std::sort(runs.begin(), runs.end());
    return runs;
  }
  bool AwaitRuns(size_t count) { return zev::PollUntil([&] { return Runs().size() >= count; }); }

  MonitorHostInfo Row(const std::string& group) {
    for (const MonitorHostInfo& row : monitor_->GetProcessTable()) {
      if (row.group_name == group) return row;
    }
    return MonitorHostInfo();
  }
  // Waits until the group's host runs under another pid than `old_pid`.
  MonitorHostInfo AwaitNewHost(const std::string& group, pid_t old_pid) {
    MonitorHostInfo row;
    zev::PollUntil([&] {
      row = Row(group);
      return row.pid != 0 && row.pid != old_pid;
    });
    return row;
  }
  void Kill(pid_t pid) { ASSERT_EQ(kill(pid, SIGKILL), 0); }

  std::vector<zev::EventElement> Events() {
    std::lock_guard<std::mutex> lock(events_mu_);
    return events_;
  }
  // The process log written since the test began.
  std::string LogText() {
    std::string log;
    zev::LogFlush();
    zev::ReadFileToString(zev::LogCurrentPath(), &log);
    return log.size() > log_start_ ? log.substr(log_start_) : std::string();
  }
  bool AwaitLog(const std::string& text, size_t count = 1) {
    return zev::PollUntil([&] { return CountOf(LogText(), text) >= count; });
  }
  std::vector<MonitorHostInfo> StatusFile() {
    std::vector<MonitorHostInfo> rows;
    ReadHostStatus(monitor_->status_path(), &rows);
    return rows;
  }
  // Moves the clock on by hours until a sweep has told one more event of
  // `kind` (a host it starts, or one whose restart it refuses). (The
  // monitor re-arms its hour after every event, so a move made just before
  // a re-arm may not reach the new deadline.)
  void RunSweep(MonitorEvent::Kind kind) {
    const size_t before = told_.Count(kind);
    for (int hour = 0; hour < 5; ++hour) {
      ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
      clock_.AdvanceSeconds(3600);
      if (told_.AwaitCount(kind, before + 1, std::chrono::milliseconds(1000))) return;
    }
    FAIL() << "no sweep";
  }
  // Once the host that ended is down and the loop waits `ms` from now for
  // its restart, moves the clock on by `ms`.
  void AwaitBackoff(int64_t ms) {
    ASSERT_TRUE(zev::PollUntil([&] { return clock_.NextDeadline() == clock_.MonotonicMillis() + ms; }));
    EXPECT_EQ(Row("grp").pid, 0);
    clock_.Advance(ms - 1);
    ASSERT_TRUE(zev::PollUntil([&] { return clock_.NextDeadline() == clock_.MonotonicMillis() + 1; }));
    EXPECT_EQ(Row("grp").pid, 0);
    clock_.Advance(1);
  }
  // Moves the clock past a 15 s resend once the timer waits for it.
  void RunResends() {
    ASSERT_TRUE(zev::PollUntil([&] { return clock_.NextDeadline() <= clock_.MonotonicMillis() + 15000; }));
    clock_.AdvanceSeconds(15);
  }
  // A host folder with the bus library and, when asked, zevhost.
  void MakeHostDir(const zev::ScopedTempDir& dir, bool with_host) {
    ASSERT_TRUE(zev::CopyFileTo(zev::GetModuleDir() + "libzevrpc.so", dir.Sub("libzevrpc.so")));
    if (with_host) CopyHost(dir);
  }
  void CopyHost(const zev::ScopedTempDir& dir) {
    ASSERT_TRUE(zev::CopyFileTo(zev::GetModuleDir() + kHostExecutable, dir.Sub(kHostExecutable)));
    chmod(dir.Sub(kHostExecutable).c_str(), 0755);
  }

  zev::ScopedCommonDataDir data_;
  zev::ScopedTempDir records_;
  zev::FakeClock clock_;
  zev::Timings timings_;
  MonitorPtr monitor_;
  std::mutex events_mu_;
  std::vector<zev::EventElement> events_;  // guarded by events_mu_
  zev::MonitorEventLog told_;
  size_t log_start_ = 0;
};

TEST_F(MonitorTest, ComponentsOfOneGroupShareOneHostAndEachGetsOneStart) {
  StartMonitor();
  ASSERT_EQ(Start(Install("grp", "a")), kStartSent);
  // The serialised form reaches the same start; what does not parse, none.
  const std::string b = Install("grp", "b").SerializeAsString();
  ASSERT_EQ(monitor_->StartComponent(b.data(), static_cast<uint32_t>(b.size())), kStartSent);
  EXPECT_EQ(monitor_->StartComponent("\xff", 1), kStartBadContext);
  ASSERT_EQ(Start(Install("other", "c")), kStartSent);
  ASSERT_TRUE(AwaitRuns(3));
  EXPECT_EQ(Runs(), (std::vector<std::string>{"a 1.0", "b 1.0", "c 1.0"}));

  std::vector<MonitorHostInfo> table = monitor_->GetProcessTable();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(zev::FindInstanceProcesses(kHostExecutable).size(), 2u);
  const MonitorHostInfo grp = Row("grp");
  EXPECT_NE(grp.pid, 0);
  EXPECT_EQ(grp.node_name.rfind(std::string(kHostNodeNamePrefix) + "grp--nodeindex", 0), 0u) << grp.node_name;
  std::vector<MonitorEvent> started = told_.Of(MonitorEvent::Kind::kHostStarted);
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0].group + " " + started[0].node + " " + std::to_string(started[0].pid),
            "grp " + grp.node_name + " " + std::to_string(grp.pid));
  EXPECT_EQ(StatusFile().size(), 2u);
}

TEST_F(MonitorTest, AHostEndingWith255IsForgottenAndTheNextStartMakesANewOne) {
  StartMonitor();
  CZEVComponentContext a = Install("grp", "a");
  ASSERT_EQ(Start(a), kStartSent);
  ASSERT_TRUE(AwaitRuns(1));
  const MonitorHostInfo first = Row("grp");

  CRpcTermSettings peer(data_.path());
  ASSERT_TRUE(peer.Join("monitor-test-peer", nullptr));
  ASSERT_TRUE(peer.Send(first.node_name, "stopall", "stopall", 1));
  ASSERT_TRUE(zev::PollUntil([&] { return monitor_->GetProcessTable().empty(); }));
  std::vector<MonitorEvent> ended = told_.Of(MonitorEvent::Kind::kHostEnded);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].pid, first.pid);
  EXPECT_EQ(ended[0].exit_code, kHostExitNormally);
  EXPECT_EQ(told_.Count(MonitorEvent::Kind::kHostRestarted) + told_.Count(MonitorEvent::Kind::kRestartRefused), 0u);
  // The status file is rewritten just after the record goes.
  EXPECT_TRUE(zev::PollUntil([&] { return StatusFile().empty(); }));
  EXPECT_TRUE(zev::FindInstanceProcesses(kHostExecutable).empty());

  ASSERT_EQ(Start(a), kStartSent);
  const MonitorHostInfo second = Row("grp");
  EXPECT_NE(second.pid, 0);
  EXPECT_NE(second.pid, first.pid);
  EXPECT_EQ(second.restart_count, 0u);
  ASSERT_TRUE(AwaitRuns(2));
  EXPECT_TRUE(Events().empty());
}

TEST_F(MonitorTest, AKilledHostIsRestartedUnderANewNameWithItsComponentsAgainEveryTime) {
  StartMonitor();
  CZEVComponentContext a = Install("grp", "a");
  CZEVComponentContext b = Install("grp", "b");
  ASSERT_EQ(Start(a), kStartSent);
  ASSERT_EQ(Start(b), kStartSent);
  ASSERT_TRUE(AwaitRuns(2));
  const MonitorHostInfo first = Row("grp");

  Kill(first.pid);
  const MonitorHostInfo second = AwaitNewHost("grp", first.pid);
  ASSERT_NE(second.pid, 0);
  EXPECT_NE(second.node_name, first.node_name);
  ASSERT_TRUE(AwaitRuns(4));
  ASSERT_TRUE(zev::PollUntil([&] { return Events().size() >= 2; }));
  for (const zev::EventElement& e : Events()) {
    EXPECT_EQ(e.eventState, 14);
    EXPECT_EQ(e.appCode, "app");
    EXPECT_EQ(e.version, "1.0");
    EXPECT_EQ(e.eventTimestamp, clock_.WallMillis());
    EXPECT_EQ(e.eventMessage, "exceptexit");
    EXPECT_EQ(e.eventContent, "component is  exit by some exception.");
  }
  EXPECT_EQ(Events()[0].componentLibraryId, "a");
  EXPECT_EQ(Events()[1].componentLibraryId, "b");
  ASSERT_TRUE(told_.AwaitCount(MonitorEvent::Kind::kHostRestarted, 1));
  EXPECT_EQ(told_.Of(MonitorEvent::Kind::kHostRestarted)[0].pid, second.pid);
  EXPECT_EQ(told_.Of(MonitorEvent::Kind::kHostEnded)[0].exit_code, 128 + SIGKILL);

  // The restarted host is watched like the first one. Ending 1 s after its
  // start, it waits 1 s of the clock before it is started again.
  clock_.AdvanceSeconds(1);
  Kill(second.pid);
  AwaitBackoff(1000);
  const MonitorHostInfo third = AwaitNewHost("grp", second.pid);
  ASSERT_NE(third.pid, 0);
  EXPECT_NE(third.node_name, second.node_name);
  ASSERT_TRUE(AwaitRuns(6));
  EXPECT_EQ(Runs(), (std::vector<std::string>{"a 1.0", "a 1.0", "a 1.0", "b 1.0", "b 1.0", "b 1.0"}));
  ASSERT_TRUE(zev::PollUntil([&] { return Events().size() >= 4; }));
  EXPECT_EQ(zev::FindInstanceProcesses(kHostExecutable).size(), 1u);

  std::vector<MonitorHostInfo> status;
  ASSERT_TRUE(zev::PollUntil([&] {
    status = StatusFile();
    return status.size() == 1 && status[0].pid == third.pid;
  }));
  EXPECT_EQ(status[0].node_name, third.node_name);
  EXPECT_EQ(status[0].restart_count, 1u);
  EXPECT_FALSE(status[0].restart_refused);

  // A group whose components all stopped still follows its host to the new
  // node, so its next component reaches the restarted host.
  EXPECT_EQ(Stop(a), 1);
  EXPECT_EQ(Stop(b), 1);
  // The third quick end waits 2 s; after 10 minutes up a restart is
  // immediate again.
  Kill(third.pid);
  AwaitBackoff(2000);
  const MonitorHostInfo fourth = AwaitNewHost("grp", third.pid);
  ASSERT_NE(fourth.pid, 0);
  ASSERT_TRUE(told_.AwaitCount(MonitorEvent::Kind::kHostRestarted, 3));
  clock_.AdvanceSeconds(600);
  Kill(fourth.pid);
  ASSERT_NE(AwaitNewHost("grp", fourth.pid).pid, 0);
  ASSERT_TRUE(told_.AwaitCount(MonitorEvent::Kind::kHostRestarted, 4));
  ASSERT_EQ(Start(a), kStartSent);
  ASSERT_TRUE(AwaitRuns(7));
  EXPECT_EQ(Events().size(), 4u) << "no component was left to start again";
}

TEST_F(MonitorTest, TwelveFailuresInABurstGiveElevenRestartsUntilALaterDate) {
  timings_.restart_backoff_first_ms = 0;  // the budget alone
  StartMonitor();
  ASSERT_EQ(Start(Install("grp", "a")), kStartSent);
  ASSERT_TRUE(AwaitRuns(1));
  int restarts = 0;
  MonitorHostInfo row = Row("grp");
  for (int failure = 1; failure <= 12; ++failure) {
    Kill(row.pid);
    ASSERT_TRUE(zev::PollUntil([&] { return Row("grp").pid != row.pid; }));
    MonitorHostInfo now = Row("grp");
    if (now.pid != 0) ++restarts;
    row = now;
    if (row.pid == 0) break;
    clock_.AdvanceSeconds(60);  // each failure well inside 27 minutes of the last
  }
  EXPECT_EQ(restarts, 11);
  EXPECT_EQ(row.pid, 0);
  EXPECT_TRUE(row.restart_refused);
  EXPECT_EQ(row.restart_count, 10u);
  EXPECT_TRUE(told_.AwaitCount(MonitorEvent::Kind::kHostRestarted, 11));
  ASSERT_TRUE(told_.AwaitCount(MonitorEvent::Kind::kRestartRefused, 1));
  std::vector<MonitorEvent> refused = told_.Of(MonitorEvent::Kind::kRestartRefused);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].restart_count, 10u);
  std::vector<MonitorHostInfo> status;
  EXPECT_TRUE(zev::PollUntil([&] {  // written just after the table changed
    status = StatusFile();
    return status.size() == 1 && status[0].restart_refused && status[0].pid == 0;
  }));
  EXPECT_TRUE(zev::FindInstanceProcesses(kHostExecutable).empty());

  // The same day hours later: still refused.
  RunSweep(MonitorEvent::Kind::kRestartRefused);
  EXPECT_EQ(Row("grp").pid, 0);
  EXPECT_TRUE(Row("grp").restart_refused);
  // Each death was seen once: no ended host stayed in the wait list.
  EXPECT_EQ(told_.Count(MonitorEvent::Kind::kHostEnded), 12u);
  EXPECT_EQ(CountOf(LogText(), "WAIT_FAILED"), 0u);

  // The next day the sweep brings the host and its component back.
  const size_t runs = Runs().size();
  clock_.SetWallMillis(clock_.WallMillis() + 86400000);
  RunSweep(MonitorEvent::Kind::kHostStarted);
  const MonitorHostInfo back = AwaitNewHost("grp", 0);
  ASSERT_NE(back.pid, 0);
  EXPECT_FALSE(back.restart_refused);
  ASSERT_TRUE(AwaitRuns(runs + 1));
  ASSERT_TRUE(zev::PollUntil([&] {
    std::vector<MonitorHostInfo> s = StatusFile();
    return s.size() == 1 && s[0].pid == back.pid && !s[0].restart_refused;
  }));
}

TEST_F(MonitorTest, AMissingHostAnswers2ResendsOnceAndRecoversWhenTheHostAppears) {
  zev::ScopedTempDir host_dir;
  MakeHostDir(host_dir, /*with_host=*/false);
  StartMonitor(host_dir.path());
  ASSERT_EQ(Start(Install("g1", "a")), kStartResendScheduled);
  ASSERT_EQ(Start(Install("g2", "c")), kStartResendScheduled);
  EXPECT_EQ(Row("g1").pid, 0);
  EXPECT_EQ(Row("g2").pid, 0);
  EXPECT_EQ(monitor_->GetProcessTable().size(), 2u) << "a failed start keeps its host record";
  EXPECT_EQ(CountOf(LogText(), "Send the msg again after 15s: target node is "), 2u);

  RunResends();
  ASSERT_TRUE(AwaitLog("Failed to send msg by timer.", 2));
  clock_.AdvanceSeconds(15);
  EXPECT_EQ(CountOf(LogText(), "Failed to send msg by timer."), 2u) << "one resend each";

  CopyHost(host_dir);
  // The group's next StartComponent starts its host, with what waited.
  ASSERT_EQ(Start(Install("g1", "b")), kStartSent);
  ASSERT_TRUE(AwaitRuns(2));
  EXPECT_EQ(Runs(), (std::vector<std::string>{"a 1.0", "b 1.0"}));
  EXPECT_NE(Row("g1").pid, 0);

  // The sweep starts the other group's host.
  RunSweep(MonitorEvent::Kind::kHostStarted);
  ASSERT_TRUE(AwaitRuns(3));
  EXPECT_EQ(Runs(), (std::vector<std::string>{"a 1.0", "b 1.0", "c 1.0"}));
  EXPECT_NE(Row("g2").pid, 0);
  EXPECT_TRUE(Events().empty()) << "no host failed";
}

TEST_F(MonitorTest, ARestartedHostRunsTheLastVersionAndNoStoppedComponent) {
  StartMonitor();
  ASSERT_EQ(Start(Install("grp", "a", "1.0")), kStartSent);
  ASSERT_TRUE(AwaitRuns(1));  // before 2.0 replaces it
  ASSERT_EQ(Start(Install("grp", "a", "2.0")), kStartSent);
  ASSERT_TRUE(AwaitRuns(2));
  const MonitorHostInfo first = Row("grp");
  Kill(first.pid);
  ASSERT_NE(AwaitNewHost("grp", first.pid).pid, 0);
  ASSERT_TRUE(AwaitRuns(3));
  ASSERT_TRUE(zev::PollUntil([&] { return Events().size() >= 1; }));
  EXPECT_EQ(Runs(), (std::vector<std::string>{"a 1.0", "a 2.0", "a 2.0"}));
  EXPECT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].version, "2.0");
}

// A stop that could not be sent and a start of another version: only the new
// version runs, now and after a restart, and the old version's pending resend
// does not bring it back.
TEST_F(MonitorTest, AVersionChangeWhoseStopFailedRunsOnlyTheNewVersion) {
  zev::ScopedTempDir host_dir;
  MakeHostDir(host_dir, /*with_host=*/false);
  StartMonitor(host_dir.path());
  CZEVComponentContext old_a = Install("grp", "a", "1.0");
  ASSERT_EQ(Start(old_a), kStartResendScheduled);
  EXPECT_EQ(Stop(old_a), 0) << "no host to send to";
  ASSERT_EQ(Start(Install("grp", "a", "2.0")), kStartResendScheduled);

  CopyHost(host_dir);
  ASSERT_EQ(Start(Install("grp", "b")), kStartSent);  // brings the host up
  ASSERT_TRUE(AwaitRuns(2));
  RunResends();  // both resends fall due
  EXPECT_TRUE(AwaitLog("The resend of start of a 1.0 is dropped"));
  ASSERT_TRUE(zev::PollUntil([&] { return clock_.NextDeadline() > clock_.MonotonicMillis() + 15000; }));

  const MonitorHostInfo first = Row("grp");
  Kill(first.pid);
  ASSERT_NE(AwaitNewHost("grp", first.pid).pid, 0);
  ASSERT_TRUE(AwaitRuns(4));
  ASSERT_TRUE(zev::PollUntil([&] { return Events().size() >= 2; }));
  EXPECT_EQ(Runs(), (std::vector<std::string>{"a 2.0", "a 2.0", "b 1.0", "b 1.0"}));
}

// The "start" sent to a restarted host that does not take messages yet is
// sent again once, 15 s later, and then runs the component.
TEST_F(MonitorTest, AStartThatARestartedHostMissedIsSentAgainIn15Seconds) {
  zev::ScopedTempDir host_dir;
  MakeHostDir(host_dir, /*with_host=*/true);
  StartMonitor(host_dir.path());
  ASSERT_EQ(Start(Install("grp", "a")), kStartSent);
  ASSERT_TRUE(AwaitRuns(1));

  // The next host waits for a gate before it becomes the real host.
  const std::string gate = host_dir.Sub("gate");
  const std::string script = "#!/bin/sh\nwhile [ ! -e '" + gate + "' ]; do sleep 0.02; done\nexec '" +
                             zev::GetModuleDir() + kHostExecutable + "' \"$@\"\n";
  ASSERT_TRUE(zev::WriteFileAtomically(host_dir.Sub(kHostExecutable), script));
  ASSERT_EQ(chmod(host_dir.Sub(kHostExecutable).c_str(), 0755), 0);
  const MonitorHostInfo first = Row("grp");
  Kill(first.pid);
  ASSERT_NE(AwaitNewHost("grp", first.pid).pid, 0);
  // The wait for the new host's node runs on the clock: move it on until the
  // start is given up.
  ASSERT_TRUE(zev::PollUntil([&] {
    if (CountOf(LogText(), "TransParentMsg FALIED.") > 0) return true;
    clock_.AdvanceSeconds(1);
    return false;
  }));
  ASSERT_TRUE(AwaitLog("Send the msg again after 15s"));
  EXPECT_EQ(Runs().size(), 1u);

  ASSERT_TRUE(zev::WriteFileAtomically(gate, ""));
  // Once the host takes messages (a probe of another node reaches it), the
  // resend falls due.
  CRpcTermSettings peer(data_.path());
  ASSERT_TRUE(peer.Join("monitor-test-peer", nullptr));
  const std::string node = Row("grp").node_name;
  ASSERT_TRUE(zev::PollUntil([&] { return peer.Send(node, "probe", "", 1); }));
  RunResends();
  ASSERT_TRUE(AwaitRuns(2));
  EXPECT_EQ(Runs(), (std::vector<std::string>{"a 1.0", "a 1.0"}));
  EXPECT_EQ(CountOf(LogText(), "Send the msg again after 15s"), 1u);
  EXPECT_EQ(CountOf(LogText(), "Failed to send msg by timer."), 0u);
}

// A restarted host's wait for its node does not hold up the others: while
// one group's start waits (the clock stands still), another group's host
// that ends is reaped and started again.
TEST_F(MonitorTest, AHostThatEndsIsRestartedWhileAnotherGroupsStartWaits) {
  zev::ScopedTempDir host_dir;
  MakeHostDir(host_dir, /*with_host=*/true);
  StartMonitor(host_dir.path());
  ASSERT_EQ(Start(Install("g1", "a")), kStartSent);
  ASSERT_EQ(Start(Install("g2", "b")), kStartSent);
  // Hosts started from now on never join the bus.
  ASSERT_TRUE(zev::WriteFileAtomically(host_dir.Sub(kHostExecutable), "#!/bin/sh\nexec sleep 1000\n"));
  ASSERT_EQ(chmod(host_dir.Sub(kHostExecutable).c_str(), 0755), 0);
  const MonitorHostInfo g1 = Row("g1");
  Kill(g1.pid);
  ASSERT_NE(AwaitNewHost("g1", g1.pid).pid, 0);
  const MonitorHostInfo g2 = Row("g2");
  Kill(g2.pid);
  EXPECT_NE(AwaitNewHost("g2", g2.pid).pid, g2.pid);
  EXPECT_EQ(CountOf(LogText(), "TransParentMsg FALIED."), 0u) << "the start in g1 still waits";
}

// The status file names what runs after every change: a stale one is
// replaced at start, a joining and a stopped component show, and the file
// goes with the monitor.
TEST_F(MonitorTest, TheStatusFileFollowsEveryChangeAndGoesWithTheMonitor) {
  const std::string path = zev::JoinPath(RunDir(), kHostStatusFileName);
  MonitorHostInfo stale;
  stale.group_name = "gone";
  stale.node_name = "node-gone";
  stale.pid = 4242;
  ASSERT_TRUE(WriteHostStatus(path, {stale}));
  StartMonitor();
  ASSERT_EQ(monitor_->status_path(), path);
  ASSERT_TRUE(zev::FileExists(path));
  EXPECT_TRUE(StatusFile().empty());

  CZEVComponentContext a = Install("grp", "a");
  CZEVComponentContext b = Install("grp", "b");
  ASSERT_EQ(Start(a), kStartSent);
  ASSERT_EQ(Start(b), kStartSent);
  auto components = [&] {
    std::vector<MonitorHostInfo> rows = StatusFile();
    return rows.size() == 1 ? rows[0].components : std::vector<std::string>{"?"};
  };
  EXPECT_EQ(components(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Stop(b), 1);
  EXPECT_EQ(components(), (std::vector<std::string>{"a"}));

  EXPECT_EQ(monitor_->StopAll(), 1);
  ASSERT_TRUE(zev::PollUntil([&] { return zev::FindInstanceProcesses(kHostExecutable).empty(); }));
  // After StopAll no host starts, for a new group neither.
  EXPECT_EQ(Start(Install("late", "c")), kStartResendScheduled);
  EXPECT_EQ(Row("late").pid, 0);
  EXPECT_TRUE(zev::FindInstanceProcesses(kHostExecutable).empty());
  monitor_->Stop();
  monitor_->Uninit();
  EXPECT_FALSE(zev::FileExists(path));
  monitor_.reset();
}

TEST_F(MonitorTest, AStopThatCannotBeSentStillTakesTheComponentOutOfItsGroup) {
  zev::ScopedTempDir host_dir;
  MakeHostDir(host_dir, /*with_host=*/false);
  StartMonitor(host_dir.path());
  CZEVComponentContext a = Install("grp", "a");
  ASSERT_EQ(Start(a), kStartResendScheduled);
  ASSERT_EQ(Start(Install("grp", "b")), kStartResendScheduled);
  EXPECT_EQ(Stop(a), 0) << "no host to send to";

  CopyHost(host_dir);
  RunSweep(MonitorEvent::Kind::kHostStarted);
  ASSERT_TRUE(AwaitRuns(1));
  ASSERT_TRUE(told_.AwaitCount(MonitorEvent::Kind::kHostRestarted, 1));  // every start sent
  EXPECT_EQ(Runs(), (std::vector<std::string>{"b 1.0"}));
}

TEST_F(MonitorTest, AResendDueAfterStopAllIsNotSent) {
  zev::ScopedTempDir host_dir;
  MakeHostDir(host_dir, /*with_host=*/false);
  StartMonitor(host_dir.path());
  ASSERT_EQ(Start(Install("grp", "a")), kStartResendScheduled);
  EXPECT_EQ(monitor_->StopAll(), 1);
  ASSERT_TRUE(AwaitLog("Need to terminate ZEVHost.exe."));
  RunResends();
  monitor_->Stop();
  monitor_->Uninit();  // waits for the timer, and with it for the resend
  EXPECT_EQ(CountOf(LogText(), "Failed to send msg by timer."), 0u);
  EXPECT_EQ(CountOf(LogText(), "Send the msg again after 15s"), 1u);
}

TEST_F(MonitorTest, StopAllWithoutGroupsCountsNoneAndAnswers1) {
  StartMonitor();
  EXPECT_EQ(monitor_->StopAll(), 1);
  ASSERT_TRUE(AwaitLog("compo count:  0"));
  EXPECT_EQ(CountOf(LogText(), "Need to terminate"), 0u);
}

TEST_F(MonitorTest, StopAllEndsTheHostsWhichExitNormallyAndAreNotRestarted) {
  StartMonitor();
  ASSERT_EQ(Start(Install("g1", "a")), kStartSent);
  ASSERT_EQ(Start(Install("g2", "b")), kStartSent);
  ASSERT_TRUE(AwaitRuns(2));
  EXPECT_EQ(monitor_->StopAll(), 1);
  EXPECT_TRUE(AwaitLog("compo count:  2"));
  ASSERT_TRUE(zev::PollUntil([&] { return zev::FindInstanceProcesses(kHostExecutable).empty(); }));
  EXPECT_EQ(CountOf(LogText(), "Need to terminate"), 0u) << "both hosts took \"stopall\"";
  monitor_->Stop();
  EXPECT_EQ(told_.Count(MonitorEvent::Kind::kHostStarted), 2u) << "no host was started again";
}

// A restart caught at several points by StopAll: whatever the order, every
// host of this instance ends, none comes back, and a zevhost of another
// instance on the same machine is left alone.
TEST_F(MonitorTest, StopAllDuringARestartEndsEveryHostOfThisInstanceOnly) {
  zev::ScopedTempDir other_instance;
  const std::string foreign_node = std::string(kHostNodeNamePrefix) + "foreign--nodeindex1";
  std::unique_ptr<zev::ProcessHandle> foreign = zev::StartProcessArgv(
      {"/usr/bin/env", "ZEV_COMMON_APPDATA=" + other_instance.path(), zev::GetModuleDir() + kHostExecutable,
       HostArgumentFor(foreign_node)});
  ASSERT_TRUE(foreign);

  for (int wait_for_spawn = 0; wait_for_spawn < 2; ++wait_for_spawn) {
    SCOPED_TRACE(wait_for_spawn ? "after the new host was spawned" : "right after the kill");
    StartMonitor();
    ASSERT_EQ(Start(Install("grp", "a")), kStartSent);
    ASSERT_EQ(Start(Install("grp", "b")), kStartSent);
    const MonitorHostInfo first = Row("grp");
    Kill(first.pid);
    if (wait_for_spawn) AwaitNewHost("grp", first.pid);
    EXPECT_EQ(monitor_->StopAll(), 1);
    monitor_->Stop();  // the monitor thread is gone: nothing can restart now
    EXPECT_TRUE(zev::PollUntil([&] { return zev::FindInstanceProcesses(kHostExecutable).empty(); }));
    clock_.AdvanceSeconds(3600);
    EXPECT_TRUE(zev::FindInstanceProcesses(kHostExecutable).empty());
    monitor_->Uninit();
    monitor_.reset();
  }
  EXPECT_EQ(foreign->ExitCode(), zev::kStillActive) << "foreign pid " << foreign->pid() << "\n" << LogText();
  foreign->Terminate();
  foreign->Wait(10000);
}

TEST(HostStatus, ReadsBackWhatItWroteAndRefusesMalformedFiles) {
  zev::ScopedTempDir dir;
  const std::string path = dir.Sub(kHostStatusFileName);
  MonitorHostInfo a;
  a.group_name = "g\t1";
  a.node_name = "node-a";
  a.pid = 4242;
  a.restart_count = 3;
  a.components = {"{c1}", "c,2"};
  a.refused = {"c,2"};
  MonitorHostInfo b;
  b.group_name = "g2";
  b.node_name = "node-b";
  b.restart_count = 10;
  b.restart_refused = true;
  ASSERT_TRUE(WriteHostStatus(path, {a, b}));
  std::vector<MonitorHostInfo> rows;
  ASSERT_TRUE(ReadHostStatus(path, &rows));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].group_name, "g 1");
  EXPECT_EQ(rows[0].pid, 4242);
  EXPECT_EQ(rows[0].restart_count, 3u);
  EXPECT_FALSE(rows[0].restart_refused);
  EXPECT_EQ(rows[0].components, (std::vector<std::string>{"{c1}", "c 2"}));
  EXPECT_EQ(rows[0].refused, (std::vector<std::string>{"c 2"}));
  EXPECT_TRUE(rows[1].refused.empty());
  // A reader that knows no marks splits the same six fields.
  std::string text;
  ASSERT_TRUE(zev::ReadFileToString(path, &text));
  EXPECT_NE(text.find("\t0\t{c1},c 2!refused\n"), std::string::npos) << text;
  EXPECT_EQ(rows[1].node_name, "node-b");
  EXPECT_TRUE(rows[1].components.empty());
  EXPECT_EQ(rows[1].pid, 0);
  EXPECT_TRUE(rows[1].restart_refused);

  ASSERT_TRUE(WriteHostStatus(path, {}));
  EXPECT_TRUE(ReadHostStatus(path, &rows));
  EXPECT_TRUE(rows.empty());

  const std::string header = std::string(kHostStatusHeader) + "\n";
  for (const std::string& bad : {std::string(), std::string("x\n"), header + "g\tn\t1\t2\t0\n",
                                 header + "g\tn\t1\t2\t2\t\n", header + "g\tn\t-1\t2\t0\t\n",
                                 header + "g\tn\t1\t2\t0\tc"}) {
    zev::WriteFileAtomically(path, bad);
    EXPECT_FALSE(ReadHostStatus(path, &rows)) << bad;
    EXPECT_TRUE(rows.empty());
  }
  EXPECT_FALSE(ReadHostStatus(dir.Sub("absent"), &rows));
  // Marks this reader does not know are skipped.
  zev::WriteFileAtomically(path, header + "g\tn\t1\t2\t0\tx!later,y!later!refused\n");
  ASSERT_TRUE(ReadHostStatus(path, &rows));
  EXPECT_EQ(rows[0].components, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(rows[0].refused, std::vector<std::string>{"y"});
}

}  // namespace
}  // namespace pubsdk
