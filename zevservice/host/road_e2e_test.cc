// The service's main job with real processes only, as scripts/run.sh runs
// it: the reference strategy server serves the demo catalogue, the registry
// points the service at it, and a real zevsvc in application mode
// downloads, verifies, unpacks, records and runs the demo component in a
// real zevhost. A host killed from outside comes back, SIGTERM ends every
// host of the instance, and a start without the server runs the recorded
// version again, its host held to the demo application's MemoryMax, over
// which the demo is killed alone. --test-timings gives the service its short delays, which
// let First and Interval go down to a second: the first pass comes after 1 s.
#include <gtest/gtest.h>
#include <json/json.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/instance_processes.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "strategy/local_database.h"
#include "testing/port_server.h"
#include "testing/rpc_test_util.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

const char kSettingsKey[] = "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\";

// zevctl with `args`; its standard output and error, and its exit status.
std::string Zevctl(const std::string& args, int* status) {
  return RunAndRead(std::string(ZEVCTL_PATH) + " " + args, status);
}

std::string Zevctl(const std::string& args) {
  int status = -1;
  std::string out = Zevctl(args, &status);
  return status == 0 ? out : "exit " + std::to_string(status) + ": " + out;
}

std::string Read(const std::string& path) {
  std::string text;
  ReadFileToString(path, &text);
  return text;
}

// Running and not a zombie.
bool Alive(pid_t pid) {
  const std::string stat = Read("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

pid_t ParentOf(pid_t pid) {
  const std::string stat = Read("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos ? 0 : static_cast<pid_t>(atoi(stat.c_str() + paren + 4));
}

// The pid of `group`'s host in the lines of `zevctl hosts` (0: none yet).
pid_t HostPid(const std::string& group) {
  const std::string hosts = Zevctl("hosts");
  std::smatch m;
  if (!std::regex_search(hosts, m, std::regex("group " + group + ": node zevhost-\\S+, pid ([0-9]+)"))) return 0;
  return static_cast<pid_t>(std::stoi(m[1]));
}

// The demo component's pids, in the order their "alive" lines appear.
std::vector<pid_t> DemoPids(const std::string& output) {
  std::vector<pid_t> pids;
  static const std::regex alive("demo-clock 1\\.0\\.0 \\(pid ([0-9]+)\\): alive at");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), alive); it != std::sregex_iterator(); ++it) {
    const pid_t pid = static_cast<pid_t>(std::stoi((*it)[1]));
    if (std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
  }
  return pids;
}

// The eventState of every event about `component` that reached the
// strategy server (one report per line of its events file).
std::multiset<int> EventStates(const std::string& events, const std::string& component) {
  std::multiset<int> states;
  std::istringstream lines(Read(events));
  for (std::string line; std::getline(lines, line);) {
    Json::Value report;
    if (!Json::Reader().parse(line, report)) continue;
    for (const Json::Value& event : report["eventList"]) {
      if (event["componentLibraryId"].asString() == component) states.insert(event["eventState"].asInt());
    }
  }
  return states;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class RoadEndToEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    // Whatever failed, nothing of this instance outlives the test.
    if (service_ && service_->ExitCode() == kStillActive) {
      service_->Terminate();
      service_->Wait(10000);
    }
    TerminateInstanceProcesses("zevhost");
    for (pid_t pid : components_) kill(-pid, SIGKILL);  // each runs in a process group of its own
  }

  // Starts zevsvc in application mode with its output in `output_`.
  void StartService(const std::string& output_name) {
    output_ = common_.path() + "/" + output_name;
    const int out = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    StartOptions options;
    options.stdout_fd = out;
    options.stderr_fd = out;
    std::string error;
    service_ = StartProcessArgv({ZEVSVC_PATH, "-application", "--test-timings"}, options, &error);
    close(out);
    ASSERT_NE(service_, nullptr) << error;
  }

  // The demo's next pid beyond the `known` ones, once its "alive" line is out.
  pid_t WaitForDemo(size_t known) {
    std::vector<pid_t> pids;
    PollUntil([&] { return (pids = DemoPids(Read(output_))).size() > known; }, 20000);
    if (pids.size() <= known) return 0;
    components_.insert(components_.end(), pids.begin() + static_cast<long>(known), pids.end());
    return pids[known];
  }

  // SIGTERM, and the exit code once the service ended (-1: it did not).
  int StopService() {
    kill(service_->pid(), SIGTERM);
    if (!service_->Wait(20000)) return -1;
    return service_->ExitCode();
  }

  std::string ServiceLog() { return Read(common_.path() + "/Varnel/ZEV/2.0/zevservice.1.txt"); }

  ScopedCommonDataDir common_;  // first: everything below runs in it
  std::string output_;
  std::unique_ptr<ProcessHandle> service_;
  std::vector<pid_t> components_;
};

