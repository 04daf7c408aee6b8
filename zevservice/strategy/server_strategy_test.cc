// The server strategy against the reference strategy server (a real process
// on loopback), packages made with the real 7z tool and served over
// loopback, the real zevdownloader, and the registry of a temporary data
// folder. Every wait of the update thread runs on a fake clock.
#include "strategy/server_strategy.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/log.h"
#include "download/archive_test_util.h"
#include "strategy/catalogue_test_util.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "server/server_channel.h"
#include "testing/fake_clock.h"
#include "testing/log_util.h"
#include "testing/port_server.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"
#include "tools/zevdownloader/loopback_http_server.h"

namespace zev {

namespace {

namespace fs = std::filesystem;
using downloader::FileServer;

const char kDatabaseKey[] = "Software\\Classes\\CLSID\\{0badc0de-0000-4000-8000-000000000001}\\";
constexpr int64_t kFirstMs = 300 * 1000;
constexpr int64_t kIntervalMs = 10800 * 1000;

using Listed = ListedVersion;
struct TrustCase;

class ServerStrategyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static ScopedTempDir* log_dir = new ScopedTempDir();
    LogInit(log_dir->path(), "strategy_test");
  }

  void SetUp() override {
    catalogue_path_ = common_.path() + "/catalogue.json";
    ASSERT_TRUE(WriteFileAtomically(catalogue_path_, "[]"));
    StartServer();
    packages_ = std::make_unique<FileServer>();
    ASSERT_TRUE(packages_->Start());
    changed_ = [this](CZEVComponentSourceType source) {
      EXPECT_EQ(source, cstServerStrategy);
      reports_.Hit(clock_.MonotonicMillis());
      if (throw_in_report_.exchange(false)) throw std::runtime_error("the report failed");
      return false;
    };
  }

