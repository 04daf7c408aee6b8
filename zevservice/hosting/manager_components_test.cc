// The manager's component management against a monitor that records what
// it is asked and answers what the test says.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "bus/ref_count.h"
#include "strategy/strategy_base.h"
#include "hosting/manager.h"
#include "testing/fake_clock.h"
#include "testing/log_util.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

using pubsdk::HRESULT;

class RecordingMonitor : public pubsdk::IZEVMonitor,
                         public pubsdk::IPUBPlugin,
                         public pubsdk::IPUBPluginRun,
                         public pubsdk::CRefCountBase {
 public:
  HRESULT QueryInterface(const pubsdk::GUID& iid, void** out) override {
    if (iid == pubsdk::IID_IZEVMonitor || iid == pubsdk::IID_IUnknown) {
      *out = static_cast<pubsdk::IZEVMonitor*>(this);
    } else if (iid == pubsdk::IID_IPUBPlugin) {
      *out = static_cast<pubsdk::IPUBPlugin*>(this);
    } else if (iid == pubsdk::IID_IPUBPluginRun) {
      *out = static_cast<pubsdk::IPUBPluginRun*>(this);
    } else {
      return pubsdk::kE_NOINTERFACE;
    }
    AddRefImpl();
    return pubsdk::kS_OK;
  }
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }

  std::vector<pubsdk::MonitorHostInfo> GetProcessTable() override { return {}; }
  int32_t NotifyToRestartAGroup(const std::string&, const std::string&) override { return 1; }
  int32_t RemoveGroup(const std::string&) override { return 1; }
  int32_t StartComponent(const char* bytes, uint32_t length) override {
    if (on_start) on_start();
    std::lock_guard<std::mutex> lock(mu_);
    CZEVComponentContext context;
    if (!context.ParseFromArray(bytes, static_cast<int>(length))) calls_.push_back("unparsable");
    calls_.push_back("start " + context.componentid() + " " + context.version());
    last_start_ = context;
    if (answers_.empty()) return pubsdk::kStartSent;
    int32_t answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  int32_t StopComponant(const char* bytes, uint32_t length) override {
    std::lock_guard<std::mutex> lock(mu_);
    CZEVComponentContext context;
    context.ParseFromArray(bytes, static_cast<int>(length));
    calls_.push_back("stop " + context.componentid() + " " + context.version());
    return 1;
  }
  int32_t StopAll() override {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back("stopall");
    return 1;
  }
  HRESULT Init(int32_t) override { return init_result_; }
  HRESULT Uninit() override {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back("uninit");
    return 0;
  }
  HRESULT Start() override { return 0; }
  HRESULT Stop() override { return 0; }

  void Answer(std::initializer_list<int32_t> answers) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.assign(answers);
  }
  std::vector<std::string> TakeCalls() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> calls;
    calls.swap(calls_);
    return calls;
  }
  CZEVComponentContext last_start() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_start_;
  }
  HRESULT init_result_ = 0;
  // Runs at the start of every StartComponent (set before the manager uses
  // the monitor): a test holds a load there.
  std::function<void()> on_start;

 private:
  CZEVComponentContext last_start_;  // guarded by mu_
  std::mutex mu_;
  std::deque<int32_t> answers_;     // guarded by mu_
  std::vector<std::string> calls_;  // guarded by mu_
};

constexpr int64_t kNowMs = 1800000000000;

// One application with the given components, each {id, version, loadMode}.
struct Part {
  std::string id;
  std::string version;
  CZEVLoadMode mode = lmOutterComponent;
  int64_t expired_ms = kNowMs + 3600000;
  int64_t update_time = 1;
};

CZEVApplication App(const std::string& code, const std::vector<Part>& parts) {
  CZEVApplication app;
  app.set_code(code);
  app.set_name(code + " name");
  for (const Part& part : parts) {
    CZEVComponent* component = app.mutable_components()->add_component();
    component->set_componentid(part.id);
    CZEVVersion* version = component->mutable_versions()->add_version();
    version->set_version(part.version);
    version->set_archtype(atx64);
    CZEVManifest* manifest = version->mutable_manifest();
    manifest->set_loadmode(part.mode);
    manifest->set_updatetime(part.update_time);
    manifest->mutable_params()->set_pgroup("grp");
    manifest->mutable_params()->set_expiredtime(part.expired_ms);
  }
  return app;
}

