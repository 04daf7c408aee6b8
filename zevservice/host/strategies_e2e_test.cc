// The catalogue road end to end: the reference strategy server lists a
// component, the service downloads it with the real zevdownloader, unpacks
// it, records it and runs it in a real zevhost; it follows the server to a
// new version, repairs a damaged file, starts from the stored catalogue when
// the server is gone, and runs a component that a product drops as a
// package. The strategies' waits run on a fake clock, the monitor's on one
// of its own; the rest is real.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "contract/host_status.h"
#include "download/archive_test_util.h"
#include "host/service_context.h"
#include "platform/instance_processes.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "server/server_channel.h"
#include "strategy/catalogue_test_util.h"
#include "strategy/product_strategy.h"
#include "strategy/server_strategy.h"
#include "strategy/strategy_manager.h"
#include "testing/fake_clock.h"
#include "testing/free_ports.h"
#include "testing/port_server.h"
#include "testing/rpc_test_util.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"
#include "tools/zevdownloader/loopback_http_server.h"

namespace zev {

namespace {

namespace fs = std::filesystem;
using downloader::FileServer;

// A component script that registers port 4711 for "comp" over the local
// socket, appends "<pid> <version>" to the runs file and stays up.
std::string Script(const std::string& runs, const std::string& version) {
  return "#!/bin/sh\n" ZEVCTL_PATH " register port comp 4711 --pipe >/dev/null\necho \"$$ " + version + "\" >> " +
         runs + "\nexec sleep 1000\n";
}

class StrategiesEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static ScopedTempDir* log_dir = new ScopedTempDir();
    LogInit(log_dir->path(), "zevservice");
  }

  void SetUp() override {
    runs_ = common_.path() + "/runs.txt";
    catalogue_path_ = common_.path() + "/catalogue.json";
    ASSERT_TRUE(WriteFileAtomically(catalogue_path_, "[]"));
    StartServer(0);
    packages_ = std::make_unique<FileServer>();
    ASSERT_TRUE(packages_->Start());
  }

  void TearDown() override { StopService(); }

  void StartServer(int port) {
    server_ = std::make_unique<PortServer>(std::vector<std::string>{
        ZEV_STRATEGY_SERVER_PATH, "--listen", "127.0.0.1:" + std::to_string(port), "--catalogue", catalogue_path_});
    ASSERT_NE(server_->port(), 0);
    ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kServerUrlKey, "", server_->Base()));
  }

  // A version of "comp" whose package holds run.sh, served by the package
  // server.
  // With `crashes`, a service whose every run records itself and exits 3.
  ListedVersion Version(const std::string& version, bool crashes = false) {
    ListedVersion l;
    l.version = version;
    l.resource = "run.sh.7z";
    l.entry_point = "run.sh";
    l.pgroup = "grp";
    l.load_mode = lmOutterComponent;
    l.run_mode = crashes ? btService : btApplicaiton;
    const std::string stage = common_.path() + "/stage-" + version;
    fs::create_directories(stage);
    const std::string script =
        crashes ? "#!/bin/sh\necho \"$$ " + version + "\" >> " + runs_ + "\nexit 3\n" : Script(runs_, version);
    EXPECT_TRUE(MakeTestPackage(stage, "run.sh", script, &l.package));
    const std::string path = "/comp-" + version + ".7z";
    l.url = packages_->Put(path, l.package.bytes);
    return l;
  }

  void List(const std::vector<ListedVersion>& listed) {
    ASSERT_TRUE(WriteFileAtomically(catalogue_path_, CatalogueJson(listed)));
  }

  void StartService() {
    CZEVServiceContext::Options options;
    options.common_dir = common_.path();
    options.host_components = true;
    options.monitor.host_dir = GetModuleDir();
    options.monitor.clock = &monitor_clock_;
    options.manager.first_port = FreePortRange(5, 47800);
    options.manager.last_port = options.manager.first_port + 4;
    ASSERT_NE(options.manager.first_port, 0);
    options.strategies = [this](const std::atomic<bool>*) {
      CZEVServerStrategy::Options server;
      server.clock = &clock_;
      // The store that the server channel reads the server's address from.
      server.registry = &RegistryStore::Default();
      server.download_dir = common_.path() + "/Varnel/ZEV/download";
      server.downloader_dir = GetModuleDir();
      server.jitter = false;
      server.events = [](const EventElement&) {};
      CZEVProductInnerStrategy::Options product;
      product.clock = &clock_;
      product.watch_clock = Clock::Real();
      product.components_dir = common_.path() + "/Varnel/components";
      product.cache_dir = common_.path() + "/components_cache";
      product.staging_dir = common_.path() + "/components_staging";
      return std::make_shared<CZEVStrategyManager>(std::make_unique<CZEVServerStrategy>(server),
                                                   std::make_unique<CZEVProductInnerStrategy>(product));
    };
    if (keep_events_) {
      options.events = std::make_shared<CZEVEventReporter>(&clock_, [this](const std::vector<EventElement>& list) {
        std::lock_guard<std::mutex> lock(events_mu_);
        events_.insert(events_.end(), list.begin(), list.end());
      });
    }
    context_ = std::make_unique<CZEVServiceContext>(options);
    ASSERT_TRUE(context_->manager().Start());
  }

  void StopService() {
    if (!context_) return;
    context_->manager().Quit();
    context_.reset();
    EXPECT_TRUE(PollUntil([] { return FindInstanceProcesses("zevhost").empty(); }));
  }

  // Moves the fake clock to the server strategy's next pass, `ms` ahead.
  void RunPass(int64_t ms) {
    ASSERT_TRUE(PollUntil([&] { return clock_.NextDeadline() - clock_.MonotonicMillis() == ms; }))
        << "no pass due in " << ms << " ms";
    clock_.Advance(ms);
  }

  // The versions the component runs reported, in order.
  std::vector<std::string> RunVersions() {
    std::vector<std::string> versions;
    std::ifstream in(runs_);
    for (std::string line; std::getline(in, line);) versions.push_back(line.substr(line.find(' ') + 1));
    return versions;
  }

  int Requests(const std::string& path) { return packages_->Requests(path); }

  // The pid of the one host (0 while it is down), -1 without one.
  pid_t HostPid() {
    std::vector<pubsdk::HostStatusEntry> hosts;
    pubsdk::ReadHostStatusFile(common_.path() + "/run/" + pubsdk::kHostStatusFileName, &hosts);
    return hosts.size() == 1 ? hosts[0].pid : -1;
  }

  std::string Installed(const std::string& version) {
    return common_.path() + "/Varnel/ZEV/download/app/comp/" + version + "/x64/run.sh";
  }

  ScopedCommonDataDir common_;
  FakeClock clock_;
  // The monitor's: the waits before its hosts are started again.
  FakeClock monitor_clock_;
  std::string runs_;
  std::string catalogue_path_;
  std::unique_ptr<PortServer> server_;
  std::unique_ptr<FileServer> packages_;
  std::unique_ptr<CZEVServiceContext> context_;
  // Whether StartService keeps the events the service reports.
  bool keep_events_ = false;
  std::mutex events_mu_;
  std::vector<EventElement> events_;
};