  // On `port`, or on a free one when 0, with the server's `extra` options
  // (https with "--tls").
  void StartServer(int port = 0, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {ZEV_STRATEGY_SERVER_PATH, "--listen", "127.0.0.1:" + std::to_string(port),
                                     "--catalogue", catalogue_path_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_.reset();
    server_ = std::make_unique<PortServer>(argv);
    ASSERT_NE(server_->port(), 0);
    const bool tls = !extra.empty() && extra[0] == "--tls";
    ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kServerUrlKey, "", server_->Url(tls ? "https" : "http")));
  }

  // A version whose package the strategy server itself serves (over https
  // when it has --tls).
  Listed ServedVersion(const std::string& id, const std::string& version, const std::string& content) {
    Listed l = Version(id, version, content);
    const std::string name = id + "-" + version + ".7z";
    EXPECT_TRUE(WriteFileAtomically(common_.path() + "/" + name, l.package.bytes));
    l.url = "@SERVER@/files/" + name;
    return l;
  }

  void CheckTrustCases(CZEVServerStrategy* strategy, const std::vector<TrustCase>& cases);

  // The catalogue copy stored in the registry.
  std::string StoredCopy() {
    std::string bytes;
    EXPECT_TRUE(LocalComponentDatabase(kDatabaseKey, &RegistryStore::Default()).ReadServerCopy(&bytes));
    return bytes;
  }

  // A version served at /<id>-<version>.7z, holding `content`.
  Listed Version(const std::string& id, const std::string& version, const std::string& content) {
    Listed l;
    l.id = id;
    l.version = version;
    const std::string stage = common_.path() + "/stage-" + std::to_string(++staged_);
    fs::create_directories(stage);
    EXPECT_TRUE(MakeTestPackage(stage, "data.bin", content, &l.package));
    const std::string path = "/" + id + "-" + version + ".7z";
    l.url = packages_->Put(path, l.package.bytes);
    return l;
  }

  void List(const std::vector<Listed>& listed) { ASSERT_TRUE(WriteFileAtomically(catalogue_path_, CatalogueJson(listed))); }

  std::unique_ptr<CZEVServerStrategy> MakeStrategy(const Timings& timings = Timings()) {
    CZEVServerStrategy::Options options;
    options.first_floor_ms = timings.first_pass_floor_ms;
    options.interval_floor_ms = timings.interval_floor_ms;
    options.clock = &clock_;
    // The store the server channel reads the server's address from.
    options.registry = &RegistryStore::Default();
    options.download_dir = common_.path() + "/Varnel/ZEV/download";
    options.database_key = kDatabaseKey;
    options.downloader_dir = GetModuleDir();
    options.jitter = false;
    options.collect_old_versions = collect_;
    options.events = [this](const EventElement& e) {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(e.appCode + "#" + e.componentLibraryId + "#" + e.version + ":" + std::to_string(e.eventState));
    };
    auto strategy = std::make_unique<CZEVServerStrategy>(options);
    strategy->SetChangedCallback(&changed_);
    // As the strategy manager's first read does, this starts the update
    // thread; before the first pass only a stored catalogue is offered.
    std::vector<CZEVComponentProxy> entries;
    strategy->GetComponents(&entries);
    return strategy;
  }

  // Lets the update thread's wait of `ms` pass, then waits for the pass to
  // report to the strategy manager.
  void RunPass(int64_t ms) {
    const int before = reports_.count();
    ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
    ASSERT_EQ(clock_.NextDeadline() - clock_.MonotonicMillis(), ms);
    clock_.Advance(ms);
    ASSERT_TRUE(reports_.WaitFor(before + 1, std::chrono::seconds(30)));
  }

  static std::vector<std::string> Offered(CZEVServerStrategy* strategy) {
    std::vector<CZEVComponentProxy> entries;
    EXPECT_TRUE(strategy->GetComponents(&entries));
    std::vector<std::string> keys;
    for (const CZEVComponentProxy& e : entries) keys.push_back(e.GetComponentID() + " " + e.GetVersion());
    return keys;
  }

  int Requests(const std::string& path) { return packages_->Requests(path); }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }

  std::string InstalledFile(const Listed& l) {
    // The server's catalogue names the default download folder.
    return common_.path() + "/Varnel/ZEV/download/app/" + l.id + "/" + l.version + "/x64/data.bin";
  }

  int64_t RecordedTime(const Listed& l) {
    LocalComponentDatabase database(kDatabaseKey, &RegistryStore::Default());
    database.LoadLocalDatabase();
    CZEVComponentProxy entry;
    entry.SetAppCode(l.app);
    entry.SetComponentID(l.id);
    CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
    v->set_version(l.version);
    v->set_archtype(atx64);
    return database.GetRecordedUpdateTime(entry);
  }

  ScopedCommonDataDir common_;
  FakeClock clock_;
  std::string catalogue_path_;
  std::unique_ptr<PortServer> server_;
  std::unique_ptr<FileServer> packages_;
  SourceChangedCallback changed_;
  Counter reports_;
  int staged_ = 0;
  std::atomic<bool> throw_in_report_{false};
  bool collect_ = false;  // the strategies made next remove old versions

  std::mutex mu_;
  std::vector<std::string> events_;  // guarded by mu_
};

TEST(ServerStrategySettings, WaitsAreSpreadWithinTheClampsAndRetriesDrawnUpToTwiceTheLast) {
  const int64_t s = 1000;
  PassTimer plain(300, 10800, false, 1);
  EXPECT_EQ(plain.FirstWaitMs(), 300 * s);
  EXPECT_EQ(plain.NextWaitMs(false), 120 * s);
  EXPECT_EQ(plain.NextWaitMs(false), 240 * s);
  EXPECT_EQ(plain.NextWaitMs(true), 10800 * s);

  // Drawn many times, each wait stays in its range and uses most of it.
  struct {
    int64_t first_s, interval_s;
    std::vector<bool> passes;  // reached, in turn, before the wait looked at
    int64_t low_s, high_s;
  } const cases[] = {
      {300, 10800, {}, 270, 300},            // First at its upper clamp: spread from below
      {60, 10800, {}, 60, 66},               // First below it: spread upwards
      {300, 10800, {true}, 9720, 10800},     // Interval at its clamp
      {300, 1000, {true}, 1000, 1100},
      {300, 10800, {false}, 120, 240},       // the first retry
      {300, 10800, {false, false, false}, 120, 960},
      {300, 600, {false, false, false}, 120, 600},  // never beyond Interval
      {300, 10800, {false, false, true}, 9720, 10800},
  };
  for (const auto& c : cases) {
    int64_t lowest = INT64_MAX, highest = 0;
    for (uint64_t seed = 0; seed < 400; ++seed) {
      PassTimer timer(c.first_s, c.interval_s, true, seed);
      int64_t wait = timer.FirstWaitMs();
      for (bool reached : c.passes) wait = timer.NextWaitMs(reached);
      lowest = std::min(lowest, wait);
      highest = std::max(highest, wait);
    }
    const int64_t width = (c.high_s - c.low_s) * s;
    EXPECT_GE(lowest, c.low_s * s) << c.low_s;
    EXPECT_LE(highest, c.high_s * s) << c.high_s;
    EXPECT_LT(lowest, c.low_s * s + width / 10) << c.low_s;
    EXPECT_GT(highest, c.high_s * s - width / 10) << c.high_s;
  }
}

