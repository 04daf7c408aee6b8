#include "download/dir_change_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "testing/fake_clock.h"
#include "testing/test_util.h"

namespace zev {

namespace {

struct Report {
  int id;
  int action;
  std::string root;
  std::string path;
  std::string old_path;
  bool has_old;
  void* user_data;
};

class Recorder {
 public:
  static void Callback(int id, int action, const char* root, const char* path, const char* old_path, void* user) {
    auto* self = static_cast<Recorder*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->reports_.push_back({id, action, root, path, old_path ? old_path : "", old_path != nullptr, user});
  }
  std::vector<Report> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Report> out;
    out.swap(reports_);
    return out;
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mu_);
    return reports_.size();
  }

 private:
  std::mutex mu_;
  std::vector<Report> reports_;
};

// Polls `done` until it holds or `timeout_ms` of real time passed.
bool Eventually(const std::function<bool()>& done, int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool WriteTo(const std::string& path, const std::string& data, bool create) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data.data(), data.size());
  close(fd);
  return ok;
}

std::string Describe(const std::vector<Report>& reports) {
  std::string text;
  for (const Report& r : reports) {
    text += std::to_string(r.id) + ":" + std::to_string(r.action) + ":" + r.path;
    if (r.has_old) text += "<-" + r.old_path;
    text += " ";
  }
  return text;
}

// A watcher on a fake clock: the test decides when a batch falls due, so
// what lands in one batch does not depend on the machine's speed.
class DirChangeWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(watcher_.Init()); }

  std::string Dir(const std::string& name) {
    std::string path = tmp_.Sub(name);
    EXPECT_TRUE(CreateDirectories(path));
    return path;
  }
  int WatchTree(const std::string& dir) { return watcher_.Watch(dir, &Recorder::Callback, kDirWatchSubtree, &rec_); }

  // Waits until the watcher has read `count` changes that are not handed over yet.
  bool AwaitPending(size_t count) {
    return Eventually([&] { return watcher_.pending_changes() >= count; });
  }
  // Moves the fake time on by `millis` and waits until a batch was handed over.
  bool AdvanceAndAwaitBatch(int64_t millis = DirChangeWatcher::kBatchWindowMs + 1) {
    uint64_t before = watcher_.batches_dispatched();
    clock_.Advance(millis);
    return Eventually([&] { return watcher_.batches_dispatched() > before; });
  }

  ScopedTempDir tmp_;
  ScopedTempDir outside_;  // a folder beside the watched ones, on the same file system
  FakeClock clock_;
  Recorder rec_;
  DirChangeWatcher watcher_{&clock_};
};

}  // namespace

// --- Batching and duplicate removal ---

TEST_F(DirChangeWatcherTest, FileCreatedAndWrittenTwiceIsReportedOnceAsCreated) {
  std::string root = Dir("pkgs");
  int id = WatchTree(root);
  ASSERT_EQ(id, 1);
  // Each write is read before the next, so that the kernel cannot fold the
  // repeated modifications into one and the watcher has to.
  ASSERT_TRUE(WriteTo(root + "/a.zip", "1", /*create=*/true));
  ASSERT_TRUE(AwaitPending(2));
  ASSERT_TRUE(WriteTo(root + "/a.zip", "2", false));
  ASSERT_TRUE(AwaitPending(3));
  ASSERT_TRUE(WriteTo(root + "/a.zip", "3", false));
  ASSERT_TRUE(AwaitPending(4));
  EXPECT_EQ(rec_.size(), 0u) << "nothing is handed over before the batch window has passed";
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  std::vector<Report> got = rec_.Take();
  ASSERT_EQ(got.size(), 1u) << Describe(got);
  EXPECT_EQ(got[0].id, 1);
  EXPECT_EQ(got[0].action, kDirWatchCreated);
  EXPECT_EQ(got[0].root, root + "/");
  EXPECT_EQ(got[0].path, "a.zip");
  EXPECT_FALSE(got[0].has_old);
  EXPECT_EQ(got[0].user_data, &rec_);
  EXPECT_EQ(watcher_.pending_changes(), 0u);
}

TEST_F(DirChangeWatcherTest, FileWrittenThreeTimesIsReportedOnceAsModified) {
  std::string root = Dir("pkgs");
  ASSERT_TRUE(WriteTo(root + "/a.zip", "0", true));
  ASSERT_EQ(WatchTree(root), 1);
  for (size_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(WriteTo(root + "/a.zip", "x", false));
    ASSERT_TRUE(AwaitPending(i));
  }
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  std::vector<Report> got = rec_.Take();
  ASSERT_EQ(got.size(), 1u) << Describe(got);
  EXPECT_EQ(got[0].action, kDirWatchModified);
  EXPECT_EQ(got[0].path, "a.zip");
}