CZEVApplications Catalogue(const std::vector<CZEVApplication>& apps) {
  CZEVApplications all;
  for (const CZEVApplication& app : apps) *all.add_application() = app;
  return all;
}

class ManagerComponents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    log_dir_ = new ScopedTempDir();
    LogInit(log_dir_->path(), "zevservice");  // nothing when another suite made the log
  }
  static bool Logged(const std::string& text) { return LogFileContains(LogCurrentPath(), text); }

  // The test's folder, registry, clock and monitor.
  ManagerDeps Deps() {
    ManagerDeps deps;
    deps.clock = &clock_;
    deps.registry = &registry_;
    deps.methods = &methods_;
    deps.run_dir = common_.Sub("run");
    deps.common_dir = common_.path();
    deps.monitor_factory = [this]() -> pubsdk::IUnknownBase* {
      monitor_->AddRef();
      return static_cast<pubsdk::IZEVMonitor*>(monitor_);
    };
    return deps;
  }

  void SetUp() override {
    monitor_ = new RecordingMonitor();
    ManagerDeps deps = Deps();
    deps.catalogue = [this](CZEVApplications* applications) {
      if (catalogue_.application_size() == 0) return false;
      *applications = catalogue_;
      return true;
    };
    manager_ = std::make_unique<CZEVManager>(deps);
  }
  void TearDown() override {
    manager_.reset();
    monitor_->Release();
  }

  FakeClock clock_{kNowMs};
  ScopedTempDir common_;
  RegistryStore registry_{common_.path()};
  CZEVMethodRegistry methods_;
  RecordingMonitor* monitor_ = nullptr;
  CZEVApplications catalogue_;
  std::unique_ptr<CZEVManager> manager_;
  static ScopedTempDir* log_dir_;
};
ScopedTempDir* ManagerComponents::log_dir_ = nullptr;

TEST_F(ManagerComponents, LoadsEachVersionAndReadsTheMonitorsAnswers) {
  ASSERT_NE(manager_->monitor(), nullptr);
  // 3 is tried once more; 7 is unknown; 1 and 2 fail quietly.
  monitor_->Answer({0, 3, 0, 7, 1, 2, 3, 3});
  manager_->LoadApplication(App("app", {{"a", "1.0"}, {"b", "1.0"}, {"c", "1.0"}, {"d", "1.0"}, {"e", "1.0"},
                                        {"f", "1.0"}}));
  EXPECT_EQ(monitor_->TakeCalls(),
            (std::vector<std::string>{"start a 1.0", "start b 1.0", "start b 1.0", "start c 1.0", "start d 1.0",
                                      "start e 1.0", "start f 1.0", "start f 1.0"}));
  EXPECT_TRUE(Logged("The process group does not exist, try again."));
  EXPECT_TRUE(Logged("An unknown type"));
  EXPECT_TRUE(Logged("Componet load success:  app , a , 1.0 ,x64, srcType:0 "));
  EXPECT_TRUE(Logged("Componet load failed:  app , c , 1.0 , x64, srcType:0 "));
  EXPECT_TRUE(Logged("load app, f, 1.0, x64 result: 3"));
  // The context carries the version's whole manifest.
  CZEVComponentContext last = monitor_->last_start();
  EXPECT_EQ(last.appcode(), "app");
  EXPECT_EQ(last.manifest().params().pgroup(), "grp");
  EXPECT_EQ(last.manifest().params().expiredtime(), kNowMs + 3600000);
  EXPECT_EQ(last.manifest().updatetime(), 1);
  EXPECT_EQ(last.manifest().loadmode(), lmOutterComponent);

  // Failed loads stay loaded, to be tried again at the next change.
  LoadedComponentsSnapshot loaded = manager_->loaded();
  ASSERT_EQ(loaded->size(), 6u);
  const CZEVComponentProxy& a = loaded->at(LoadedComponentKey("app", "a", "1.0", "x64"));
  EXPECT_EQ(a.GetAppName(), "app name");
  EXPECT_EQ(a.GetInstallRoot(), common_.Sub("Varnel/ZEV/download"));
  EXPECT_EQ(manager_->loaded_list().size(), 6u);
}