TEST_F(ServerStrategyTest, InstallsWhatTheServerListsAndFollowsItsChanges) {
  Listed v1 = Version("comp", "1.0.0", "one");
  List({v1, v1});  // listed twice: one entry, and a word in the log
  auto strategy = MakeStrategy();
  // Nothing is offered before the first pass has talked to the server.
  EXPECT_TRUE(Offered(strategy.get()).empty());
  RunPass(kFirstMs);
  EXPECT_EQ(Offered(strategy.get()), std::vector<std::string>{"comp 1.0.0"});
  EXPECT_EQ(ReadAll(InstalledFile(v1)), "one");
  EXPECT_EQ(RecordedTime(v1), 1);
  EXPECT_EQ(Events(), (std::vector<std::string>{"app#comp#1.0.0:1", "app#comp#1.0.0:2", "app#comp#1.0.0:3",
                                                "app#comp#1.0.0:5"}));
  StrategyStatus status;
  ASSERT_TRUE(ReadStrategyStatus(&RegistryStore::Default(), &status));
  EXPECT_EQ(status.result, "server");
  EXPECT_EQ(status.listed, 1);
  EXPECT_EQ(status.installed, 1);
  EXPECT_EQ(status.failed, 0);
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "listed more than once, the last entry is used: app, comp, 1.0.0"));

  // A changed updateTime with intact files is recorded again, no download.
  v1.update_time = 2;
  List({v1});
  RunPass(kIntervalMs);
  EXPECT_EQ(Offered(strategy.get()), std::vector<std::string>{"comp 1.0.0"});
  EXPECT_EQ(RecordedTime(v1), 2);
  EXPECT_EQ(Requests("/comp-1.0.0.7z"), 1);
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  ASSERT_TRUE(ReadStrategyStatus(&RegistryStore::Default(), &status));
  EXPECT_EQ(status.next_pass_ms, status.time_ms + kIntervalMs);

  // A damaged file is fetched again.
  ASSERT_TRUE(WriteFileAtomically(InstalledFile(v1), "damaged"));
  RunPass(kIntervalMs);
  EXPECT_EQ(ReadAll(InstalledFile(v1)), "one");
  EXPECT_EQ(Requests("/comp-1.0.0.7z"), 2);
  EXPECT_EQ(Offered(strategy.get()), std::vector<std::string>{"comp 1.0.0"});

  // The server moves on to 1.1.0: only that is offered, the record of
  // 1.0.0 goes, its files stay.
  Listed v2 = Version("comp", "1.1.0", "two");
  List({v2});
  RunPass(kIntervalMs);
  EXPECT_EQ(Offered(strategy.get()), std::vector<std::string>{"comp 1.1.0"});
  EXPECT_EQ(RecordedTime(v1), -1);
  EXPECT_EQ(RecordedTime(v2), 1);
  EXPECT_TRUE(FileExists(InstalledFile(v1)));
  strategy.reset();

  // Without the server, a restart offers 1.1.0 from the stored copy at once.
  // It removes old versions after its passes: 0.9.0, neither recorded nor
  // among the newest two (1.1.0, 1.0.0).
  const int port = server_->port();
  server_.reset();
  const std::string old_version = common_.path() + "/Varnel/ZEV/download/app/comp/0.9.0";
  ASSERT_TRUE(CreateDirectories(old_version + "/x64"));
  ASSERT_TRUE(WriteFileAtomically(old_version + "/x64/file", "old"));
  collect_ = true;
  auto restarted = MakeStrategy();
  EXPECT_EQ(Offered(restarted.get()), std::vector<std::string>{"comp 1.1.0"});
  // A pass that cannot reach the server keeps the offer, and the next pass
  // comes after 120 s, then 240 s.
  RunPass(kFirstMs);
  EXPECT_EQ(Offered(restarted.get()), std::vector<std::string>{"comp 1.1.0"});
  ASSERT_TRUE(ReadStrategyStatus(&RegistryStore::Default(), &status));
  EXPECT_EQ(status.result, "stored copy");
  EXPECT_FALSE(status.error.empty());
  // A pass that throws does not end the update thread: it counts as failed.
  throw_in_report_ = true;
  RunPass(120 * 1000);
  RunPass(240 * 1000);
  // Once the server answers again, the Interval applies.
  StartServer(port);
  RunPass(480 * 1000);
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  EXPECT_EQ(clock_.NextDeadline() - clock_.MonotonicMillis(), kIntervalMs);
  EXPECT_FALSE(DirectoryExists(old_version));
  EXPECT_TRUE(FileExists(InstalledFile(v1)));
  EXPECT_EQ(ReadAll(InstalledFile(v2)), "two");
}