TEST_F(RoadEndToEnd, InstallsRunsRestartsStopsAndRunsOfflineWhatTheServerListed) {
  const std::string events = common_.path() + "/events.jsonl";
  auto server = std::make_unique<PortServer>(std::vector<std::string>{
      ZEV_STRATEGY_SERVER_PATH, "--listen", "127.0.0.1:0", "--catalogue", ZEV_DEMO_CATALOGUE, "--events", events});
  ASSERT_NE(server->port(), 0);
  const std::string settings = std::string("HKLM \"") + kSettingsKey;
  EXPECT_EQ(Zevctl("reg set " + settings + "Url\" \"\" " + server->Base()), "");
  EXPECT_EQ(Zevctl("reg set " + settings + "First\" \"\" 1"), "");
  EXPECT_EQ(Zevctl("reg set " + settings + "Interval\" \"\" 6"), "");

  // The first pass downloads, verifies, unpacks, records and runs it.
  ASSERT_NO_FATAL_FAILURE(StartService("first.out"));
  const pid_t demo = WaitForDemo(0);
  ASSERT_NE(demo, 0) << "the demo never ran:\n" << Read(output_) << ServiceLog();

  const std::string dir = common_.path() + "/Varnel/ZEV/download/demo/demo-clock/1.0.0/x64";
  EXPECT_EQ(Read(dir + "/demo.sh"), Read(ZEV_DEMO_SCRIPT));
  struct stat st {};
  ASSERT_EQ(stat((dir + "/demo.sh").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0100, 0u) << "the entry point lost its execute bit";
  EXPECT_TRUE(WaitForFileContaining(dir + "/demo.log", "(pid " + std::to_string(demo) + "): alive"))
      << "the component does not run in its install folder";

  EXPECT_TRUE(PollUntil([] { return Zevctl("strategy").find("listed 1, installed 1, failed 0") != std::string::npos; }))
      << Zevctl("strategy");
  EXPECT_NE(Zevctl("strategy").find("catalogue from the server"), std::string::npos) << Zevctl("strategy");
  // The server hears of it: the package verified (5), no failed download
  // (4) or verification (6). The reporter sends in batches.
  EXPECT_TRUE(PollUntil([&] { return EventStates(events, "demo-clock").count(5) == 1; }))
      << Read(events);
  EXPECT_EQ(EventStates(events, "demo-clock").count(4), 0u);
  EXPECT_EQ(EventStates(events, "demo-clock").count(6), 0u);
  // The service keeps what it reported, for any user to read.
  EXPECT_NE(Zevctl("events --component demo-clock").find("  code 5  demo/demo-clock 1.0.0"), std::string::npos)
      << Zevctl("events");

  // The local database in the instance's registry records the version.
  RegistryStore registry(common_.path());
  LocalComponentDatabase database(MakeDatabaseKey(), &registry);
  ASSERT_TRUE(PollUntil([&] { return database.LoadLocalDatabase(); })) << "nothing recorded";
  const CZEVApplications recorded = database.GetLocalApplications();
  ASSERT_EQ(recorded.application_size(), 1);
  EXPECT_EQ(recorded.application(0).code(), "demo");
  ASSERT_EQ(recorded.application(0).components().component_size(), 1);
  const CZEVComponent& component = recorded.application(0).components().component(0);
  EXPECT_EQ(component.componentid(), "demo-clock");
  ASSERT_EQ(component.versions().version_size(), 1);
  EXPECT_EQ(component.versions().version(0).version(), "1.0.0");

  // It runs as a child of the group's host.
  pid_t host = 0;
  ASSERT_TRUE(PollUntil([&] { return (host = HostPid("demo")) > 0; })) << Zevctl("hosts");
  EXPECT_EQ(ParentOf(demo), host);
  EXPECT_EQ(ParentOf(host), service_->pid());

  // A host killed from outside comes back with a new pid and its component.
  ASSERT_EQ(kill(host, SIGKILL), 0);
  pid_t second_host = 0;
  ASSERT_TRUE(PollUntil([&] {
    second_host = HostPid("demo");
    return second_host > 0 && second_host != host;
  })) << Zevctl("hosts");
  const pid_t second_demo = WaitForDemo(1);
  ASSERT_NE(second_demo, 0) << "the component did not come back:\n" << Read(output_);
  EXPECT_EQ(ParentOf(second_demo), second_host);
  EXPECT_TRUE(PollUntil([&] { return !Alive(host) && !Alive(demo); }));
  EXPECT_NE(ServiceLog().find("host of group demo (pid " + std::to_string(host) + ") ended with 137"),
            std::string::npos);
  // The restart is in the history and the metrics, which a real Prometheus
  // parser reads.
  EXPECT_TRUE(PollUntil([] { return Zevctl("events --since 1h").find("  code 14  demo/demo-clock") != std::string::npos; }))
      << Zevctl("events");
  EXPECT_EQ(Zevctl("metrics | " METRICS_CHECK_PATH " 'zev_strategy_passes_total{result=\"server\"}>=1'"
                   " 'zev_downloads_total{result=\"ok\"}>=1' 'zev_extractions_total{result=\"ok\"}>=1'"
                   " 'zev_downloaded_bytes_total>=1' 'zev_host_restarts_total{component=\"demo-clock\"}>=1'"
                   " 'zev_components_running>=1'"),
            "");

  // SIGTERM: the service ends its hosts before it exits 0, and starts none.
  EXPECT_EQ(StopService(), 0) << Read(output_);
  // A host still ending when the service left (see below) ends soon after.
  EXPECT_TRUE(PollUntil([&] { return !Alive(second_host) && !Alive(second_demo); }));
  EXPECT_TRUE(PollUntil([] { return FindInstanceProcesses("zevhost").empty(); }));
  const std::string log = ServiceLog();
  const size_t stop_all = log.find("ZEVMonitor StopAll...");
  ASSERT_NE(stop_all, std::string::npos) << log;
  const std::string after = log.substr(stop_all);
  EXPECT_NE(after.find("compo count:  1"), std::string::npos) << after;  // "stopall" went to the one host
  EXPECT_EQ(Count(after, "StartProc"), 0u) << after;
  EXPECT_EQ(Count(after, "ended with"), Count(after, "ended with 255")) << after;
  // The service waits up to 1 s (its short delay here) for the host to
  // end; a slow build may leave it still ending then, never ended otherwise.
  const std::string host_pid = "(pid " + std::to_string(second_host) + ")";
  EXPECT_TRUE(after.find(host_pid + " ended with 255") != std::string::npos ||
              after.find(host_pid + " still runs") != std::string::npos)
      << after;
  EXPECT_NE(after.find("ZEVService quit"), std::string::npos) << after;
  // The short delays of the test are never taken silently.
  EXPECT_NE(log.find("short delays of --test-timings; that is for tests only"), std::string::npos);
  // The host says in its own runtime log that it left on "stopall".
  const std::string host_log = Read(common_.path() + "/Varnel/NUVPF/zevhost_zev_runtime.log");
  EXPECT_TRUE(std::regex_search(
      host_log, std::regex("\\[P:" + std::to_string(second_host) + "\\]\\S*zevhost: stopall: stopping")))
      << host_log;

  // Without the server a new start runs the recorded version, unpacked once.
  // The demo application's MemoryMax (root may make control groups) puts its
  // host in a group of its own.
  const bool limited = geteuid() == 0;
  if (limited) {
    EXPECT_EQ(Zevctl("reg set HKLM \"Software\\Varnel\\ZEV\\Applications\\demo\\MemoryMax\" \"\" 64M"), "");
  }
  server.reset();
  ASSERT_NO_FATAL_FAILURE(StartService("offline.out"));
  const pid_t offline_demo = WaitForDemo(0);
  ASSERT_NE(offline_demo, 0) << "nothing ran offline:\n" << Read(output_) << ServiceLog();
  pid_t offline_host = 0;
  EXPECT_TRUE(PollUntil([&] { return (offline_host = HostPid("demo")) > 0; })) << Zevctl("hosts");
  if (limited) {
    const std::string cgroups = Read("/proc/" + std::to_string(offline_host) + "/cgroup");
    EXPECT_NE(cgroups.find("/zevhost-demo-" + std::to_string(offline_host) + "\n"), std::string::npos)
        << cgroups << ServiceLog();
    // Over the limit the demo is killed alone; the host and the service go on.
    const std::string allocate = dir + "/allocate";
    ASSERT_EQ(close(open(allocate.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), 0);
    EXPECT_TRUE(PollUntil([&] { return !Alive(offline_demo); }, 20000)) << "the demo over 64M still runs";
    unlink(allocate.c_str());
    EXPECT_TRUE(Alive(offline_host));
    EXPECT_EQ(HostPid("demo"), offline_host);
    EXPECT_EQ(service_->ExitCode(), kStillActive);
  }
  EXPECT_TRUE(PollUntil([] { return Zevctl("strategy").find("catalogue from stored copy") != std::string::npos; }))
      << Zevctl("strategy");
  EXPECT_EQ(Count(ServiceLog(), "CZEVUpdater task demo#demo-clock#1.0.0#x64 begins"), 1u);
  EXPECT_EQ(StopService(), 0);
  EXPECT_TRUE(PollUntil([&] { return !Alive(offline_demo); }));
  EXPECT_TRUE(PollUntil([] { return FindInstanceProcesses("zevhost").empty(); }));
}

}  // namespace

}  // namespace zev