TEST_F(ManagerComponents, InnerComponentsAndExpiredVersionsNeverReachTheMonitor) {
  manager_->LoadApplication(App("app", {{"inner", "1.0", lmInnerComponent},
                                        {"old", "1.0", lmOutterComponent, kNowMs - 1000},
                                        {"none", "1.0", lmOutterComponent, 0},
                                        {"fine", "1.0"}}));
  EXPECT_EQ(monitor_->TakeCalls(), std::vector<std::string>{"start fine 1.0"});
  EXPECT_TRUE(Logged("component(id: inner) is inner"));
  EXPECT_TRUE(Logged("The component(app#old#1.0#x64) has expired, expiredTime(" +
                     std::to_string((kNowMs - 1000) / 1000) + ") vs now(" + std::to_string(kNowMs / 1000) + ")."));
  EXPECT_TRUE(Logged("The component(app#none#1.0#x64) has expired, expiredTime(0)"));
  EXPECT_TRUE(Logged("Componet load success:  app , inner , 1.0 ,x64"));
}

TEST_F(ManagerComponents, AnInstallFolderAnotherUserCouldChangeIsCheckedAtEveryStart) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  const std::string root = common_.Sub("apps"), dir = root + "/app/a/1.0/x64";
  std::filesystem::create_directories(dir);
  CZEVApplication app = App("app", {{"a", "1.0"}});
  app.mutable_components()->mutable_component(0)->mutable_versions()->mutable_version(0)->mutable_manifest()
      ->set_downloaddir(root);
  manager_->LoadApplication(app);
  EXPECT_EQ(monitor_->TakeCalls(), std::vector<std::string>{"start a 1.0"});
  // Handed to the user after the install; then gone, below a folder of theirs.
  for (const std::string& handed : {dir, root + "/app/a/1.0"}) {
    ASSERT_EQ(chown(handed.c_str(), user.uid(), user.gid()), 0);
    manager_->LoadApplication(app);
    EXPECT_TRUE(monitor_->TakeCalls().empty()) << handed;
    std::filesystem::remove(dir);
  }
}

TEST_F(ManagerComponents, AChangeReleasesOnlyWhatChangedAndLoadsEverything) {
  catalogue_ = Catalogue({App("app", {{"a", "1.2"}, {"b", "1.0"}, {"c", "1.0"}})});
  ASSERT_TRUE(manager_->Start());
  EXPECT_EQ(monitor_->TakeCalls(), (std::vector<std::string>{"start a 1.2", "start b 1.0", "start c 1.0"}));

  // "1.2.0" is the same version as "1.2"; b's version rises; c's manifest
  // changes; d is new.
  Part c{"c", "1.0"};
  c.update_time = 2;
  ASSERT_TRUE(manager_->OnCatalogueChanged(
      EntriesOf(Catalogue({App("app", {{"a", "1.2.0"}, {"b", "2.0"}, c, {"d", "1"}})}))));
  EXPECT_EQ(monitor_->TakeCalls(),
            (std::vector<std::string>{"stop b 1.0", "stop c 1.0", "start a 1.2.0", "start b 2.0", "start c 1.0",
                                      "start d 1"}));
  LoadedComponentsSnapshot loaded = manager_->loaded();
  EXPECT_EQ(loaded->size(), 4u);
  EXPECT_EQ(loaded->count(LoadedComponentKey("app", "b", "1.0", "x64")), 0u);
  EXPECT_TRUE(manager_->loaded_list()[0].GetUpdateFlag());

  // Nothing changed: nothing released, everything loaded again.
  ASSERT_TRUE(manager_->OnCatalogueChanged(
      EntriesOf(Catalogue({App("app", {{"a", "1.2"}, {"b", "2.0"}, c, {"d", "1"}})}))));
  EXPECT_EQ(monitor_->TakeCalls(),
            (std::vector<std::string>{"start a 1.2", "start b 2.0", "start c 1.0", "start d 1"}));

  // Quit stops every host and leaves the monitor.
  manager_->Quit();
  EXPECT_EQ(monitor_->TakeCalls(), (std::vector<std::string>{"stopall", "uninit"}));
  EXPECT_EQ(manager_->monitor(), nullptr);
}

