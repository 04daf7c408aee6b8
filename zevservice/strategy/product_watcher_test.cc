#include "strategy/product_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "strategy/product_test_util.h"
#include "testing/fake_clock.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

bool RunWatcherUpdate(const CZEVProductInnerWatcher* watcher, FakeClock* clock, uint64_t kept) {
  if (!PollUntil([&] { return watcher->changes_kept() >= kept; })) return false;
  const uint64_t runs = watcher->runs_finished();
  if (!clock->AwaitTimedWaiters(1)) return false;
  clock->AdvanceSeconds(CZEVProductInnerWatcher::kUpdateDelaySeconds);
  return PollUntil([&] { return watcher->runs_finished() > runs; });
}

namespace {

class ProductWatcherTest : public ::testing::Test {
 protected:
  CZEVProductInnerWatcher::Options Opts() {
    CZEVProductInnerWatcher::Options options;
    options.clock = &clock_;
    options.watch_clock = Clock::Real();
    options.components_dir = Components();
    options.cache_dir = common_.path() + "/components_cache";
    options.staging_dir = common_.path() + "/components_staging";
    return options;
  }
  std::string Components() const { return common_.path() + "/Varnel/components"; }
  std::string Product(const std::string& name) const { return Components() + "/" + name; }
  std::string Cache(const std::string& name) const { return common_.path() + "/components_cache/" + name; }
  std::string Work() const { return common_.path() + "/work"; }
  // A product folder made while the watcher runs; its report is awaited so
  // that the package written into it next is reported exactly once.
  void MakeProductFolder(CZEVProductInnerWatcher* w, const std::string& name) {
    const uint64_t seen = w->changes_seen();
    ASSERT_TRUE(CreateDirectories(Product(name)));
    ASSERT_TRUE(PollUntil([&] { return w->changes_seen() > seen; }));
  }

  ScopedTempDir common_;
  FakeClock clock_;
};

// The names of the configuration files at the top of a cache folder.
std::vector<std::string> ConfigNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (struct dirent* e = readdir(dir)) {
      if (strcasecmp(e->d_name, "config.json") == 0) names.push_back(e->d_name);
    }
    closedir(dir);
  }
  return names;
}

ino_t InodeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

TEST_F(ProductWatcherTest, StartBuildsTheCacheFromEveryProductFolder) {
  ASSERT_TRUE(CreateDirectories(Work()));
  ASSERT_TRUE(CreateDirectories(Product("zeta")));
  ASSERT_TRUE(CreateDirectories(Product("alpha")));
  ASSERT_TRUE(CreateDirectories(Product("empty")));
  ASSERT_TRUE(MakePackage(Work(), Product("zeta") + "/components.7z", {{"Config.json", "[]"}, {"z/f", "z"}}));
  // A package that names its configuration in lower case is stored as Config.json.
  ASSERT_TRUE(MakePackage(Work(), Product("alpha") + "/components.7z", {{"config.json", "[]"}, {"a/f", "a"}}));
  ASSERT_TRUE(CreateDirectories(Cache("stale")));  // left from an earlier run

  CZEVProductInnerWatcher w(Opts());
  ASSERT_TRUE(w.initialised());
  std::vector<std::string> folders;
  ASSERT_TRUE(w.GetFolders(&folders));
  EXPECT_EQ(folders, (std::vector<std::string>{Cache("alpha"), Cache("empty"), Cache("zeta")}));
  EXPECT_FALSE(DirectoryExists(Cache("stale")));
  EXPECT_EQ(ConfigNames(Cache("alpha")), std::vector<std::string>{"Config.json"});
  EXPECT_EQ(ReadAll(Cache("alpha") + "/a/f"), "a");
  EXPECT_EQ(ReadAll(Cache("zeta") + "/z/f"), "z");
  EXPECT_TRUE(ConfigNames(Cache("empty")).empty());
  // The staging folder is private and holds nothing once the scan is done.
  EXPECT_EQ(ModeOf(w.staging_dir()) & 07777, 0700u);
  EXPECT_TRUE(std::filesystem::is_empty(w.staging_dir()));

  // A stop asked for before the scan leaves the packages unpacked, and the
  // watcher's own stops still work afterwards.
  std::atomic<bool> stop{true};
  CZEVProductInnerWatcher::Options stopping = Opts();
  stopping.stop = &stop;
  CZEVProductInnerWatcher cut(stopping);
  EXPECT_FALSE(FileExists(Cache("alpha") + "/a/f"));
  cut.Stop();
}