TEST_F(ServerStrategyTest, AnInstalledVersionIsOfferedThroughoutAPass) {
  Listed v1 = Version("comp", "1.0.0", "one");
  Listed other = Version("other", "2.0", "x");
  List({v1});
  auto strategy = MakeStrategy();
  RunPass(kFirstMs);
  ASSERT_EQ(Offered(strategy.get()).size(), 1u);
  // While later passes rebuild the listed versions, a reader never finds
  // the installed one missing.
  std::atomic<bool> done{false};
  std::atomic<int> gaps{0};
  std::thread reader([&] {
    while (!done) {
      std::vector<CZEVComponentProxy> entries;
      strategy->GetComponents(&entries);
      bool seen = false;
      for (const auto& e : entries) seen = seen || e.GetComponentID() == "comp";
      if (!seen) ++gaps;
    }
  });
  List({v1, other});
  RunPass(kIntervalMs);
  List({other, v1});
  RunPass(kIntervalMs);
  done = true;
  reader.join();
  EXPECT_EQ(gaps.load(), 0);
  EXPECT_EQ(Offered(strategy.get()), (std::vector<std::string>{"comp 1.0.0", "other 2.0"}));
}

TEST_F(ServerStrategyTest, FilesAlreadyInPlaceAreRecordedWithoutADownload) {
  Listed v1 = Version("comp", "1.0.0", "one");
  fs::create_directories(fs::path(InstalledFile(v1)).parent_path());
  ASSERT_TRUE(WriteFileAtomically(InstalledFile(v1), "one"));
  List({v1});
  auto strategy = MakeStrategy();
  RunPass(kFirstMs);
  EXPECT_EQ(Offered(strategy.get()), std::vector<std::string>{"comp 1.0.0"});
  EXPECT_EQ(Requests("/comp-1.0.0.7z"), 0);
  EXPECT_EQ(RecordedTime(v1), 1);
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "update exists task :app#comp#1.0.0#x64"));

  // Handed to another user: no longer offered, and the task is refused with an event.
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  ASSERT_EQ(chown(fs::path(InstalledFile(v1)).parent_path().c_str(), user.uid(), user.gid()), 0);
  RunPass(kIntervalMs);
  EXPECT_TRUE(Offered(strategy.get()).empty());
  EXPECT_EQ(Events().back(), "app#comp#1.0.0:4");
}

TEST_F(ServerStrategyTest, CatalogueTextsThatLeadOutOfTheInstallFolderAreRefused) {
  const std::string sentinel = common_.path() + "/sentinel";
  ASSERT_TRUE(WriteFileAtomically(sentinel, "keep"));
  Listed bad = Version("comp", "1.0.0", "one");
  bad.resource = "../../../../sentinel";
  Listed climbing = Version("../../..", "1.0", "two");
  Listed good = Version("good", "1.0", "three");
  List({bad, climbing, good});
  auto strategy = MakeStrategy();
  RunPass(kFirstMs);
  EXPECT_EQ(Offered(strategy.get()), std::vector<std::string>{"good 1.0"});
  EXPECT_EQ(ReadAll(sentinel), "keep");
  EXPECT_EQ(Requests("/comp-1.0.0.7z"), 0);
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "strategy component refused: resource name"));
}