TEST_F(ManagerComponents, StartFailsWithoutARunningMonitor) {
  manager_.reset();
  monitor_->init_result_ = -1;
  manager_ = std::make_unique<CZEVManager>(Deps());
  EXPECT_FALSE(manager_->Start());  // initialised only once the instance is ours
  EXPECT_EQ(manager_->monitor(), nullptr);
  EXPECT_TRUE(Logged("Monitor Init failed"));
  EXPECT_TRUE(Logged("Monitor Start failed"));
}

// The initial load, the change handler and readers of the loaded map run
// on different threads; one walk over the catalogue at a time.
TEST_F(ManagerComponents, InitialLoadAndChangesDoNotRace) {
  std::vector<Part> parts;
  for (int i = 0; i < 200; ++i) parts.push_back({"c" + std::to_string(i), "1.0"});
  catalogue_ = Catalogue({App("one", parts), App("two", parts)});
  std::atomic<bool> done{false};
  std::thread changes([&] {
    for (int i = 0; i < 20; ++i) manager_->OnCatalogueChanged(EntriesOf(Catalogue({App("one", parts)})));
  });
  std::thread readers([&] {
    while (!done) {
      LoadedComponentsSnapshot loaded = manager_->loaded();
      ASSERT_LE(loaded->size(), 400u);
      (void)manager_->loaded_list();
    }
  });
  EXPECT_TRUE(manager_->Start());
  changes.join();
  done = true;
  readers.join();
  size_t size = manager_->loaded()->size();
  EXPECT_TRUE(size == 200u || size == 400u) << size;
}

// A catalogue source whose change reports the test sends.
class ReportingSource : public CZEVStrategyBase {
 public:
  explicit ReportingSource(CZEVComponentSourceType type) : type_(type) {}
  bool GetComponents(std::vector<CZEVComponentProxy>* entries) override {
    std::lock_guard<std::mutex> lock(mu_);
    entries->insert(entries->end(), entries_.begin(), entries_.end());
    return true;
  }
  bool CheckComponent(const CZEVComponentProxy&) override { return true; }
  void Offer(std::vector<CZEVComponentProxy> entries) {
    std::lock_guard<std::mutex> lock(mu_);
    entries_ = std::move(entries);
  }
  bool Report() { return ReportChanged(type_); }

 private:
  const CZEVComponentSourceType type_;
  std::mutex mu_;
  std::vector<CZEVComponentProxy> entries_;  // guarded by mu_
};

// Where `text` first stands in the log after `from`; npos when it does not.
size_t LogPosition(const std::string& log, const std::string& text, size_t from) {
  return from == std::string::npos ? std::string::npos : log.find(text, from);
}

// Start and Quit go step by step in one order, and the owner hears of each
// long step and of what was loaded.
TEST_F(ManagerComponents, StartsAndQuitsInOrder) {
  catalogue_ = Catalogue({App("one", {{"a", "1.0"}, {"b", "1.0"}})});
  std::vector<int64_t> progress;
  int changed = 0;
  CZEVManager::Hooks hooks;
  hooks.start_progress = [&](int64_t ms) { progress.push_back(ms); };
  hooks.loaded_changed = [&] { ++changed; };
  manager_->set_hooks(hooks);
  LogWrite(kLogInfo, "---- order test ----");
  ASSERT_TRUE(manager_->Start());
  EXPECT_EQ(progress.size(), 3u);  // one instance attempt, two loads
  EXPECT_EQ(changed, 1);
  manager_->Quit();
  EXPECT_EQ(monitor_->TakeCalls(), (std::vector<std::string>{"start a 1.0", "start b 1.0", "stopall", "uninit"}));
  LogFlush();
  std::string log;
  ASSERT_TRUE(ReadFileToString(LogCurrentPath(), &log));
  size_t at = log.rfind("---- order test ----");
  for (const char* step : {"Create mutex for ZEVSevice.exe success.", "Http server start ok",
                           "Successfully written to the discovered port", "load one, a, 1.0", "load one, b, 1.0",
                           "There are no components using this server", "ZEVService quit"}) {
    at = LogPosition(log, step, at);
    EXPECT_NE(at, std::string::npos) << "out of order or missing: " << step;
  }
}

