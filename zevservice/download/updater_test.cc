// The download task manager end to end: the real zevdownloader (placed
// beside this test) fetching packages made with the real 7z tool from a
// loopback HTTP server, into a temporary install root.
#include "download/updater.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "download/archive_test_util.h"
#include "download/download_test_util.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"
#include "tools/zevdownloader/loopback_http_server.h"

namespace zev {

namespace {

namespace fs = std::filesystem;
using downloader::HttpConnection;
using downloader::HttpRequest;
using downloader::LoopbackHttpServer;

using Event = std::pair<std::string, uint16_t>;

struct Update {
  std::string key;
  bool success;
  bool finished;
  bool operator==(const Update& o) const { return key == o.key && success == o.success && finished == o.finished; }
};
void PrintTo(const Update& u, std::ostream* os) { *os << "{\"" << u.key << "\", " << u.success << ", " << u.finished << "}"; }

using Package = TestPackage;

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    root_ = tmp_.Sub("install root");  // a blank on the way
    server_ = std::make_unique<LoopbackHttpServer>(
        [this](const HttpRequest& request, HttpConnection& c) { Answer(request, c); });
    ASSERT_TRUE(server_->Start());
    on_event_ = [this](const std::string& text, uint16_t code) {
      std::lock_guard<std::mutex> lock(mu_);
      events_.emplace_back(text, code);
      return true;
    };
    on_update_ = [this](const std::string& key, bool success, bool finished) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        updates_.push_back({key, success, finished});
      }
      if (key.empty() && finished) runs_.Hit();
      return true;
    };
  }
  void TearDown() override { server_->Stop(); }

  void Answer(const HttpRequest& request, HttpConnection& c) {
    std::string body;
    bool hold = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const int n = ++requests_[request.path];
      auto it = files_.find(request.path);
      if (it == files_.end()) {
        c.SendHead(404, {"Content-Length: 0"});
        return;
      }
      body = it->second;
      hold = held_paths_.count(request.path) != 0 && (n == 1 || !held_once_.count(request.path));
    }
    c.SendHead(200, {"Content-Length: " + std::to_string(body.size())});
    if (hold) {
      c.Send(body.data(), body.size() / 2);
      held_.Open();
      c.HoldUntilClosed();
      return;
    }
    c.Send(body);
  }

  Package MakePackage(const std::string& inner_name, const std::string& content) {
    const std::string stage = tmp_.Sub("stage-" + std::to_string(++packages_made_));
    fs::create_directories(stage);
    Package p;
    EXPECT_TRUE(MakeTestPackage(stage, inner_name, content, &p));
    return p;
  }

  // Serves `p` at `path`; `hold`: the first request (or every one) gets half
  // the body and then a silent connection.
  void Serve(const std::string& path, const Package& p, bool hold = false, bool hold_once = true) {
    std::lock_guard<std::mutex> lock(mu_);
    files_[path] = p.bytes;
    if (hold) held_paths_.insert(path);
    if (hold && hold_once) held_once_.insert(path);
  }

  CZEVComponentProxy Entry(const std::string& id, const std::string& version = "1.0") {
    CZEVComponentProxy entry;
    entry.SetAppCode("app");
    entry.SetComponentID(id);
    entry.SetInstallRoot(root_);
    CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
    v->set_version(version);
    v->set_archtype(atx64);
    return entry;
  }

  static void AddResource(CZEVComponentProxy* entry, const std::string& url, const std::string& name,
                          const std::string& directory, const Package& p) {
    CZEVResource* r = entry->mutable_component()->mutable_versions()->mutable_version(0)->mutable_manifest()
                          ->mutable_resources()->add_resource();
    r->set_path(url);
    r->set_name(name);
    r->set_directory(directory);
    r->set_zuphash(p.zup_hash);
    r->set_hash(p.hash);
    r->set_zupsize(static_cast<int32_t>(p.bytes.size()));
  }

  std::unique_ptr<CZEVUpdater> MakeUpdater() {
    auto updater = std::make_unique<CZEVUpdater>();
    EXPECT_TRUE(updater->isInitialised()) << updater->getLastError();
    EXPECT_TRUE(updater->setLogEventCallback(&on_event_));
    EXPECT_TRUE(updater->setUpdateCallback(&on_update_));
    return updater;
  }

  // Events about `key` (code 1000 texts are left out).
  std::vector<uint16_t> CodesOf(const std::string& key) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<uint16_t> codes;
    for (const Event& e : events_)
      if (e.first == key) codes.push_back(e.second);
    return codes;
  }
  std::vector<std::string> ErrorTexts() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> texts;
    for (const Event& e : events_)
      if (e.second == kUpdaterError) texts.push_back(e.first);
    return texts;
  }
  std::vector<Update> Updates() {
    std::lock_guard<std::mutex> lock(mu_);
    return updates_;
  }
  int Requests(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_[path];
  }

  std::string InstallDir(const std::string& id, const std::string& version = "1.0") {
    return root_ + "/app/" + id + "/" + version + "/x64/";
  }

  ScopedTempDir tmp_;
  std::string root_;
  std::unique_ptr<LoopbackHttpServer> server_;
  CZEVUpdater::LogEventCallback on_event_;
  CZEVUpdater::UpdateCallback on_update_;
  Counter runs_;
  Latch held_;
  int packages_made_ = 0;

  std::mutex mu_;
  std::map<std::string, std::string> files_;  // guarded by mu_
  std::set<std::string> held_paths_;           // guarded by mu_
  std::set<std::string> held_once_;            // guarded by mu_
  std::map<std::string, int> requests_;        // guarded by mu_
  std::vector<Event> events_;                  // guarded by mu_
  std::vector<Update> updates_;                // guarded by mu_
};