TEST_F(StrategiesEndToEnd, FollowsTheServerAndRunsWhatItLists) {
  ListedVersion v1 = Version("1.0.0");
  List({v1});
  StartService();
  EXPECT_TRUE(context_->manager().loaded()->empty());  // nothing before the first pass

  RunPass(300 * 1000);
  ASSERT_TRUE(PollUntil([&] { return RunVersions() == std::vector<std::string>{"1.0.0"}; }, 30000))
      << "1.0.0 never ran";
  StrategyStatus status;
  ASSERT_TRUE(ReadStrategyStatus(&RegistryStore::Default(), &status));
  EXPECT_EQ(status.installed, 1);

  // The server moves on: only 1.1.0 runs afterwards.
  ListedVersion v2 = Version("1.1.0");
  List({v2});
  RunPass(10800 * 1000);
  ASSERT_TRUE(PollUntil([&] { return RunVersions().size() == 2; }, 30000)) << "1.1.0 never ran";
  EXPECT_EQ(RunVersions().back(), "1.1.0");
  ASSERT_TRUE(PollUntil([&] {
    auto loaded = context_->manager().loaded_list();
    return loaded.size() == 1 && loaded[0].GetVersion() == "1.1.0";
  }));

  // A damaged file is fetched again; the component itself is unchanged.
  ASSERT_TRUE(WriteFileAtomically(Installed("1.1.0"), "damaged"));
  RunPass(10800 * 1000);
  ASSERT_TRUE(PollUntil([&] { return Requests("/comp-1.1.0.7z") == 2; }, 30000));
  ASSERT_TRUE(PollUntil([&] { return ReadAll(Installed("1.1.0")) == Script(runs_, "1.1.0"); }, 30000));
  StopService();

  // Without the server a restart runs 1.1.0 from the stored catalogue.
  server_.reset();
  StartService();
  ASSERT_TRUE(PollUntil([&] { return RunVersions().size() >= 3; }, 30000)) << "nothing ran offline";
  EXPECT_EQ(RunVersions().back(), "1.1.0");
  EXPECT_EQ(Requests("/comp-1.1.0.7z"), 2);
}