// A stop asked while Start loads ends the load at the next component: the
// rest are recorded but not started, and Quit then runs as usual.
TEST_F(ManagerComponents, AStopRequestEndsTheInitialLoadAtTheNextComponent) {
  std::vector<Part> parts;
  for (int i = 0; i < 5; ++i) parts.push_back({"c" + std::to_string(i), "1.0"});
  catalogue_ = Catalogue({App("one", parts)});
  Latch loading, release;
  monitor_->on_start = [&] {
    loading.Open();
    release.Wait(std::chrono::seconds(30));
  };
  bool started = false;
  std::thread start([&] { started = manager_->Start(); });
  ASSERT_TRUE(loading.Wait());
  manager_->RequestStop();
  release.Open();
  start.join();
  EXPECT_TRUE(started);
  EXPECT_EQ(monitor_->TakeCalls(), std::vector<std::string>{"start c0 1.0"});
  EXPECT_EQ(manager_->loaded()->size(), 5u);
  manager_->Quit();
  EXPECT_EQ(monitor_->TakeCalls(), (std::vector<std::string>{"stopall", "uninit"}));
}

// Quit while the strategy manager's change report loads components: the
// report is waited for, nothing deadlocks, and no report follows.
TEST_F(ManagerComponents, QuitWaitsForAChangeReportUnderWay) {
  manager_.reset();
  ReportingSource* server = nullptr;
  ManagerDeps deps = Deps();
  deps.strategies = [&server](const std::atomic<bool>*) {
    auto own = std::make_unique<ReportingSource>(cstServerStrategy);
    server = own.get();
    return std::make_shared<CZEVStrategyManager>(std::move(own),
                                                 std::make_unique<ReportingSource>(cstProductBuildIn));
  };
  manager_ = std::make_unique<CZEVManager>(deps);
  monitor_->TakeCalls();  // the fixture's manager left it
  ASSERT_TRUE(manager_->Start());
  ASSERT_NE(server, nullptr);

  CZEVApplications next = Catalogue({App("one", {{"a", "1.0"}, {"b", "1.0"}})});
  std::vector<CZEVComponentProxy> entries;
  for (const CZEVComponent& component : next.application(0).components().component()) {
    CZEVComponentProxy entry(cstServerStrategy);
    entry.SetAppCode("one");
    *entry.mutable_component() = component;
    entries.push_back(entry);
  }
  server->Offer(entries);
  Latch loading, release;
  monitor_->on_start = [&] {
    loading.Open();
    release.Wait(std::chrono::seconds(30));
  };
  std::thread report([&] { server->Report(); });
  ASSERT_TRUE(loading.Wait());
  std::atomic<bool> quit_done{false};
  std::thread quit([&] {
    manager_->Quit();
    quit_done = true;
  });
  // Quit waits for the report, which waits on the host.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(quit_done);
  release.Open();
  report.join();
  quit.join();
  std::vector<std::string> calls = monitor_->TakeCalls();
  ASSERT_GE(calls.size(), 3u) << ::testing::PrintToString(calls);
  EXPECT_EQ(calls.front(), "start a 1.0");
  EXPECT_EQ(calls[calls.size() - 2], "stopall");
  EXPECT_EQ(calls.back(), "uninit");
}

}  // namespace

}  // namespace zev