TEST_F(UpdaterTest, InstallsTwoResourcesAndReportsEachStep) {
  const Package lib = MakePackage("lib.so", std::string(200000, 'L'));
  const Package run = MakePackage("run.sh", "#!/bin/sh\necho hi\n");
  Serve("/p/lib.so.7z", lib);
  Serve("/p/run.sh.7z", run);
  CZEVComponentProxy entry = Entry("comp");
  AddResource(&entry, server_->Url("/p/lib.so.7z"), "lib.so.7z", "bin\\", lib);
  AddResource(&entry, server_->Url("/p/run.sh.7z"), "run.sh.7z", "", run);
  std::string error;
  ASSERT_NE(entry.CheckInstalledFiles(&error), 0);

  auto updater = MakeUpdater();
  ASSERT_TRUE(updater->addTask(entry)) << updater->getLastError();
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));

  const std::string key = "app#comp#1.0#x64";
  EXPECT_EQ(CodesOf(key), (std::vector<uint16_t>{kTaskAdded, kTaskBegun, kTaskDownloaded, kTaskVerified}));
  EXPECT_TRUE(ErrorTexts().empty());
  EXPECT_EQ(Updates(), (std::vector<Update>{{key, true, false}, {"", true, true}}));
  // The entry's own check agrees, and only the unpacked files remain.
  EXPECT_EQ(entry.CheckInstalledFiles(&error), 0) << error;
  EXPECT_EQ(ReadAll(InstallDir("comp") + "bin/lib.so"), std::string(200000, 'L'));
  EXPECT_FALSE(fs::exists(InstallDir("comp") + "bin/lib.so.7z"));
  EXPECT_FALSE(fs::exists(InstallDir("comp") + "run.sh.7z"));
  EXPECT_EQ(Requests("/p/lib.so.7z"), 1);
  EXPECT_EQ(Requests("/p/run.sh.7z"), 1);
  EXPECT_FALSE(updater->isRunning());
}

TEST_F(UpdaterTest, AVerifiedPackageAlreadyThereIsNotFetchedAgain) {
  const Package p = MakePackage("data.bin", "payload");
  Serve("/d.7z", p);
  CZEVComponentProxy entry = Entry("comp");
  AddResource(&entry, server_->Url("/d.7z"), "data.bin.7z", "", p);
  fs::create_directories(InstallDir("comp"));
  ASSERT_TRUE(WriteFileAtomically(InstallDir("comp") + "data.bin.7z", p.bytes));

  auto updater = MakeUpdater();
  ASSERT_TRUE(updater->addTask(entry));
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));
  EXPECT_EQ(Requests("/d.7z"), 0);
  EXPECT_EQ(ReadAll(InstallDir("comp") + "data.bin"), "payload");
  EXPECT_FALSE(fs::exists(InstallDir("comp") + "data.bin.7z"));
}