// The operators' road through zevctl: the strategies' clock stands still,
// every pass is asked for; only the monitor's clock moves, through the waits
// before a failing host is started again.
TEST_F(StrategiesEndToEnd, UpdatesNowAndHoldsAVersion) {
  auto zevctl = [](const std::string& args) {
    int status = -1;
    std::string out = RunAndRead(std::string(ZEVCTL_PATH) + " " + args + " 2>&1", &status);
    return status == 0 ? out : "exit " + std::to_string(status) + ": " + out;
  };
  auto loaded_version = [&] {
    auto loaded = context_->manager().loaded_list();
    return loaded.size() == 1 ? loaded[0].GetVersion() : std::to_string(loaded.size()) + " loaded";
  };
  List({Version("1.0.0")});
  keep_events_ = true;
  StartService();
  // The pass has ended, and its catalogue is loaded, when update answers.
  // A broken wake would leave the pass to the fake clock: --wait bounds it.
  const std::string out = zevctl("update --wait 30");
  EXPECT_NE(out.find("result: server\nlisted: 1\ninstalled: 1\nfailed: 0\n"), std::string::npos) << out;
  EXPECT_EQ(loaded_version(), "1.0.0");
  ASSERT_TRUE(PollUntil([&] { return RunVersions() == std::vector<std::string>{"1.0.0"}; }, 30000));

  // Held at the version running now, a newer listing is neither fetched nor
  // started, though the server no longer lists the held one.
  EXPECT_EQ(zevctl("hold app comp"), "held app comp 1.0.0\n");
  EXPECT_EQ(zevctl("holds"), "app comp 1.0.0\n");
  ScopedUser user;
  if (user.ok()) {
    // Another user may list the holds, not drop them.
    ASSERT_EQ(chmod(common_.path().c_str(), 0711), 0);
    ASSERT_EQ(chmod((common_.path() + "/run").c_str(), 0711), 0);
    EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " holds >/dev/null"), 0);
    EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " unhold app comp >/dev/null"), 1);
    EXPECT_EQ(zevctl("holds"), "app comp 1.0.0\n");
  }
  List({Version("1.1.0")});
  EXPECT_NE(zevctl("update --wait 30").find("listed: 1\n"), std::string::npos);
  EXPECT_EQ(Requests("/comp-1.1.0.7z"), 0);
  EXPECT_EQ(loaded_version(), "1.0.0");

  // Released, the newer version comes at once.
  EXPECT_EQ(zevctl("unhold app comp"), "released app comp 1.0.0\n");
  ASSERT_TRUE(PollUntil([&] { return RunVersions().size() == 2; }, 30000)) << "1.1.0 never ran";
  EXPECT_EQ(RunVersions().back(), "1.1.0");
  EXPECT_EQ(zevctl("holds"), "");
  EXPECT_EQ(zevctl("unhold app comp"), "exit 1: failed: no hold on app comp\n");

  // 1.2.0 exits at once, run after run: its third failure rolls it back to
  // 1.1.0, which it replaced, and it is not started again while the server
  // lists it.
  List({Version("1.2.0", true)});
  EXPECT_NE(zevctl("update --wait 30").find("installed: 1\n"), std::string::npos);
  ASSERT_TRUE(PollUntil([&] { return RunVersions().size() > 5 && RunVersions().back() == "1.1.0"; }, 30000))
      << "1.2.0 was never rolled back";
  const std::vector<std::string> runs = RunVersions();
  EXPECT_EQ(std::count(runs.begin(), runs.end(), "1.2.0"), 3);
  auto rolled_back = [&] {
    std::lock_guard<std::mutex> lock(events_mu_);
    for (const EventElement& event : events_) {
      if (event.eventState == 7) return event.version + ": " + event.eventContent;
    }
    return std::string();
  };
  ASSERT_TRUE(PollUntil([&] { return !rolled_back().empty(); }));
  EXPECT_NE(rolled_back().find("1.2.0: app comp 1.2.0 failed 3 times"), std::string::npos) << rolled_back();
  EXPECT_NE(rolled_back().find("rolled back to 1.1.0"), std::string::npos) << rolled_back();
  EXPECT_NE(zevctl("strategy").find("rolled back to 1.1.0"), std::string::npos);
  EXPECT_NE(zevctl("update --wait 30").find("listed: 1\n"), std::string::npos);
  EXPECT_EQ(loaded_version(), "1.1.0");
  EXPECT_EQ(RunVersions().size(), runs.size());

  // Its host keeps ending: it is started again at once, then after waits
  // that grow on the monitor's clock. The port that each run of 1.1.0
  // registered goes when its process ends with the host.
  auto port = [&] { return zevctl("component port comp --pipe"); };
  EXPECT_EQ(port(), "4711\n");
  for (int64_t wait : {0, 1000, 2000, 4000}) {
    const size_t ran = RunVersions().size();
    const pid_t host = HostPid();
    ASSERT_GT(host, 0);
    ASSERT_EQ(kill(host, SIGKILL), 0);
    if (wait > 0) {
      ASSERT_TRUE(PollUntil([&] {
        return HostPid() == 0 && port() == "exit 1: failed: get ComponentContext failed.\n";
      })) << port();
      ASSERT_TRUE(PollUntil([&] { return monitor_clock_.NextDeadline() - monitor_clock_.MonotonicMillis() == wait; }));
      monitor_clock_.Advance(wait);
    }
    ASSERT_TRUE(PollUntil([&] { return RunVersions().size() == ran + 1 && port() == "4711\n"; }, 30000));
  }
  EXPECT_EQ(RunVersions().back(), "1.1.0");

  // gc removes the versions that are neither recorded, loaded, held nor
  // among the newest 2 of their component, and nothing else.
  const std::string download = common_.path() + "/Varnel/ZEV/download/app/";
  for (const char* v : {"1", "2", "3", "4"}) {
    ASSERT_TRUE(CreateDirectories(download + "other/" + v + "/x64"));
    ASSERT_TRUE(WriteFileAtomically(download + "other/" + v + "/x64/f", "12345"));
  }
  EXPECT_EQ(zevctl("hold app other 1"), "held app other 1\n");
  uintmax_t bytes = 0;
  for (const auto& file : fs::recursive_directory_iterator(download + "comp/1.0.0")) {
    if (file.is_regular_file()) bytes += file.file_size();
  }
  auto listing = [&](const std::string& verb, const std::string& freed) {
    return verb + " app comp 1.0.0 " + std::to_string(bytes) + " bytes\n" + verb +
           " app other 2 5 bytes\n2 versions, " + std::to_string(bytes + 5) + " bytes " + freed + "\n";
  };
  EXPECT_EQ(zevctl("gc --dry-run"), listing("would remove", "would be freed"));
  EXPECT_EQ(zevctl("gc"), listing("removed", "freed"));
  for (const char* kept : {"comp/1.1.0", "comp/1.2.0", "other/1", "other/3", "other/4"}) {
    EXPECT_TRUE(fs::exists(download + kept)) << kept;
  }
  EXPECT_FALSE(fs::exists(download + "comp/1.0.0"));
  EXPECT_FALSE(fs::exists(download + "other/2"));
  // Unhold clears the mark: 1.2.0 is started again.
  EXPECT_EQ(zevctl("unhold app comp"), "released app comp 1.2.0\n");
  ASSERT_TRUE(PollUntil([&] { return RunVersions().size() > runs.size() && RunVersions().back() == "1.2.0"; }, 30000));
}