TEST_F(ServerStrategyTest, EventTextsAreCheckedAndErrorTextsLoggedLiterally) {
  auto strategy = MakeStrategy();
  EXPECT_FALSE(strategy->OnTaskEvent("app#comp#1.0", 2));
  EXPECT_FALSE(strategy->OnTaskEvent("app#comp#1.0#", 2));
  EXPECT_TRUE(strategy->OnTaskEvent("app#comp#1.0#x64#more", 4));
  EXPECT_EQ(Events(), std::vector<std::string>{"app#comp#1.0:4"});
  // A download error text is an argument of the log line, never its format.
  EXPECT_TRUE(strategy->OnTaskEvent("http://h/%s%n%x down load failed", 1000));
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "http://h/%s%n%x down load failed"));
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(ServerStrategyTest, TheUpdateThreadSpreadsItsWaits) {
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kIntervalSettingKey, "", "1000"));
  List({});
  CZEVServerStrategy::Options options;
  options.clock = &clock_;
  options.registry = &RegistryStore::Default();
  options.download_dir = common_.path() + "/Varnel/ZEV/download";
  options.database_key = kDatabaseKey;
  options.downloader_dir = GetModuleDir();
  options.events = [](const EventElement&) {};
  CZEVServerStrategy strategy(options);
  strategy.SetChangedCallback(&changed_);
  std::vector<CZEVComponentProxy> entries;
  strategy.GetComponents(&entries);
  // First is at its upper clamp already: the spread is taken from below.
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  EXPECT_LE(clock_.NextDeadline() - clock_.MonotonicMillis(), kFirstMs);
  EXPECT_GE(clock_.NextDeadline() - clock_.MonotonicMillis(), kFirstMs * 9 / 10);
  std::set<int64_t> waits;
  for (int i = 0; i < 6; ++i) {
    const int before = reports_.count();
    clock_.Advance(clock_.NextDeadline() - clock_.MonotonicMillis());
    ASSERT_TRUE(reports_.WaitFor(before + 1, std::chrono::seconds(30)));
    ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
    const int64_t wait = clock_.NextDeadline() - clock_.MonotonicMillis();
    EXPECT_GE(wait, 1000 * 1000);
    EXPECT_LE(wait, 1100 * 1000);
    waits.insert(wait);
  }
  EXPECT_GT(waits.size(), 1u);
}

TEST_F(ServerStrategyTest, FirstAndIntervalAreRaisedToTheFloorsOfItsTimings) {
  List({});
  struct Case {
    const char* first;
    const char* interval;
    Timings timings;
    int64_t first_ms, interval_ms;
  };
  const Case cases[] = {
      {"10", "5", Timings(), 30 * 1000, 120 * 1000},         // the settings' lower bounds
      {"1", "6", Timings::Short(), 1000, 6000},              // the short test timings let them lower
      {"0", "0", Timings::Short(), 1000, 1000},              // but never to nothing
      {"400", "20000", Timings::Short(), kFirstMs, kIntervalMs},  // the upper bounds stay
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + ", " + c.interval);
    ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kFirstSettingKey, "", c.first));
    ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kIntervalSettingKey, "", c.interval));
    auto strategy = MakeStrategy(c.timings);
    RunPass(c.first_ms);
    ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
    EXPECT_EQ(clock_.NextDeadline() - clock_.MonotonicMillis(), c.interval_ms);
  }
}

// Made for one test with the openssl tool: a CA, certificates it signed for
// 127.0.0.1 ("good") and for another host ("wrong"), a self-signed one for
// 127.0.0.1 ("self"), and the Ed25519 key pairs "sign" and "other".
class TestKeys {
 public:
  TestKeys() {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    ok_ = Run("openssl req -x509" + ec + " -keyout ca.key -out ca.pem -subj /CN=ca") &&
          Run("openssl req -x509" + ec + " -keyout self.key -out self.pem -subj /CN=self "
              "-addext subjectAltName=IP:127.0.0.1") &&
          Run("echo subjectAltName=IP:127.0.0.1 >good.ext && echo subjectAltName=DNS:wrong.example >wrong.ext");
    for (std::string n : {"good", "wrong"}) {
      ok_ = ok_ && Run("openssl req" + ec + " -keyout " + n + ".key -out " + n + ".csr -subj /CN=" + n) &&
            Run("openssl x509 -req -in " + n + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out " + n +
                ".pem -extfile " + n + ".ext");
    }
    for (std::string n : {"sign", "other"}) {
      ok_ = ok_ && Run("openssl genpkey -algorithm ed25519 -out " + n + ".key && openssl pkey -in " + n +
                       ".key -pubout -out " + n + ".pub");
    }
  }
  bool ok() const { return ok_; }
  std::string operator[](const std::string& name) const { return dir_.path() + "/" + name; }