TEST_F(ProductWatcherTest, PublishingMovingAndWithdrawingPackages) {
  ASSERT_TRUE(CreateDirectories(Work()));
  ASSERT_TRUE(CreateDirectories(Product("p")));
  Counter calls;
  std::vector<std::string> called;
  CZEVProductInnerWatcher::ChangeCallable callable = [&](const std::string& folder) {
    called.push_back(folder);
    calls.Hit();
    return true;
  };
  CZEVProductInnerWatcher w(Opts());
  w.SetChangeCallable(&callable);
  ASSERT_TRUE(w.Start());

  // Written beside and renamed to components.7z: an update, not a withdrawal.
  ASSERT_TRUE(PublishPackage(Work(), Product("p"), {{"Config.json", "[1]"}, {"bin/f", "one"}}));
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 1));
  EXPECT_EQ(ReadAll(Cache("p") + "/Config.json"), "[1]");
  EXPECT_EQ(ReadAll(Cache("p") + "/bin/f"), "one");
  ASSERT_EQ(called, std::vector<std::string>{Cache("p")});

  // Moved in from outside the components folder: an update too.
  MakeProductFolder(&w, "q");
  ASSERT_TRUE(MakePackage(Work(), Work() + "/q.7z", {{"Config.json", "[2]"}}));
  ASSERT_EQ(rename((Work() + "/q.7z").c_str(), (Product("q") + "/components.7z").c_str()), 0);
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 2));
  EXPECT_EQ(ReadAll(Cache("q") + "/Config.json"), "[2]");

  // Renamed away from components.7z: withdrawn. Deleted: withdrawn. Only the
  // configuration goes; the files and the listed folder stay.
  ASSERT_EQ(rename((Product("p") + "/components.7z").c_str(), (Product("p") + "/old.7z").c_str()), 0);
  ASSERT_EQ(unlink((Product("q") + "/components.7z").c_str()), 0);
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 4));
  EXPECT_TRUE(ConfigNames(Cache("p")).empty());
  EXPECT_TRUE(ConfigNames(Cache("q")).empty());
  EXPECT_EQ(ReadAll(Cache("p") + "/bin/f"), "one");
  std::vector<std::string> folders;
  ASSERT_TRUE(w.GetFolders(&folders));
  EXPECT_EQ(folders, (std::vector<std::string>{Cache("p"), Cache("q")}));
  EXPECT_EQ(calls.count(), 4);
}

TEST_F(ProductWatcherTest, ChangesOfTwoProductsWithinTheDelayAllRun) {
  ASSERT_TRUE(CreateDirectories(Work()));
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(CreateDirectories(Product(name)));
  CZEVProductInnerWatcher w(Opts());
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(PublishPackage(Work(), Product("a"), {{"Config.json", "[\"a\"]"}}));
  ASSERT_TRUE(PollUntil([&] { return w.changes_kept() == 1; }));
  ASSERT_TRUE(PublishPackage(Work(), Product("b"), {{"Config.json", "[\"b\"]"}}));
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 2));
  EXPECT_EQ(ReadAll(Cache("a") + "/Config.json"), "[\"a\"]");
  EXPECT_EQ(ReadAll(Cache("b") + "/Config.json"), "[\"b\"]");
  EXPECT_EQ(w.runs_finished(), 1u);
}