TEST_F(DirChangeWatcherTest, ChangesInLaterBatchesAreReportedAgain) {
  std::string root = Dir("pkgs");
  ASSERT_EQ(WatchTree(root), 1);
  ASSERT_TRUE(WriteTo(root + "/a.zip", "1", true));
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  ASSERT_TRUE(WriteTo(root + "/a.zip", "2", false));
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  ASSERT_TRUE(std::remove((root + "/a.zip").c_str()) == 0);
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "1:1:a.zip 1:3:a.zip 1:2:a.zip ");
}

TEST_F(DirChangeWatcherTest, WithoutSubtreeOnlyTheDirectoryItselfIsWatched) {
  std::string root = Dir("pkgs");
  Dir("pkgs/sub");
  ASSERT_EQ(watcher_.Watch(root, &Recorder::Callback, 0, &rec_), 1);
  ASSERT_TRUE(WriteTo(root + "/sub/deep.zip", "x", true));
  ASSERT_TRUE(WriteTo(root + "/top.zip", "x", true));
  ASSERT_TRUE(AwaitPending(2));  // create and write of top.zip
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "1:1:top.zip ");
}

// --- Moves into, out of and within the tree ---

TEST_F(DirChangeWatcherTest, MoveWithinTheTreeIsReportedOnceAsMoved) {
  std::string root = Dir("pkgs");
  Dir("pkgs/a");
  Dir("pkgs/b");
  ASSERT_TRUE(WriteTo(root + "/a/x.zip", "x", true));
  ASSERT_EQ(WatchTree(root), 1);
  ASSERT_EQ(rename((root + "/a/x.zip").c_str(), (root + "/b/y.zip").c_str()), 0);
  ASSERT_TRUE(AwaitPending(2));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  std::vector<Report> got = rec_.Take();
  ASSERT_EQ(got.size(), 1u) << Describe(got);
  EXPECT_EQ(got[0].action, kDirWatchMoved);
  EXPECT_EQ(got[0].path, "b/y.zip");
  ASSERT_TRUE(got[0].has_old);
  EXPECT_EQ(got[0].old_path, "a/x.zip");
}

TEST_F(DirChangeWatcherTest, PackageMovedInFromOutsideIsReportedAsCreated) {
  std::string root = Dir("pkgs");
  ASSERT_TRUE(WriteTo(outside_.Sub("new.zip"), "payload", true));
  ASSERT_EQ(WatchTree(root), 1);
  ASSERT_EQ(rename(outside_.Sub("new.zip").c_str(), (root + "/new.zip").c_str()), 0);
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "1:1:new.zip ");
}

TEST_F(DirChangeWatcherTest, FileMovedOutOfTheTreeIsReportedAsDeleted) {
  std::string root = Dir("pkgs");
  ASSERT_TRUE(WriteTo(root + "/old.zip", "payload", true));
  ASSERT_EQ(WatchTree(root), 1);
  ASSERT_EQ(rename((root + "/old.zip").c_str(), outside_.Sub("old.zip").c_str()), 0);
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "1:2:old.zip ");
}

TEST_F(DirChangeWatcherTest, FolderMovedInReportsItselfAndWhatItHolds) {
  std::string root = Dir("pkgs");
  ASSERT_TRUE(CreateDirectories(outside_.Sub("comp/bin")));
  ASSERT_TRUE(WriteTo(outside_.Sub("comp/bin/app"), "x", true));
  ASSERT_EQ(WatchTree(root), 1);
  ASSERT_EQ(rename(outside_.Sub("comp").c_str(), (root + "/comp").c_str()), 0);
  ASSERT_TRUE(AwaitPending(3));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "1:1:comp 1:1:comp/bin 1:1:comp/bin/app ");

  // The folder is watched in its new place.
  ASSERT_TRUE(WriteTo(root + "/comp/bin/app", "y", false));
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "1:3:comp/bin/app ");
}

