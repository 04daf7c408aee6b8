#include "download/dir_change_watcher.h"

#include <pthread.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <future>
#include <system_error>

#include "platform/dir_watch.h"
#include "platform/wait.h"

namespace zev {

struct DirChangeWatcher::Entry {
  // All fixed at registration; the watcher thread alone reads `watch`.
  int id = 0;
  std::unique_ptr<DirectoryWatch> watch;
  DirWatchCallback callback = nullptr;
  int flags = 0;
  void* user_data = nullptr;
  std::string root;  // "/" separated, "/" at the end
};

struct DirChangeWatcher::Pending {
  DirChange change;
  int watch_id = 0;
  int64_t arrived_ms = 0;
  bool skip = false;
};

namespace {

std::string RootText(const std::string& directory) {
  std::string root = directory;
  std::replace(root.begin(), root.end(), '\\', '/');
  if (root.empty() || root.back() != '/') root += '/';
  return root;
}

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void Print(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintTableFull(const std::string& directory) {
  Print("Could not watch: " + directory + " (all " + std::to_string(DirChangeWatcher::kMaxWatches) +
        " watches in use)");
}

struct Call {
  int watch_id;
  int action;
  const std::string* path;
  const std::string* old_path;
};

}  // namespace

DirChangeWatcher::DirChangeWatcher(Clock* clock) : clock_(clock) {}

DirChangeWatcher::~DirChangeWatcher() { Deinit(); }

bool DirChangeWatcher::Init() {
  std::lock_guard<std::mutex> life(life_mu_);
  std::unique_ptr<Event> wake;
  {
    MutexLock lock(&mu_);
    if (initialised_) return true;
  }
  wake.reset(new Event(Event::ResetMode::kAuto));
  if (!wake->valid()) return false;
  {
    MutexLock lock(&mu_);
    wake_ = std::move(wake);
    watches_.clear();
    watches_.reserve(kMaxWatches);
    ++generation_;
    quit_ = false;
    initialised_ = true;
  }
  batches_ = 0;
  pending_.clear();
  pending_count_ = 0;
  std::promise<void> started;
  std::future<void> running = started.get_future();
  try {
    thread_ = std::thread(
        [this](std::promise<void> up) {
          thread_id_ = CurrentThreadId();
          pthread_setname_np(pthread_self(), "zev-dir-watch");
          up.set_value();
          Run();
        },
        std::move(started));
  } catch (const std::system_error& e) {
    Print(std::string("Directory watcher thread failed to start: ") + e.what());
    MutexLock lock(&mu_);
    wake_.reset();
    initialised_ = false;
    return false;
  }
  running.wait();  // thread_id() is set once Init returns
  return true;
}

int DirChangeWatcher::Watch(const std::string& directory, DirWatchCallback callback, int flags, void* user_data) {
  {
    MutexLock lock(&mu_);
    if (!initialised_ || quit_) return 0;
    if (static_cast<int>(watches_.size()) >= kMaxWatches) {
      PrintTableFull(directory);
      return 0;
    }
  }
  // Opening scans the subtree, so it runs outside the lock; the slot is taken
  // only once the watch stands, which leaves nothing behind on failure.
  std::string error;
  std::unique_ptr<DirectoryWatch> watch = DirectoryWatch::Open(directory, (flags & kDirWatchSubtree) != 0, &error);
  if (!watch) {
    Print(error.rfind("Could not open: ", 0) == 0 ? error : "ReadDirectoryChanges failed");
    return 0;
  }
  MutexLock lock(&mu_);
  // Checked again: another registration or a shutdown may have come between.
  if (!initialised_ || quit_) return 0;
  if (static_cast<int>(watches_.size()) >= kMaxWatches) {
    PrintTableFull(directory);
    return 0;
  }
  auto entry = std::make_unique<Entry>();
  entry->id = static_cast<int>(watches_.size()) + 1;
  entry->watch = std::move(watch);
  entry->callback = callback;
  entry->flags = flags;
  entry->user_data = user_data;
  entry->root = RootText(directory);
  const int id = entry->id;
  watches_.push_back(std::move(entry));
  ++generation_;
  wake_->Set();
  return id;
}

void DirChangeWatcher::Deinit() {
  // The watcher thread cannot join itself; checked before any lock, which a
  // Deinit on another thread may hold while it waits for this one.
  if (thread_id_ != 0 && thread_id_ == CurrentThreadId()) {
    Print("dirwatch_deinit called from a watch callback; ignored");
    return;
  }
  std::lock_guard<std::mutex> life(life_mu_);
  {
    MutexLock lock(&mu_);
    if (!initialised_) return;
    quit_ = true;
    wake_->Set();
  }
  if (thread_.joinable()) thread_.join();
  thread_id_ = 0;
  pending_.clear();
  pending_count_ = 0;
  MutexLock lock(&mu_);
  watches_.clear();
  ++generation_;
  wake_.reset();
  initialised_ = false;
}

bool DirChangeWatcher::initialised() const {
  MutexLock lock(&mu_);
  return initialised_;
}

int DirChangeWatcher::watch_count() const {
  MutexLock lock(&mu_);
  return static_cast<int>(watches_.size());
}

void DirChangeWatcher::Run() {
  // Entries are only added while the thread runs and are freed after it
  // ends, so the thread can keep plain pointers to them.
  std::vector<Entry*> table;
  std::vector<bool> broken;  // a watch whose descriptor failed is no longer polled
  std::vector<struct pollfd> fds;
  std::vector<int> fd_watch;  // index into `table` for fds[1..]
  uint64_t seen = ~uint64_t{0};
  Event* wake = nullptr;
  std::vector<DirChange> changes;

  while (!quit_) {
    {
      MutexLock lock(&mu_);
      wake = wake_.get();
      if (generation_ != seen) {
        seen = generation_;
        for (size_t i = table.size(); i < watches_.size(); ++i) table.push_back(watches_[i].get());
        broken.resize(table.size(), false);
      }
    }
    fds.clear();
    fd_watch.clear();
    fds.push_back({wake->WaitFd(), POLLIN, 0});
    for (size_t i = 0; i < table.size(); ++i) {
      if (broken[i]) continue;
      fds.push_back({table[i]->watch->WaitFd(), POLLIN, 0});
      fd_watch.push_back(static_cast<int>(i));
    }

    int timeout_ms = -1;
    if (!pending_.empty()) {
      // The deadline is on the injected clock; the sleep is bounded by the
      // same distance in real time, after which the clock is asked again.
      int64_t left = due_ms_ - clock_->MonotonicMillis();
      timeout_ms = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
    }
    int ready = poll(fds.data(), fds.size(), timeout_ms);
    if (ready < 0) {
      if (errno != EINTR) Print(std::string("Directory watch wait failed: ") + strerror(errno));
      ready = 0;  // handled as a time-out
    }
    if (fds[0].revents & POLLIN) wake->TryAcquire();
    if (quit_) break;

    const int64_t now = clock_->MonotonicMillis();
    for (size_t k = 1; k < fds.size() && ready > 0; ++k) {
      if (fds[k].revents == 0) continue;
      Entry* entry = table[fd_watch[k - 1]];
      changes.clear();
      bool ok = entry->watch->ReadChanges(&changes);
      if (!ok || (fds[k].revents & (POLLERR | POLLNVAL))) {
        Print("Directory watch read failed: " + entry->root);
        broken[fd_watch[k - 1]] = true;
      }
      for (DirChange& change : changes) {
        if (pending_.empty()) due_ms_ = now + kBatchWindowMs + 1;
        pending_.push_back({std::move(change), entry->id, now, false});
      }
    }
    pending_count_ = pending_.size();
    if (!pending_.empty() && now >= due_ms_) Dispatch(now, table);
  }
}

void DirChangeWatcher::Dispatch(int64_t now_ms, const std::vector<Entry*>& table) {
  const size_t n = pending_.size();
  // Pair the two halves of each move by cookie, within one watch: the paths
  // of two different roots cannot be told apart in one callback.
  std::vector<size_t> partner(n, SIZE_MAX);
  for (size_t i = 0; i < n; ++i) {
    const Pending& from = pending_[i];
    if (from.change.action != kDirRenamedOld) continue;
    for (size_t j = i + 1; j < n; ++j) {
      const Pending& to = pending_[j];
      if (to.change.action == kDirRenamedNew && partner[j] == SIZE_MAX && to.watch_id == from.watch_id &&
          to.change.cookie == from.change.cookie) {
        partner[i] = j;
        partner[j] = i;
        break;
      }
    }
  }
  // An old name that has just arrived may have its new name still on the
  // way; it and everything after it wait a little longer.
  size_t cut = n;
  for (size_t i = 0; i < n; ++i) {
    if (pending_[i].change.action == kDirRenamedOld && partner[i] == SIZE_MAX &&
        now_ms - pending_[i].arrived_ms < kMovePairWaitMs) {
      cut = i;
      break;
    }
  }
  for (size_t i = 0; i < cut; ++i) {
    const Pending& first = pending_[i];
    if (first.skip || (first.change.action != kDirAdded && first.change.action != kDirModified)) continue;
    for (size_t j = i + 1; j < cut; ++j) {
      Pending& later = pending_[j];
      if (later.change.action == kDirModified && later.watch_id == first.watch_id &&
          later.change.path == first.change.path) {
        later.skip = true;
      }
    }
  }

  std::vector<Call> calls;
  for (size_t i = 0; i < cut; ++i) {
    const Pending& p = pending_[i];
    if (p.skip) continue;
    switch (p.change.action) {
      case kDirAdded:
        calls.push_back({p.watch_id, kDirWatchCreated, &p.change.path, nullptr});
        break;
      case kDirRemoved:
        calls.push_back({p.watch_id, kDirWatchDeleted, &p.change.path, nullptr});
        break;
      case kDirModified:
        calls.push_back({p.watch_id, kDirWatchModified, &p.change.path, nullptr});
        break;
      case kDirRenamedOld:
        if (partner[i] == SIZE_MAX) {
          calls.push_back({p.watch_id, kDirWatchDeleted, &p.change.path, nullptr});  // moved out of the tree
        } else {
          const Pending& to = pending_[partner[i]];
          calls.push_back({to.watch_id, kDirWatchMoved, &to.change.path, &p.change.path});
          pending_[partner[i]].skip = true;  // a new name held back past the cut goes with it
        }
        break;
      case kDirRenamedNew:
        if (partner[i] == SIZE_MAX) calls.push_back({p.watch_id, kDirWatchCreated, &p.change.path, nullptr});
        break;  // a paired new name was reported with its old name
      default:
        break;
    }
  }
  for (const Call& call : calls) {
    const Entry* entry = table[call.watch_id - 1];
    if (entry->callback == nullptr) continue;
    entry->callback(call.watch_id, call.action, entry->root.c_str(), call.path->c_str(),
                    call.old_path ? call.old_path->c_str() : nullptr, entry->user_data);
  }

  std::vector<Pending> rest;
  for (size_t i = cut; i < n; ++i) {
    if (!pending_[i].skip) rest.push_back(std::move(pending_[i]));
  }
  pending_ = std::move(rest);
  if (!pending_.empty()) due_ms_ = pending_.front().arrived_ms + kMovePairWaitMs;
  pending_count_ = pending_.size();
  if (cut > 0) ++batches_;
}

namespace {

DirChangeWatcher& ProcessWatcher() {
  static DirChangeWatcher* watcher = new DirChangeWatcher(Clock::Real());  // never destroyed
  return *watcher;
}

}  // namespace

bool dirwatch_init() { return ProcessWatcher().Init(); }

int dirwatch_watch(const std::string& directory, DirWatchCallback callback, int flags, void* user_data) {
  return ProcessWatcher().Watch(directory, callback, flags, user_data);
}

void dirwatch_deinit() { ProcessWatcher().Deinit(); }

}  // namespace zev