// A wrong package is fetched three times, then its task fails; a package
// that verifies but unpacks to a file that does not fails its task too.
TEST_F(UpdaterTest, AWrongPackageOrUnpackedFileFailsTheTask) {
  Package p = MakePackage("data.bin", "payload");
  Serve("/d.7z", p);
  p.zup_hash = std::string(64, '0');
  CZEVComponentProxy entry = Entry("comp");
  AddResource(&entry, server_->Url("/d.7z"), "data.bin.7z", "", p);
  Package unpacked = MakePackage("data.bin", "payload");
  Serve("/e.7z", unpacked);
  unpacked.hash = std::string(64, '0');
  CZEVComponentProxy other = Entry("comp2");
  AddResource(&other, server_->Url("/e.7z"), "data.bin.7z", "", unpacked);

  auto updater = MakeUpdater();
  ASSERT_TRUE(updater->addTask(entry));
  ASSERT_TRUE(updater->addTask(other));
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));

  const std::string key = "app#comp#1.0#x64";
  const std::string pkg = InstallDir("comp") + "data.bin.7z";
  EXPECT_EQ(Requests("/d.7z"), 3);
  EXPECT_EQ(CodesOf(key), (std::vector<uint16_t>{kTaskAdded, kTaskBegun, kTaskDownloadFailed}));
  EXPECT_EQ(ErrorTexts(), (std::vector<std::string>{pkg + " hash check failed :3", pkg + " hash check failed :2",
                                                    pkg + " hash check failed :1"}));
  const std::string key2 = "app#comp2#1.0#x64";
  EXPECT_EQ(CodesOf(key2), (std::vector<uint16_t>{kTaskAdded, kTaskBegun, kTaskDownloaded, kTaskVerifyFailed}));
  EXPECT_EQ(Updates(), (std::vector<Update>{{key, false, false}, {key2, false, false}, {"", true, true}}));
  // The bad package is gone and nothing was unpacked.
  EXPECT_FALSE(fs::exists(pkg));
  EXPECT_FALSE(fs::exists(InstallDir("comp") + "data.bin"));
}

TEST_F(UpdaterTest, APackageBeyondItsDeclaredSizeOrTheFreeSpaceFailsEachAttemptAtOnce) {
  const Package p = MakePackage("data.bin", "payload");
  Serve("/d.7z", p);
  const std::string small = tmp_.Sub("small");
  if (!fs::create_directories(small) || mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0)
    GTEST_SKIP() << "cannot mount tmpfs";
  struct Unmount { std::string path; ~Unmount() { umount2(path.c_str(), MNT_DETACH); } } unmount{small};
  const Package shorter{p.bytes.substr(1), p.zup_hash, p.hash};  // declared a byte short of what is served
  CZEVComponentProxy big = Entry("big"), roomy = Entry("roomy");
  AddResource(&big, server_->Url("/d.7z"), "data.bin.7z", "", shorter);
  roomy.SetInstallRoot(small);
  AddResource(&roomy, server_->Url("/d.7z"), "data.bin.7z", "", p);
  roomy.mutable_component()->mutable_versions()->mutable_version(0)->mutable_manifest()->mutable_resources()
      ->mutable_resource(0)->set_size(256 << 10);  // with the package, beyond the whole file system
  auto updater = MakeUpdater();
  ASSERT_TRUE(updater->addTask(big) && updater->addTask(roomy) && updater->start());
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));
  const std::vector<std::string> errors = ErrorTexts();
  ASSERT_EQ(errors.size(), 6u);
  EXPECT_EQ(errors[0], "data.bin.7z down load failed:3 :download larger than declared size");
  EXPECT_EQ(errors[3].find(small + "/app/roomy/1.0/x64/ has no enough space"), 32u) << errors[3];
  EXPECT_EQ(Requests("/d.7z"), 3);  // none for the full file system
  EXPECT_FALSE(fs::exists(InstallDir("big") + "data.bin.7z") || fs::exists(InstallDir("big") + "data.bin.7z.part"));
}