TEST_F(DirChangeWatcherTest, MoveBetweenTwoWatchedTreesIsADeletionAndACreation) {
  std::string first = Dir("first");
  std::string second = Dir("second");
  ASSERT_TRUE(WriteTo(first + "/p.zip", "x", true));
  ASSERT_EQ(WatchTree(first), 1);
  ASSERT_EQ(WatchTree(second), 2);
  ASSERT_EQ(rename((first + "/p.zip").c_str(), (second + "/p.zip").c_str()), 0);
  ASSERT_TRUE(AwaitPending(2));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  std::vector<Report> got = rec_.Take();
  ASSERT_EQ(got.size(), 2u) << Describe(got);
  EXPECT_EQ(got[0].id, 1);
  EXPECT_EQ(got[0].action, kDirWatchDeleted);
  EXPECT_EQ(got[0].root, first + "/");
  EXPECT_EQ(got[1].id, 2);
  EXPECT_EQ(got[1].action, kDirWatchCreated);
  EXPECT_EQ(got[1].root, second + "/");
}

TEST_F(DirChangeWatcherTest, OldNameArrivingJustBeforeTheDeadlineWaitsForItsPartner) {
  std::string root = Dir("pkgs");
  ASSERT_TRUE(WriteTo(root + "/gone.zip", "x", true));
  ASSERT_EQ(WatchTree(root), 1);
  ASSERT_TRUE(WriteTo(root + "/early.zip", "x", true));
  ASSERT_TRUE(AwaitPending(2));
  clock_.Advance(DirChangeWatcher::kBatchWindowMs - 10);
  ASSERT_EQ(rename((root + "/gone.zip").c_str(), outside_.Sub("gone.zip").c_str()), 0);
  ASSERT_TRUE(AwaitPending(3));

  // The batch falls due 11 ms after the old name came: the changes before it
  // are handed over, the old name is held back.
  ASSERT_TRUE(AdvanceAndAwaitBatch(11));
  EXPECT_EQ(Describe(rec_.Take()), "1:1:early.zip ");
  EXPECT_EQ(watcher_.pending_changes(), 1u);

  // No partner within the wait: it was a move out of the tree.
  ASSERT_TRUE(AdvanceAndAwaitBatch(DirChangeWatcher::kMovePairWaitMs - 11));
  EXPECT_EQ(Describe(rec_.Take()), "1:2:gone.zip ");
  EXPECT_EQ(watcher_.pending_changes(), 0u);
}

TEST_F(DirChangeWatcherTest, PathsLongerThan259BytesArriveWhole) {
  const std::string a(100, 'a'), b(100, 'b'), name(100, 'n');
  std::string root = Dir("pkgs");
  Dir("pkgs/" + a + "/" + b);
  ASSERT_EQ(WatchTree(root), 1);
  const std::string rel = a + "/" + b + "/" + name + ".zip";
  const std::string moved = a + "/" + name + ".moved";
  ASSERT_GT(rel.size(), 259u);
  ASSERT_TRUE(WriteTo(root + "/" + rel, "x", true));
  ASSERT_TRUE(AwaitPending(2));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  ASSERT_EQ(rename((root + "/" + rel).c_str(), (root + "/" + moved).c_str()), 0);
  ASSERT_TRUE(AwaitPending(2));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  std::vector<Report> got = rec_.Take();
  ASSERT_EQ(got.size(), 2u) << Describe(got);
  EXPECT_EQ(got[0].action, kDirWatchCreated);
  EXPECT_EQ(got[0].path, rel);
  EXPECT_EQ(got[1].action, kDirWatchMoved);
  EXPECT_EQ(got[1].path, moved);
  EXPECT_EQ(got[1].old_path, rel);
}

// --- The watch table ---

TEST_F(DirChangeWatcherTest, MissingDirectoryYieldsZeroPrintsTheReasonAndTakesNoSlot) {
  const std::string missing = tmp_.Sub("does-not-exist");
  testing::internal::CaptureStdout();
  int id = WatchTree(missing);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(id, 0);
  EXPECT_NE(out.find("Could not open: " + missing), std::string::npos) << out;
  EXPECT_EQ(watcher_.watch_count(), 0);

  std::string root = Dir("pkgs");
  ASSERT_EQ(WatchTree(root), 1);
  ASSERT_TRUE(WriteTo(root + "/a.zip", "", true));
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "1:1:a.zip ");
}

