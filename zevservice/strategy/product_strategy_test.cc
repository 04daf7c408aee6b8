#include "strategy/product_strategy.h"

#include <gtest/gtest.h>

#include <thread>

#include "strategy/product_test_util.h"
#include "testing/fake_clock.h"
#include "testing/log_util.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// The process log of the test program, opened once in a folder that lives
// until the program ends.
std::string TestLogPath() {
  static const std::string path = [] {
    static ScopedTempDir dir;
    LogInit(dir.path(), "product_test");
    return LogCurrentPath();
  }();
  return path;
}

class ProductStrategyTest : public ::testing::Test {
 protected:
  ProductStrategyTest() {
    log_ = TestLogPath();
    options_.clock = &clock_;
    options_.watch_clock = Clock::Real();
    options_.components_dir = common_.path() + "/Varnel/components";
    options_.cache_dir = common_.path() + "/components_cache";
    options_.staging_dir = common_.path() + "/components_staging";
    EXPECT_TRUE(CreateDirectories(Work()));
  }
  std::string Product(const std::string& name) const { return common_.path() + "/Varnel/components/" + name; }
  std::string Cache(const std::string& name) const { return common_.path() + "/components_cache/" + name; }
  std::string Work() const { return common_.path() + "/work"; }
  void AddPackage(const std::string& name, const PackageFiles& files) {
    ASSERT_TRUE(CreateDirectories(Product(name)));
    ASSERT_TRUE(MakePackage(Work(), Product(name) + "/components.7z", files));
  }
  // Moves the clock over the notify delay once the strategy has armed it,
  // and waits for the report to the manager.
  bool RunNotify(int reports) {
    if (!clock_.AwaitTimedWaiters(1)) return false;
    clock_.AdvanceSeconds(CZEVProductInnerStrategy::kNotifyDelaySeconds);
    return reports_.WaitFor(reports);
  }
  static std::vector<std::string> Keys(const std::vector<CZEVComponentProxy>& entries) {
    std::vector<std::string> keys;
    for (const auto& e : entries) keys.push_back(e.GetComponentID() + "@" + e.GetVersion());
    return keys;
  }

  std::string log_;
  ScopedTempDir common_;
  FakeClock clock_;
  CZEVProductInnerStrategy::Options options_;
  Counter reports_;
};

}  // namespace

TEST_F(ProductStrategyTest, OffersTheHighestIntactVersionOfEveryComponent) {
  AddPackage("a", PackageOf({{"app", "x", "2.0"}}));
  TestComponent broken{"app", "y", "1.0"};
  broken.hash = std::string(64, '0');
  AddPackage("b", PackageOf({{"app", "x", "2.1"}, broken}));
  AddPackage("c", PackageOf({{"app", "x", "2.1", "from c"}}));  // equal: the earlier folder stays
  ASSERT_TRUE(CreateDirectories(Product("d")));                            // no package at all

  CZEVProductInnerStrategy strategy(options_);
  std::vector<CZEVComponentProxy> entries;
  ASSERT_TRUE(strategy.GetComponents(&entries));
  ASSERT_EQ(Keys(entries), std::vector<std::string>{"x@2.1"});
  EXPECT_EQ(entries[0].GetInstallRoot(), Cache("b"));
  EXPECT_EQ(entries[0].GetSourceType(), cstProductBuildIn);
  EXPECT_TRUE(entries[0].GetUpdateFlag());
  EXPECT_TRUE(LogFileContains(log_, "cmpnt:y check hash failed : " + Cache("b") + "/app/y/1.0/x64/lib.so hash check error"));
}

TEST_F(ProductStrategyTest, EntriesWhosePathsLeaveTheCacheAreRefused) {
  // A file outside the cache that the escaping entries point at, with the
  // right digest: without the refusal they would pass the file check.
  ASSERT_TRUE(CreateDirectories(common_.path() + "/outside"));
  const std::string sentinel = common_.path() + "/outside/lib.so";
  ASSERT_TRUE(WriteFileAtomically(sentinel, "library"));
  TestComponent good{"app", "ok", "1.0"};
  TestComponent climbing_dir{"app", "dir", "1.0"};
  climbing_dir.directory = "../../../../../../outside";
  // (A name holding a NUL or another control character makes the whole
  // Config.json malformed: the catalogue reader's tests cover that.)
  std::vector<TestComponent> unsafe = {{"..", "code", "1.0"},          {"app", "a/b", "1.0"},
                                       {"app", "a\\\\b", "1.0"},       {"app", "ver", "1.0/../../x"},
                                       climbing_dir};
  TestComponent dots{"app", "dots", "1.0"};
  dots.file = "..";  // "...7z" installs as ".."
  unsafe.push_back(dots);
  TestComponent absolute{"app", "abs", "1.0"};
  absolute.directory = "//etc";
  unsafe.push_back(absolute);
  std::vector<TestComponent> all = unsafe;
  all.push_back(good);
  PackageFiles files = PackageOf({good});
  files["Config.json"] = ConfigJsonFor(all);
  AddPackage("p", files);

  CZEVProductInnerStrategy strategy(options_);
  std::vector<CZEVComponentProxy> entries;
  ASSERT_TRUE(strategy.GetComponents(&entries));
  EXPECT_EQ(Keys(entries), std::vector<std::string>{"ok@1.0"});
  EXPECT_TRUE(LogFileContains(log_, "Inner Component refused: app , dir , 1.0 in " + Cache("p") +
                                         ": resource directory \"../../../../../../outside/\""));
  EXPECT_TRUE(LogFileContains(log_, "Inner Component refused: app , dots , 1.0 in " + Cache("p") +
                                         ": resource name \"...7z\" is not a plain file name"));
  EXPECT_TRUE(LogFileContains(log_, "Inner Component refused: .. , code , 1.0"));
  EXPECT_TRUE(LogFileContains(log_, "Inner Component refused: app , abs , 1.0 in " + Cache("p") +
                                         ": resource directory \"/etc/\" is absolute"));
  EXPECT_EQ(ReadAll(sentinel), "library");
}