TEST_F(UpdaterTest, AFailingDownloadCountsItsAttemptsAndCleansOnlyInsideTheComponent) {
  // The package name has no ".": cut from the whole path, the unpacked name
  // would be ".../comp/1" (the "." of the version), a file beside the
  // version's folder that the clean-up would delete.
  const std::string sentinel = root_ + "/app/comp/1";
  fs::create_directories(root_ + "/app/comp");
  ASSERT_TRUE(WriteFileAtomically(sentinel, "keep"));
  CZEVComponentProxy entry = Entry("comp");
  AddResource(&entry, server_->Url("/missing"), "pkg", "", Package{"", "x", "y"});

  auto updater = MakeUpdater();
  ASSERT_TRUE(updater->addTask(entry));
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));
  EXPECT_EQ(Requests("/missing"), 3);
  EXPECT_EQ(ErrorTexts(), (std::vector<std::string>{"pkg down load failed:3 :down process ret:7",
                                                    "pkg down load failed:2 :down process ret:7",
                                                    "pkg down load failed:1 :down process ret:7"}));
  EXPECT_EQ(ReadAll(sentinel), "keep");
  EXPECT_EQ(updater->getLastError(), InstallDir("comp") + "pkg getRawname failed");
}

TEST_F(UpdaterTest, AKilledDownloaderIsRetried) {
  const Package p = MakePackage("data.bin", std::string(100000, 'd'));
  Serve("/d.7z", p, /*hold=*/true);
  CZEVComponentProxy entry = Entry("comp");
  AddResource(&entry, server_->Url("/d.7z"), "data.bin.7z", "", p);

  auto updater = MakeUpdater();
  ASSERT_TRUE(updater->addTask(entry));
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(held_.Wait());
  const pid_t child = AwaitChildDownloader();
  ASSERT_NE(child, 0);
  ASSERT_EQ(kill(child, SIGKILL), 0);
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));

  const std::vector<std::string> errors = ErrorTexts();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("data.bin.7z down load failed:3 :", 0), 0u) << errors[0];
  EXPECT_EQ(Updates().front(), (Update{"app#comp#1.0#x64", true, false}));
  EXPECT_EQ(ReadAll(InstallDir("comp") + "data.bin"), std::string(100000, 'd'));
  EXPECT_GE(Requests("/d.7z"), 2);
}

TEST_F(UpdaterTest, TextsThatWouldLeaveTheInstallFolderAreRefused) {
  const std::string sentinel = tmp_.Sub("sentinel");
  ASSERT_TRUE(WriteFileAtomically(sentinel, "keep"));
  const Package p = MakePackage("s", "x");
  Serve("/s.7z", p);
  struct Case {
    std::string app, id, version, name, directory, error_part;
  };
  const std::vector<Case> cases = {
      {"app", "comp", "1.0", "../../../sentinel", "", "resource name"},
      {"app", "comp", "1.0", "a/b.7z", "", "resource name"},
      {"app", "comp", "1.0", "a\\b.7z", "", "resource name"},
      {"app", "comp", "1.0", "..", "", "resource name"},
      {"app", "comp", "1.0", "...7z", "", "resource name"},
      {"app", "comp", "1.0", "s.7z", "..\\..\\..\\..\\", "resource directory"},
      {"app", "comp", "1.0", "s.7z", "bin/../../../../..", "resource directory"},
      {"app", "comp", "1.0", "s.7z", "\\..\\x", "resource directory"},
      {"..", "comp", "1.0", "s.7z", "", "application code"},
      {"app", "a/../../..", "1.0", "s.7z", "", "componentID"},
      {"app", "comp", "..", "s.7z", "", "version"},
      {"app", "comp", std::string("1\0", 2), "s.7z", "", "version"},
  };
  auto updater = MakeUpdater();
  for (const Case& c : cases) {
    CZEVComponentProxy entry = Entry(c.id, c.version);
    entry.SetAppCode(c.app);
    AddResource(&entry, server_->Url("/s.7z"), c.name, c.directory, p);
    EXPECT_FALSE(updater->addTask(entry)) << c.name << " " << c.directory;
    EXPECT_NE(updater->getLastError().find(c.error_part), std::string::npos) << updater->getLastError();
  }
  // A nested relative folder and the server's own install root stay allowed.
  CZEVComponentProxy fine = Entry("comp");
  fine.SetInstallRoot(root_ + "/../elsewhere");
  AddResource(&fine, server_->Url("/s.7z"), "s.7z", "\\bin\\sub\\", p);
  EXPECT_TRUE(updater->addTask(fine)) << updater->getLastError();
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));
  EXPECT_EQ(ReadAll(tmp_.Sub("elsewhere/app/comp/1.0/x64/bin/sub/s")), "x");
  EXPECT_EQ(ReadAll(sentinel), "keep");
  EXPECT_EQ(Requests("/s.7z"), 1);
}