TEST_F(DirChangeWatcherTest, SixtyFifthWatchIsRefusedAndTheFirst64KeepWorking) {
  std::vector<std::string> dirs;
  for (int i = 0; i < DirChangeWatcher::kMaxWatches + 1; ++i) dirs.push_back(Dir("d" + std::to_string(i)));
  for (int i = 0; i < DirChangeWatcher::kMaxWatches; ++i) {
    ASSERT_EQ(watcher_.Watch(dirs[i], &Recorder::Callback, 0, &rec_), i + 1) << "inotify instances may be short";
  }
  testing::internal::CaptureStdout();
  int refused = watcher_.Watch(dirs.back(), &Recorder::Callback, 0, &rec_);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(refused, 0);
  EXPECT_NE(out.find(dirs.back()), std::string::npos) << out;
  EXPECT_EQ(watcher_.watch_count(), DirChangeWatcher::kMaxWatches);

  ASSERT_TRUE(WriteTo(dirs.back() + "/ignored.zip", "", true));
  ASSERT_TRUE(WriteTo(dirs[0] + "/first.zip", "", true));
  ASSERT_TRUE(WriteTo(dirs[63] + "/last.zip", "", true));
  ASSERT_TRUE(AwaitPending(2));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  std::vector<Report> got = rec_.Take();
  ASSERT_EQ(got.size(), 2u) << Describe(got);
  EXPECT_EQ(got[0].id, 1);
  EXPECT_EQ(got[0].path, "first.zip");
  EXPECT_EQ(got[1].id, 64);
  EXPECT_EQ(got[1].path, "last.zip");
  EXPECT_EQ(got[1].root, dirs[63] + "/");
}

TEST_F(DirChangeWatcherTest, CallbackMayRegisterAnotherWatch) {
  struct Context {
    DirChangeWatcher* watcher;
    Recorder* rec;
    std::string dir;
    int id = -1;
  } context{&watcher_, &rec_, Dir("later")};
  auto register_more = [](int, int, const char*, const char*, const char*, void* user) {
    auto* c = static_cast<Context*>(user);
    if (c->id < 0) c->id = c->watcher->Watch(c->dir, &Recorder::Callback, 0, c->rec);
  };
  std::string root = Dir("pkgs");
  ASSERT_EQ(watcher_.Watch(root, register_more, 0, &context), 1);
  ASSERT_TRUE(WriteTo(root + "/a.zip", "", true));
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(context.id, 2);
  ASSERT_TRUE(WriteTo(context.dir + "/b.zip", "", true));
  ASSERT_TRUE(AwaitPending(1));
  ASSERT_TRUE(AdvanceAndAwaitBatch());
  EXPECT_EQ(Describe(rec_.Take()), "2:1:b.zip ");
}

// --- Start and stop ---

TEST(DirChangeWatcherLifecycle, InitTwiceStartsOneThread) {
  FakeClock clock;
  DirChangeWatcher watcher(&clock);
  const int before = SettledThreadCount();
  ASSERT_TRUE(watcher.Init());
  const pid_t tid = watcher.thread_id();
  EXPECT_NE(tid, 0);
  EXPECT_EQ(ThreadCount(), before + 1);
  ASSERT_TRUE(watcher.Init());
  EXPECT_EQ(watcher.thread_id(), tid);
  EXPECT_EQ(ThreadCount(), before + 1);
  watcher.Deinit();
  EXPECT_EQ(watcher.thread_id(), 0);
  EXPECT_TRUE(ThreadCountSettlesAt(before)) << ThreadCount();
  watcher.Deinit();  // a second stop does nothing
}

TEST(DirChangeWatcherLifecycle, WatchBeforeInitOrAfterDeinitIsRefused) {
  ScopedTempDir tmp;
  FakeClock clock;
  DirChangeWatcher watcher(&clock);
  EXPECT_EQ(watcher.Watch(tmp.path(), nullptr, 0, nullptr), 0);
  ASSERT_TRUE(watcher.Init());
  EXPECT_EQ(watcher.Watch(tmp.path(), nullptr, 0, nullptr), 1);
  watcher.Deinit();
  EXPECT_FALSE(watcher.initialised());
  EXPECT_EQ(watcher.watch_count(), 0);
  EXPECT_EQ(watcher.Watch(tmp.path(), nullptr, 0, nullptr), 0);
}