TEST_F(ProductWatcherTest, UpdatesWaitForTheDelayAfterTheLastReport) {
  ASSERT_TRUE(CreateDirectories(Work()));
  ASSERT_TRUE(CreateDirectories(Product("p")));
  CZEVProductInnerWatcher w(Opts());
  ASSERT_TRUE(w.Start());
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(PublishPackage(Work(), Product("p"), {{"Config.json", "[" + std::to_string(i) + "]"}}));
    ASSERT_TRUE(PollUntil([&] { return w.changes_kept() == static_cast<uint64_t>(i); }));
    if (i < 3) clock_.AdvanceSeconds(2);
  }
  // 4.9 s after the last report nothing has run; at 5 s one run takes the last package.
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  clock_.Advance(4900);
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  EXPECT_EQ(w.runs_finished(), 0u);
  EXPECT_FALSE(FileExists(Cache("p") + "/Config.json"));
  clock_.Advance(100);
  ASSERT_TRUE(PollUntil([&] { return w.runs_finished() == 1; }));
  EXPECT_EQ(ReadAll(Cache("p") + "/Config.json"), "[3]");
}

TEST_F(ProductWatcherTest, SameVersionRebuildReplacesTheFilesThatDiffer) {
  ASSERT_TRUE(CreateDirectories(Work()));
  ASSERT_TRUE(CreateDirectories(Product("p")));
  ASSERT_TRUE(MakePackage(Work(), Product("p") + "/components.7z",
                          {{"Config.json", "[]"}, {"x/changed", "old"}, {"x/same", "same"}, {"x/gone", "g"}}));
  CZEVProductInnerWatcher w(Opts());
  ASSERT_TRUE(w.Start());
  const ino_t same_inode = InodeOf(Cache("p") + "/x/same");
  int held = open((Cache("p") + "/x/changed").c_str(), O_RDONLY);  // as a running program would
  ASSERT_GE(held, 0);

  ASSERT_TRUE(PublishPackage(Work(), Product("p"), {{"config.json", "[1]"}, {"x/changed", "new"}, {"x/same", "same"}}));
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 1));
  EXPECT_EQ(ReadAll(Cache("p") + "/x/changed"), "new");
  char buf[8] = {};
  EXPECT_EQ(pread(held, buf, sizeof(buf), 0), 3);
  EXPECT_STREQ(buf, "old");
  close(held);
  EXPECT_EQ(InodeOf(Cache("p") + "/x/same"), same_inode);  // unchanged files are left alone
  EXPECT_FALSE(FileExists(Cache("p") + "/x/gone"));        // the folder holds exactly the package
  EXPECT_EQ(ConfigNames(Cache("p")), std::vector<std::string>{"Config.json"});
  EXPECT_EQ(ReadAll(Cache("p") + "/Config.json"), "[1]");
}

TEST_F(ProductWatcherTest, OnlyPackagesThatRootAloneCanChangeAreUnpacked) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  const PackageFiles files = {{"Config.json", "[]"}, {"x", "#!/bin/sh\n"}};
  const std::string users = Work() + "/user";  // the user's folder, with root's package and the user's
  ASSERT_TRUE(CreateDirectories(users));
  for (const char* name : {"linked", "owned", "writable", "root"}) ASSERT_TRUE(CreateDirectories(Product(name)));
  for (const std::string& path : {users + "/pkg.7z", users + "/components.7z", Product("owned") + "/components.7z",
                                  Product("writable") + "/components.7z", Product("root") + "/components.7z"}) {
    ASSERT_TRUE(MakePackage(Work(), path, files));
  }
  for (const std::string& path : {users, users + "/pkg.7z", Product("owned") + "/components.7z"}) {
    ASSERT_EQ(chown(path.c_str(), user.uid(), user.gid()), 0);
  }
  ASSERT_EQ(symlink((users + "/pkg.7z").c_str(), (Product("linked") + "/components.7z").c_str()), 0);
  ASSERT_EQ(symlink(users.c_str(), Product("linked_dir").c_str()), 0);
  ASSERT_EQ(chmod((Product("writable") + "/components.7z").c_str(), 0666), 0);

  CZEVProductInnerWatcher w(Opts());
  ASSERT_TRUE(w.Start());
  for (const char* name : {"linked", "linked_dir", "owned", "writable"}) EXPECT_FALSE(FileExists(Cache(name) + "/x"));
  EXPECT_TRUE(FileExists(Cache("root") + "/x"));
  EXPECT_EQ(w.packages_refused(), 4u);
  // Reported again for the same reason: refused without another log line.
  const std::string owned = Product("owned") + "/components.7z";
  ASSERT_EQ(rename(owned.c_str(), (Work() + "/o.7z").c_str()), 0);
  ASSERT_EQ(rename((Work() + "/o.7z").c_str(), owned.c_str()), 0);
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 2));
  EXPECT_EQ(w.packages_refused(), 4u);
}