 private:
  bool Run(const std::string& command) {
    return system(("cd " + dir_.path() + " && " + command + " >/dev/null 2>&1").c_str()) == 0;
  }
  ScopedTempDir dir_;
  bool ok_ = false;
};

// After a pass that took comp 1.0.0 with the catalogue now listing 1.1.0:
// each case restarts the server with `options` and runs a pass, which takes
// 1.1.0 when `error` is null, else fails with `error` in its status and
// keeps both the stored copy and the offer of 1.0.0.
struct TrustCase {
  std::vector<std::string> options;
  const char* error;
};
void ServerStrategyTest::CheckTrustCases(CZEVServerStrategy* strategy, const std::vector<TrustCase>& cases) {
  for (const TrustCase& c : cases) {
    SCOPED_TRACE(c.error == nullptr ? "trusted" : c.error);
    StartServer(0, c.options);
    const std::string stored = StoredCopy();
    ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
    RunPass(clock_.NextDeadline() - clock_.MonotonicMillis());
    StrategyStatus status;
    ASSERT_TRUE(ReadStrategyStatus(&RegistryStore::Default(), &status));
    EXPECT_EQ(status.result, c.error != nullptr ? "stored copy" : "server") << status.error;
    EXPECT_NE(status.error.find(c.error != nullptr ? c.error : ""), std::string::npos) << status.error;
    EXPECT_EQ(StoredCopy() == stored, c.error != nullptr);
    EXPECT_EQ(Offered(strategy), std::vector<std::string>{c.error != nullptr ? "comp 1.0.0" : "comp 1.1.0"});
  }
}

TEST_F(ServerStrategyTest, WithTlsVerifyOnlyTheNamedCaAndTheRightHostAreTrusted) {
  TestKeys keys;
  ASSERT_TRUE(keys.ok());
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kTlsVerifySettingKey, "", "1"));
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kTlsCaFileSettingKey, "", keys["ca.pem"]));
  // Packages come over https from the same server: zevdownloader takes the
  // CA file as well.
  List({ServedVersion("comp", "1.0.0", "one")});
  StartServer(0, {"--tls", keys["good.pem"], keys["good.key"]});
  auto strategy = MakeStrategy();
  RunPass(kFirstMs);
  ASSERT_EQ(Offered(strategy.get()), std::vector<std::string>{"comp 1.0.0"});
  Listed v2 = ServedVersion("comp", "1.1.0", "two");
  List({v2});
  auto tls = [&keys](const std::string& name) {
    return std::vector<std::string>{"--tls", keys[name + ".pem"], keys[name + ".key"]};
  };
  CheckTrustCases(strategy.get(), {{tls("self"), "self-signed certificate"},
                                   {tls("wrong"), "target host name '127.0.0.1'"},
                                   {tls("good"), nullptr}});
  EXPECT_EQ(ReadAll(InstalledFile(v2)), "two");
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "[3] strategy server certificate refused"));
}

TEST_F(ServerStrategyTest, WithCatalogueKeyOnlyCataloguesSignedByThatKeyAreTaken) {
  TestKeys keys;
  ASSERT_TRUE(keys.ok());
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kCatalogueKeySettingKey, "", keys["sign.pub"]));
  List({Version("comp", "1.0.0", "one")});
  StartServer(0, {"--sign-key", keys["sign.key"]});
  auto strategy = MakeStrategy();
  RunPass(kFirstMs);
  ASSERT_EQ(Offered(strategy.get()), std::vector<std::string>{"comp 1.0.0"});
  List({Version("comp", "1.1.0", "two")});
  CheckTrustCases(strategy.get(), {{{"--sign-key", keys["other.key"]}, "the signature does not match"},
                                   {{}, "no signature"},
                                   {{"--sign-key", keys["sign.key"]}, nullptr}});
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "[3] catalogue refused, its signature does not pass CatalogueKey"));
}

}  // namespace

}  // namespace zev