TEST_F(UpdaterTest, AnInstallRootAnotherUserCouldChangeIsRefused) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  const std::string sentinel = tmp_.Sub("sentinel"), home = tmp_.Sub("home"), open = tmp_.Sub("open");
  ASSERT_TRUE(WriteFileAtomically(sentinel, "keep"));
  for (const std::string& dir : {home, open}) fs::create_directories(dir);
  ASSERT_EQ(chmod(tmp_.path().c_str(), 0711) | chown(home.c_str(), user.uid(), -1) | chmod(open.c_str(), 0777), 0);
  // The user's folder, with the partial file planted as a link; a link from it; a folder all may write.
  const std::string planted = home + "/root/app/c0/1.0/x64";
  ASSERT_EQ(user.Run("mkdir -p " + planted + " && ln -s " + sentinel + " " + planted + "/d.7z.part && ln -s " +
                     tmp_.path() + " " + home + "/link"), 0);
  const std::vector<std::string> roots = {home + "/root", home + "/link", open + "/root"};
  const Package p = MakePackage("d", "payload");
  Serve("/d.7z", p);
  auto updater = MakeUpdater();
  for (size_t i = 0; i < roots.size(); ++i) {
    CZEVComponentProxy entry = Entry("c" + std::to_string(i));
    entry.SetInstallRoot(roots[i]);
    AddResource(&entry, server_->Url("/d.7z"), "d.7z", "", p);
    ASSERT_TRUE(updater->addTask(entry));
  }
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(runs_.WaitFor(1, std::chrono::seconds(30)));
  for (size_t i = 0; i < roots.size(); ++i)
    EXPECT_EQ(CodesOf("app#c" + std::to_string(i) + "#1.0#x64"),
              (std::vector<uint16_t>{kTaskAdded, kTaskBegun, kTaskDownloadFailed}));
  EXPECT_EQ(Requests("/d.7z"), 0);
  EXPECT_EQ(ReadAll(sentinel), "keep");
}