TEST_F(ProductStrategyTest, APublishedPackageReachesTheManagerWhichReadsOnItsThread) {
  CZEVProductInnerStrategy* target = nullptr;
  std::vector<CZEVComponentProxy> seen;
  // The manager recomputes the catalogue inside its callable, on the
  // strategy's timer thread.
  SourceChangedCallback manager = [&](CZEVComponentSourceType source) {
    seen.clear();
    target->GetComponents(&seen);
    reports_.Hit(source);
    return true;
  };
  CZEVProductInnerStrategy strategy(options_);
  target = &strategy;
  strategy.SetChangedCallback(&manager);
  std::vector<CZEVComponentProxy> entries;
  ASSERT_TRUE(strategy.GetComponents(&entries));
  EXPECT_TRUE(entries.empty());

  ASSERT_TRUE(CreateDirectories(Product("p")));
  const CZEVProductInnerWatcher* watcher = strategy.watcher();
  ASSERT_TRUE(PollUntil([&] { return watcher->changes_seen() >= 1; }));
  TestComponent build{"app", "x", "1.0", "first build"};
  build.file = build.entry_point = "old.sh";
  ASSERT_TRUE(PublishPackage(Work(), Product("p"), PackageOf({build})));
  ASSERT_TRUE(RunWatcherUpdate(watcher, &clock_, 1));
  ASSERT_TRUE(RunNotify(1));
  EXPECT_EQ(reports_.values(), std::vector<int64_t>{cstProductBuildIn});
  EXPECT_EQ(Keys(seen), std::vector<std::string>{"x@1.0"});

  // Rebuilt with the same version: the new file is offered, the one only the first build had is gone.
  build.content = "second build";
  build.file = build.entry_point = "lib.so";
  ASSERT_TRUE(PublishPackage(Work(), Product("p"), PackageOf({build})));
  ASSERT_TRUE(RunWatcherUpdate(watcher, &clock_, 2));
  ASSERT_TRUE(RunNotify(2));
  EXPECT_EQ(Keys(seen), std::vector<std::string>{"x@1.0"});
  EXPECT_EQ(ReadAll(Cache("p") + "/app/x/1.0/x64/lib.so"), "second build");
  EXPECT_FALSE(FileExists(Cache("p") + "/app/x/1.0/x64/old.sh"));

  // A later version naming a file only an earlier package held is refused.
  build.version = "3";
  build.entry_point = "old.sh";
  ASSERT_TRUE(PublishPackage(Work(), Product("p"), PackageOf({build})));
  ASSERT_TRUE(RunWatcherUpdate(watcher, &clock_, 3));
  ASSERT_TRUE(RunNotify(3));
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(DirectoryExists(Cache("p") + "/app/x/1.0"));
}

TEST_F(ProductStrategyTest, ABurstOfChangesIsReportedOnceAfterTheLast) {
  AddPackage("p", PackageOf({{"app", "x", "1.0"}}));
  SourceChangedCallback manager = [&](CZEVComponentSourceType source) {
    reports_.Hit(source);
    return true;
  };
  CZEVProductInnerStrategy strategy(options_);
  strategy.SetChangedCallback(&manager);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(strategy.OnPackagesChanged(Cache("p")));
    if (i < 2) clock_.AdvanceSeconds(2);
  }
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  clock_.Advance(4900);
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  EXPECT_EQ(reports_.count(), 0);
  clock_.Advance(100);
  ASSERT_TRUE(reports_.WaitFor(1));
  EXPECT_EQ(clock_.NextDeadline(), Clock::kNoDeadline);  // nothing else is pending
  EXPECT_EQ(reports_.count(), 1);
}

TEST_F(ProductStrategyTest, DestructionWaitsForAReportUnderWay) {
  AddPackage("p", PackageOf({{"app", "x", "1.0"}}));
  CZEVProductInnerStrategy* strategy = nullptr;
  Latch entered, release;
  size_t offered = 0;
  SourceChangedCallback manager = [&](CZEVComponentSourceType) {
    entered.Open();
    release.Wait();
    std::vector<CZEVComponentProxy> entries;
    strategy->GetComponents(&entries);
    offered = entries.size();
    return true;
  };
  strategy = new CZEVProductInnerStrategy(options_);
  strategy->SetChangedCallback(&manager);
  ASSERT_TRUE(strategy->OnPackagesChanged(Cache("p")));
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  clock_.AdvanceSeconds(5);
  ASSERT_TRUE(entered.Wait());
  // Destroyed on another thread while the report is in the manager's
  // callable; a change arriving now arms nothing.
  std::thread destroyer([&] { delete strategy; });
  release.Open();
  destroyer.join();
  EXPECT_EQ(offered, 1u);
}

}  // namespace zev