TEST_F(ProductWatcherTest, APackageWrittenBeforeStartIsNotMissed) {
  ASSERT_TRUE(CreateDirectories(Work()));
  ASSERT_TRUE(CreateDirectories(Product("p")));
  CZEVProductInnerWatcher w(Opts());
  // Between the cache scan and Start, as during the service's start-up.
  ASSERT_TRUE(PublishPackage(Work(), Product("p"), {{"Config.json", "[]"}}));
  ASSERT_TRUE(PollUntil([&] { return w.changes_kept() == 1; }));
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 1));
  EXPECT_TRUE(FileExists(Cache("p") + "/Config.json"));
}

TEST_F(ProductWatcherTest, OtherFilesAndDeeperPackagesAreIgnored) {
  ASSERT_TRUE(CreateDirectories(Work()));
  ASSERT_TRUE(CreateDirectories(Product("p/sub")));
  ASSERT_TRUE(CreateDirectories(Product("q")));
  CZEVProductInnerWatcher w(Opts());
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(WriteFileAtomically(Product("p") + "/readme.txt", "x"));
  ASSERT_TRUE(MakePackage(Work(), Product("p/sub") + "/components.7z", {{"Config.json", "[]"}}));
  // Reports come in order: once q's package is kept, the others were seen.
  ASSERT_TRUE(PublishPackage(Work(), Product("q"), {{"Config.json", "[]"}}));
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock_, 1));
  EXPECT_GE(w.changes_seen(), 3u);
  EXPECT_EQ(w.changes_kept(), 1u);
  EXPECT_TRUE(FileExists(Cache("q") + "/Config.json"));
  EXPECT_FALSE(DirectoryExists(Cache("sub")));
}

TEST(ProductWatcher, FoldersWithBlanksAndSemicolonsWork) {
  ScopedTempDir tmp;
  FakeClock clock;
  const std::string root = tmp.Sub("data dir; rm -rf x");
  CZEVProductInnerWatcher::Options options;
  options.clock = &clock;
  options.watch_clock = Clock::Real();
  options.components_dir = root + "/my components";
  options.cache_dir = root + "/cache; x";
  options.staging_dir = root + "/staging dir";
  ASSERT_TRUE(CreateDirectories(options.components_dir + "/a b"));
  ASSERT_TRUE(MakePackage(tmp.path(), options.components_dir + "/a b/components.7z", {{"Config.json", "[]"}}));
  CZEVProductInnerWatcher w(options);
  ASSERT_TRUE(w.Start());
  EXPECT_TRUE(FileExists(options.cache_dir + "/a b/Config.json"));
  ASSERT_EQ(unlink((options.components_dir + "/a b/components.7z").c_str()), 0);
  ASSERT_TRUE(RunWatcherUpdate(&w, &clock, 1));
  EXPECT_FALSE(FileExists(options.cache_dir + "/a b/Config.json"));
}

TEST(ProductWatcher, WithoutACacheFolderItStaysUninitialised) {
  ScopedTempDir tmp;
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("file"), "x"));
  CZEVProductInnerWatcher::Options options;
  options.clock = Clock::Real();
  options.components_dir = tmp.Sub("components");
  options.cache_dir = tmp.Sub("file/cache");
  options.staging_dir = tmp.Sub("staging");
  CZEVProductInnerWatcher w(options);
  EXPECT_FALSE(w.initialised());
  EXPECT_EQ(w.GetLastError(), "init failed.");
  std::vector<std::string> folders;
  EXPECT_FALSE(w.GetFolders(&folders));
  EXPECT_FALSE(w.Start());
  EXPECT_EQ(w.GetLastError(), "no init before start.");
}

}  // namespace zev
