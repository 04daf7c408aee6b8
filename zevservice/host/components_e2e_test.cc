// The service as a whole with a catalogue handed in: its component runs in a
// real zevhost on the real bus, clients ask and tell the control server over
// HTTP and the socket with zevctl, a killed host comes back with its
// component, and stopping the service ends every host.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "bus/envelope.h"
#include "bus/term_settings.h"
#include "host/service_context.h"
#include "hosting/monitor.h"
#include "platform/instance_processes.h"
#include "platform/paths.h"
#include "platform/ports.h"
#include "testing/free_ports.h"
#include "testing/log_util.h"
#include "testing/monitor_events.h"
#include "testing/rpc_test_util.h"
#include "testing/scoped_user.h"
#include "testing/test_util.h"

namespace zev {

namespace {

bool PollFor(const std::function<bool()>& done, int timeout_ms = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string Zevctl(const std::string& args, int* status) {
  return RunAndRead(std::string(ZEVCTL_PATH) + " " + args, status);
}

// The pids the component wrote, one line each run.
std::vector<pid_t> Runs(const std::string& path) {
  std::vector<pid_t> pids;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) pids.push_back(std::stoi(line));
  }
  return pids;
}

bool Alive(pid_t pid) {
  std::string stat;
  if (!ReadFileToString("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// Adds component `id` of application "app" in process group `group`: a
// script that runs `first_run` when `runs` is still empty, records its pid
// in `runs` and then stays up.
void AddComponent(CZEVApplications* catalogue, const std::string& common, const std::string& id,
                  const std::string& group, const std::string& runs, const std::string& first_run = "") {
  CZEVApplication* app = catalogue->application_size() > 0 ? catalogue->mutable_application(0)
                                                             : catalogue->add_application();
  app->set_code("app");
  CZEVComponent* component = app->mutable_components()->add_component();
  component->set_componentid(id);
  CZEVVersion* version = component->mutable_versions()->add_version();
  version->set_version("1.0");
  version->set_archtype(atx64);
  CZEVManifest* manifest = version->mutable_manifest();
  manifest->set_loadmode(lmOutterComponent);
  manifest->set_runmode(btApplicaiton);
  manifest->set_entrypoint("bin\\run.sh");
  manifest->mutable_params()->set_pgroup(group);
  manifest->mutable_params()->set_expiredtime(4102416000000LL);
  const std::string dir = common + "/Varnel/ZEV/download/app/" + id + "/1.0/x64/bin";
  ASSERT_TRUE(CreateDirectories(dir));
  std::ofstream(dir + "/run.sh") << "#!/bin/sh\n"
                                  << (first_run.empty() ? "" : "[ -s " + runs + " ] || " + first_run + "\n")
                                  << "echo $$ >> " << runs << "\nexec sleep 1000\n";
  chmod((dir + "/run.sh").c_str(), 0755);
}

// A context that runs the components of *catalogue in real hosts (from
// this program's folder), with five free ports from `port_base` up
// (first_port 0 when there are none).
CZEVServiceContext::Options HostingOptions(const std::string& common, const CZEVApplications* catalogue,
                                          int port_base) {
  CZEVServiceContext::Options options;
  options.common_dir = common;
  options.host_components = true;
  options.monitor.host_dir = GetModuleDir();
  options.catalogue = [catalogue](CZEVApplications* out) {
    *out = *catalogue;
    return true;
  };
  options.manager.first_port = FreePortRange(5, port_base);
  options.manager.last_port = options.manager.first_port + 4;
  return options;
}

// The process log outlives the tests' folders: the monitor would open it
// below one of them otherwise, and later tests of this program read it.
void KeepTheLogApart() {
  static ScopedTempDir* log_dir = new ScopedTempDir();
  LogInit(log_dir->path(), "zevservice");
}

TEST(ComponentsEndToEnd, RunsRestartsAndEndsComponentsInHosts) {
  KeepTheLogApart();
  ScopedCommonDataDir common;
  const std::string runs = common.path() + "/runs.txt";

  CZEVApplications catalogue;
  // Its first run registers its pipe name over the socket through a helper.
  AddComponent(&catalogue, common.path(), "{comp}", "grp", runs,
               std::string(ZEVCTL_PATH) + " register pipe '{comp}' comp-run.sock --pipe");
  // The host refuses this one: others may change its entry point.
  AddComponent(&catalogue, common.path(), "{bad}", "grp", runs);
  chmod((common.path() + "/Varnel/ZEV/download/app/{bad}/1.0/x64/bin/run.sh").c_str(), 0777);

  CZEVServiceContext::Options options = HostingOptions(common.path(), &catalogue, 47700);
  ASSERT_NE(options.manager.first_port, 0);
  std::mutex events_mu;
  std::vector<EventElement> events;
  options.monitor.event_sink = [&](const EventElement& e) {
    std::lock_guard<std::mutex> lock(events_mu);
    events.push_back(e);
  };
  auto event_count = [&] {
    std::lock_guard<std::mutex> lock(events_mu);
    return events.size();
  };
  MonitorEventLog told;
  options.monitor.observer = &told;
  CZEVServiceContext context(options);
  std::atomic<int> refused_shown{-1};  // what the service's STATUS text would count
  CZEVManager::Hooks hooks;
  hooks.loaded_changed = [&] { refused_shown = context.manager().RefusedComponents(); };
  context.manager().set_hooks(hooks);
  ASSERT_TRUE(context.manager().Start());

  ASSERT_TRUE(PollFor([&] { return Runs(runs).size() == 1; })) << "the component never ran";
  const pid_t first = Runs(runs)[0];
  EXPECT_TRUE(Alive(first));
  EXPECT_EQ(context.manager().loaded()->size(), 2u);
  ASSERT_TRUE(PollFor([&] { return event_count() == 1; })) << "the refusal never reached the service";
  EXPECT_EQ(events[0].componentLibraryId, "{bad}");
  EXPECT_EQ(events[0].eventState, 14);
  EXPECT_TRUE(PollFor([&] { return refused_shown == 1; }));
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "[3] The component app/{bad} 1.0 does not run: its host zevhost-"));
  ASSERT_TRUE(told.AwaitCount(MonitorEventLog::Kind::kComponentRefused, 1));
  EXPECT_EQ(told.Of(MonitorEventLog::Kind::kComponentRefused)[0].component, "{bad}");
  // Neither a refusal from a node that is not the group's host nor a message
  // of an unknown type changes anything (both are sent before the restart
  // below, whose refusal is counted).
  pubsdk::CRpcTermSettings peer(context.common_dir());
  ASSERT_TRUE(peer.Join("components-e2e-peer", nullptr));
  const std::string monitor_node = static_cast<pubsdk::CZEVMonitor*>(context.manager().monitor())->node_name();
  EXPECT_TRUE(peer.Send(monitor_node, "hello", "x", 1));
  EXPECT_TRUE(peer.Send(monitor_node, pubsdk::kStartRefusedMsgType,
                        pubsdk::BuildStartRefusal({"app", "{comp}", "1.0", "forged"}), 2));

  // Clients register and ask, over HTTP and over the socket.
  int status = -1;
  EXPECT_EQ(Zevctl("register port {comp} 5555 --app app --version 1.0", &status), "ok\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Zevctl("register pipe {other} other.sock --pipe", &status), "ok\n");
  EXPECT_EQ(Zevctl("component port {comp} --pipe", &status), "5555\n");
  EXPECT_EQ(Zevctl("component pipe {comp}", &status), "comp-run.sock\n");
  EXPECT_EQ(status, 0);
  Zevctl("component port {nobody}", &status);
  EXPECT_EQ(status, 1);
  std::string hosts = Zevctl("hosts", &status);
  EXPECT_NE(hosts.find("group grp: node zevhost-"), std::string::npos) << hosts;
  EXPECT_NE(hosts.find(", components {bad} {comp}, 1 refused: {bad}\n"), std::string::npos) << hosts;

  // A host killed from outside comes back with its component.
  std::vector<pubsdk::MonitorHostInfo> table = context.manager().monitor()->GetProcessTable();
  ASSERT_EQ(table.size(), 1u);
  const pid_t host = table[0].pid;
  ASSERT_GT(host, 0);
  ASSERT_EQ(kill(host, SIGKILL), 0);
  ASSERT_TRUE(PollFor([&] { return Runs(runs).size() == 2; })) << "the component was not started again";
  EXPECT_TRUE(PollFor([&] { return !Alive(first); }));  // it died with its host
  // What the component registered went with it; what others did stays.
  EXPECT_TRUE(PollFor([&] { return Zevctl("component pipe {comp}", &status) == "\n"; }));
  EXPECT_EQ(Zevctl("component port {comp} --pipe", &status), "5555\n");
  EXPECT_EQ(Zevctl("component pipe {other}", &status), "other.sock\n");
  const pid_t second = Runs(runs)[1];
  // Two restart events and the new host's refusal.
  ASSERT_TRUE(PollFor([&] { return event_count() == 4; })) << event_count();
  EXPECT_TRUE(told.AwaitCount(MonitorEventLog::Kind::kComponentRefused, 2));
  EXPECT_EQ(told.Count(MonitorEventLog::Kind::kComponentRefused), 2u);
  table = context.manager().monitor()->GetProcessTable();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_NE(table[0].pid, host);
  EXPECT_EQ(table[0].refused, std::vector<std::string>{"{bad}"});

  // Stopping the service ends every host of this instance and its components.
  context.manager().Quit();
  EXPECT_TRUE(PollFor([&] { return FindInstanceProcesses("zevhost").empty(); }));
  EXPECT_TRUE(PollFor([&] { return !Alive(second); }));
}

// An application's RunAs setting runs its components as that user, before
// the user its package names (here one that does not exist, which would
// refuse the start).
TEST(ComponentsEndToEnd, RunsAnApplicationsComponentsAsTheUserItsSettingNames) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  KeepTheLogApart();
  ScopedCommonDataDir common;
  ASSERT_EQ(chmod(common.path().c_str(), 0755), 0);
  const std::string runs = common.path() + "/Varnel/ZEV/data/app/{own}/runs";
  CZEVApplications catalogue;
  AddComponent(&catalogue, common.path(), "{own}", "grp", runs);
  catalogue.mutable_application(0)->mutable_components()->mutable_component(0)->mutable_versions()->mutable_version(0)
      ->mutable_manifest()->set_runas("zev-no-such-user");
  CZEVServiceContext context(HostingOptions(common.path(), &catalogue, 47720));
  ASSERT_TRUE(context.registry().WriteString(RegRoot::kLocalMachine, "Software\\Varnel\\ZEV\\Applications\\app\\RunAs",
                                             "", user.name()));
  ASSERT_TRUE(context.manager().Start());
  ASSERT_TRUE(PollFor([&] { return Runs(runs).size() == 1; })) << "the component never ran";
  struct stat st;
  EXPECT_TRUE(stat(runs.c_str(), &st) == 0 && st.st_uid == user.uid()) << "not written by the user";
  context.manager().Quit();
}

// Stopping the service sends "stopall": every one of ten hosts ends by
// itself with 255 before Quit returns, and none is started again.
TEST(ComponentsEndToEnd, TenHostsEndCleanlyOnStopAndNoneRestarts) {
  KeepTheLogApart();
  ScopedCommonDataDir common;
  const std::string runs = common.path() + "/runs.txt";
  CZEVApplications catalogue;
  for (int i = 0; i < 10; ++i) {
    AddComponent(&catalogue, common.path(), "{c" + std::to_string(i) + "}", "g" + std::to_string(i), runs);
  }
  CZEVServiceContext::Options options = HostingOptions(common.path(), &catalogue, 47750);
  ASSERT_NE(options.manager.first_port, 0);
  // Ten sanitizer-built hosts ending at once on a busy machine may take
  // longer than the 3 s the service gives them; Quit returns as soon as they
  // have ended, so a longer wait costs nothing when they are quick.
  options.manager.host_stop_wait_ms = 30000;
  MonitorEventLog told;
  options.monitor.observer = &told;
  CZEVServiceContext context(options);
  ASSERT_TRUE(context.manager().Start());
  ASSERT_TRUE(PollFor([&] { return Runs(runs).size() == 10; })) << "not every component ran";
  std::vector<pid_t> hosts;
  for (const pubsdk::MonitorHostInfo& host : context.manager().monitor()->GetProcessTable()) hosts.push_back(host.pid);
  ASSERT_EQ(hosts.size(), 10u);
  EXPECT_EQ(context.manager().RunningHosts(), 10);

  context.manager().Quit();
  // Quit joins the monitor's threads: nothing of theirs runs on while the
  // process tears down its log. A joined thread stays listed for a moment,
  // until the kernel releases it.
  auto monitor_threads = [] {
    int n = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
      std::string name;
      if (!ReadFileToString(task.path().string() + "/comm", &name)) continue;
      n += name == "zev-monitor\n" || name == "zev-host-sweep\n";
    }
    return n;
  };
  EXPECT_TRUE(PollFor([&] { return monitor_threads() == 0; }, 5000)) << monitor_threads();
  for (pid_t pid : hosts) EXPECT_FALSE(Alive(pid)) << "host " << pid << " outlived Quit";
  EXPECT_TRUE(PollFor([&] { return FindInstanceProcesses("zevhost").empty(); }));
  for (pid_t pid : Runs(runs)) EXPECT_TRUE(PollFor([&] { return !Alive(pid); })) << "component " << pid;
  EXPECT_EQ(Runs(runs).size(), 10u);  // no component started again
  std::vector<pubsdk::MonitorEvent> ended = told.Of(MonitorEventLog::Kind::kHostEnded);
  for (pid_t pid : hosts) {
    auto end = std::find_if(ended.begin(), ended.end(), [&](const pubsdk::MonitorEvent& e) { return e.pid == pid; });
    ASSERT_NE(end, ended.end()) << "host " << pid << " was not seen to end";
    EXPECT_EQ(end->exit_code, pubsdk::kHostExitNormally) << "host " << pid;
  }
  EXPECT_EQ(told.Count(MonitorEventLog::Kind::kHostStarted), 10u) << "no host was started again";
}

}  // namespace

}  // namespace zev