TEST_F(UpdaterTest, QueueingRules) {
  const Package p = MakePackage("ff", "x");
  Serve("/a.7z", p);
  Serve("/b.7z", p);
  auto updater = MakeUpdater();

  // Nothing queued: the run closes at once.
  EXPECT_FALSE(updater->start());
  EXPECT_EQ(updater->getLastError(), "taskslist is null");
  EXPECT_EQ(Updates(), (std::vector<Update>{{"", true, true}}));

  CZEVComponentProxy no_version;
  no_version.SetAppCode("app");
  EXPECT_FALSE(updater->addTask(no_version));
  EXPECT_EQ(updater->getLastError(), "addTask error when getManifest");

  CZEVComponentProxy twice = Entry("twice");
  AddResource(&twice, server_->Url("/a.7z"), "ff.7z", "", p);
  AddResource(&twice, server_->Url("/a.7z"), "gg.7z", "x\\", p);
  EXPECT_FALSE(updater->addTask(twice));
  EXPECT_EQ(updater->getLastError(), "Has same Url, add downloadtask error:" + server_->Url("/a.7z"));

  CZEVComponentProxy unnamed = Entry("");
  AddResource(&unnamed, server_->Url("/a.7z"), "ff.7z", "", p);
  EXPECT_FALSE(updater->addTask(unnamed));
  EXPECT_EQ(updater->getLastError(), "componet has empty paramter");

  // The same key queued twice: the second task replaces the first.
  CZEVComponentProxy first = Entry("comp");
  AddResource(&first, server_->Url("/a.7z"), "ff.7z", "", p);
  CZEVComponentProxy second = Entry("comp");
  AddResource(&second, server_->Url("/b.7z"), "ff.7z", "", p);
  ASSERT_TRUE(updater->addTask(first));
  ASSERT_TRUE(updater->addTask(second));
  // A version without resources completes at once.
  ASSERT_TRUE(updater->addTask(Entry("empty")));
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(runs_.WaitFor(2, std::chrono::seconds(30)));
  EXPECT_EQ(Requests("/a.7z"), 0);
  EXPECT_EQ(Requests("/b.7z"), 1);
  EXPECT_EQ(CodesOf("app#empty#1.0#x64"), (std::vector<uint16_t>{kTaskAdded, kTaskBegun, kTaskDownloaded, kTaskVerified}));
  EXPECT_EQ(Updates(), (std::vector<Update>{{"", true, true},
                                            {"app#comp#1.0#x64", true, false},
                                            {"app#empty#1.0#x64", true, false},
                                            {"", true, true}}));

  CZEVUpdater bare;
  EXPECT_FALSE(bare.setUpdateCallback(nullptr));
  EXPECT_EQ(bare.getLastError(), "update callback is null");
  EXPECT_FALSE(bare.setLogEventCallback(nullptr));
  EXPECT_EQ(bare.getLastError(), "logEvent callback is null");
}

TEST_F(UpdaterTest, TasksQueuedDuringARunAreEachInstalledOnce) {
  auto updater = MakeUpdater();
  constexpr int kTasks = 40;
  std::thread owner([&] {
    for (int i = 0; i < kTasks; ++i) {
      ASSERT_TRUE(updater->addTask(Entry("c" + std::to_string(i))));
      updater->start();
    }
  });
  owner.join();
  // Every run closes; wait until no worker is left and the last run closed.
  ASSERT_TRUE(PollUntil([&] { return !updater->isRunning(); }));
  updater.reset();
  std::map<std::string, int> installed;
  for (const Update& u : Updates())
    if (!u.key.empty()) ++installed[u.key];
  ASSERT_EQ(installed.size(), static_cast<size_t>(kTasks));
  for (const auto& [key, count] : installed) EXPECT_EQ(count, 1) << key;
  EXPECT_TRUE(Updates().back().key.empty());
}

TEST_F(UpdaterTest, StopEndsAStalledDownloadAtOnceAndIsFinal) {
  const Package p = MakePackage("data.bin", std::string(100000, 'd'));
  Serve("/d.7z", p, /*hold=*/true, /*hold_once=*/false);
  CZEVComponentProxy entry = Entry("comp");
  AddResource(&entry, server_->Url("/d.7z"), "data.bin.7z", "", p);

  auto updater = MakeUpdater();
  ASSERT_TRUE(updater->addTask(entry));
  ASSERT_TRUE(updater->start());
  ASSERT_TRUE(held_.Wait());
  const auto begun = std::chrono::steady_clock::now();
  updater->stop();
  const auto took = std::chrono::steady_clock::now() - begun;
  // Far below the downloader's own 60 s stall limit.
  EXPECT_LT(took, std::chrono::seconds(5));
  std::cout << "stop took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
  EXPECT_EQ(AwaitChildDownloader(0), 0);
  EXPECT_EQ(CodesOf("app#comp#1.0#x64"), (std::vector<uint16_t>{kTaskAdded, kTaskBegun}));
  EXPECT_TRUE(Updates().empty());

  EXPECT_FALSE(updater->addTask(entry));
  EXPECT_FALSE(updater->start());
  updater->stop();

  // Destroyed while a download is under way, without a stop first.
  auto other = MakeUpdater();
  ASSERT_TRUE(other->addTask(entry));
  ASSERT_TRUE(other->start());
  ASSERT_TRUE(PollUntil([&] { return AwaitChildDownloader(0) != 0; }));
  other.reset();
  EXPECT_EQ(AwaitChildDownloader(0), 0);
}

}  // namespace

}  // namespace zev