TEST_F(StrategiesEndToEnd, RunsAComponentThatAProductDrops) {
  StartService();
  // The package: Config.json beside the unpacked files in their layout.
  const std::string stage = common_.path() + "/product-stage";
  const std::string files = stage + "/prodapp/pcomp/2.0/x64";
  ASSERT_TRUE(CreateDirectories(files));
  const std::string script = Script(runs_, "product 2.0");
  ASSERT_TRUE(WriteFileAtomically(files + "/run.sh", script));
  ListedVersion p;
  p.app = "prodapp";
  p.id = "pcomp";
  p.version = "2.0";
  p.resource = "run.sh.7z";
  p.package.hash = Sha256Hex(script.data(), script.size());
  p.entry_point = "run.sh";
  p.pgroup = "pgrp";
  p.load_mode = lmOutterComponent;
  p.run_mode = btApplicaiton;
  ASSERT_TRUE(WriteFileAtomically(stage + "/Config.json", JsonText(ApplicationJson(p))));
  ASSERT_TRUE(Run7z(stage, {"a", "-t7z", "components.7z", "Config.json", "prodapp"}));
  // Published the way package tools do: written aside, renamed into place.
  const std::string product = common_.path() + "/Varnel/components/prod";
  ASSERT_TRUE(CreateDirectories(product));
  fs::copy_file(stage + "/components.7z", product + "/components.7z.tmp");
  fs::rename(product + "/components.7z.tmp", product + "/components.7z");

  // The watcher's and the strategy's delays pass on the fake clock.
  ASSERT_TRUE(PollUntil(
      [&] {
        clock_.Advance(1000);
        return RunVersions() == std::vector<std::string>{"product 2.0"};
      },
      30000))
      << "the product's component never ran";
}

}  // namespace

}  // namespace zev