TEST(DirChangeWatcherLifecycle, DeinitThenInitAgainStartsAfresh) {
  ScopedTempDir tmp;
  FakeClock clock;
  Recorder rec;
  DirChangeWatcher watcher(&clock);
  ASSERT_TRUE(watcher.Init());
  ASSERT_EQ(watcher.Watch(tmp.path(), &Recorder::Callback, 0, &rec), 1);
  ASSERT_EQ(watcher.Watch(tmp.path(), &Recorder::Callback, 0, &rec), 2);
  ASSERT_TRUE(WriteTo(tmp.Sub("dropped.zip"), "", true));
  ASSERT_TRUE(Eventually([&] { return watcher.pending_changes() >= 2; }));
  watcher.Deinit();  // what was not handed over is dropped

  ASSERT_TRUE(watcher.Init());
  ASSERT_EQ(watcher.Watch(tmp.path(), &Recorder::Callback, 0, &rec), 1);
  EXPECT_EQ(watcher.pending_changes(), 0u);
  ASSERT_TRUE(WriteTo(tmp.Sub("kept.zip"), "", true));
  ASSERT_TRUE(Eventually([&] { return watcher.pending_changes() >= 1; }));
  uint64_t before = watcher.batches_dispatched();
  clock.Advance(DirChangeWatcher::kBatchWindowMs + 1);
  ASSERT_TRUE(Eventually([&] { return watcher.batches_dispatched() > before; }));
  EXPECT_EQ(Describe(rec.Take()), "1:1:kept.zip ");
}

TEST(DirChangeWatcherLifecycle, DeinitFromACallbackIsIgnored) {
  ScopedTempDir tmp;
  FakeClock clock;
  DirChangeWatcher watcher(&clock);
  auto stop = [](int, int, const char*, const char*, const char*, void* user) {
    static_cast<DirChangeWatcher*>(user)->Deinit();
  };
  ASSERT_TRUE(watcher.Init());
  ASSERT_EQ(watcher.Watch(tmp.path(), stop, 0, &watcher), 1);
  ASSERT_TRUE(WriteTo(tmp.Sub("a.zip"), "", true));
  ASSERT_TRUE(Eventually([&] { return watcher.pending_changes() >= 1; }));
  testing::internal::CaptureStdout();
  clock.Advance(DirChangeWatcher::kBatchWindowMs + 1);
  bool handed_over = Eventually([&] { return watcher.batches_dispatched() >= 1; });
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(handed_over);
  EXPECT_NE(out.find("ignored"), std::string::npos) << out;
  EXPECT_TRUE(watcher.initialised());
  watcher.Deinit();
  EXPECT_FALSE(watcher.initialised());
}

// --- The process-wide watcher on the real clock ---

namespace {

long VoluntarySwitches(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  const std::string key = "voluntary_ctxt_switches:";
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return -1;
}

}  // namespace

TEST(DirChangeWatcherRealClock, HandsOverABatchOnItsOwn) {
  ScopedTempDir tmp;
  Recorder rec;
  ASSERT_TRUE(dirwatch_init());
  ASSERT_TRUE(dirwatch_init());
  ASSERT_EQ(dirwatch_watch(tmp.path(), &Recorder::Callback, kDirWatchSubtree, &rec), 1);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WriteTo(tmp.Sub("a.zip"), "x", true));
  ASSERT_TRUE(Eventually([&] { return rec.size() >= 1; }));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(DirChangeWatcher::kBatchWindowMs));
  EXPECT_EQ(Describe(rec.Take()), "1:1:a.zip ");
  dirwatch_deinit();
}

TEST(DirChangeWatcherRealClock, IdleThreadSleepsUntilSomethingHappens) {
  ScopedTempDir tmp;
  Recorder rec;
  DirChangeWatcher watcher(Clock::Real());
  ASSERT_TRUE(watcher.Init());
  ASSERT_EQ(watcher.Watch(tmp.path(), &Recorder::Callback, kDirWatchSubtree, &rec), 1);
  ASSERT_TRUE(WriteTo(tmp.Sub("a.zip"), "x", true));
  ASSERT_TRUE(Eventually([&] { return rec.size() >= 1 && watcher.pending_changes() == 0; }));

  // The measurement window itself is the idle time being measured.
  const pid_t tid = watcher.thread_id();
  const long before = VoluntarySwitches(tid);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long after = VoluntarySwitches(tid);
  ASSERT_GE(before, 0);
  std::printf("watcher thread wake-ups over 1 s idle: %ld\n", after - before);
  EXPECT_LE(after - before, 1);

  // And it still wakes for the next change.
  ASSERT_TRUE(WriteTo(tmp.Sub("b.zip"), "x", true));
  ASSERT_TRUE(Eventually([&] { return rec.size() >= 2; }));
  watcher.Deinit();
}

}  // namespace zev
