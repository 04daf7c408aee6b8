// The process-wide directory change watcher: callers register directories
// (optionally with their subtrees) and one background thread reports every
// file created, deleted, modified or moved below them to the callback of the
// watch. Changes are gathered into batches that are handed over
// kBatchWindowMs after the first change of a batch; within a batch, further
// modifications of a file that was created or modified earlier in the batch
// are not reported again.
//
// The thread sleeps in poll() on the inotify descriptors of the watches and
// a wake-up event; it wakes for changes, for a registration or a shutdown,
// and for the deadline of a pending batch, never on a fixed period.
//
// The package watcher uses the free functions dirwatch_init, dirwatch_watch
// and dirwatch_deinit, which work on one process-wide DirChangeWatcher on the
// real clock; tests build their own DirChangeWatcher with a FakeClock.
#ifndef ZEV_DOWNLOAD_DIR_CHANGE_WATCHER_H_
#define ZEV_DOWNLOAD_DIR_CHANGE_WATCHER_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"

namespace zev {

class DirectoryWatch;
class Event;

// The actions handed to a callback.
enum DirWatchAction {
  kDirWatchCreated = 1,   // also a file moved into the tree from outside
  kDirWatchDeleted = 2,   // also a file moved out of the tree
  kDirWatchModified = 3,
  kDirWatchMoved = 4,     // within one watched tree; `old_path` gives the old name
};

// Registration flags.
constexpr int kDirWatchSubtree = 1;  // watch the whole subtree, not only the directory

// Called on the watcher thread, one call at a time, without any lock of the
// watcher held (a callback may register further watches; Deinit from a
// callback is ignored). `root` is the registered directory with "/" at its end; `path`
// and `old_path` are relative to it. `old_path` is set for kDirWatchMoved
// and null otherwise. The texts live until the callback returns.
using DirWatchCallback = void (*)(int watch_id, int action, const char* root, const char* path,
                                  const char* old_path, void* user_data);

class DirChangeWatcher {
 public:
  // The size of the watch table; a registration beyond it is refused.
  static constexpr int kMaxWatches = 64;
  // A batch is handed over once more than this has passed since its first change.
  static constexpr int64_t kBatchWindowMs = 100;
  // How long the old name of a move waits for its new name when the batch
  // falls due right after it; unpaired after that, it counts as a deletion.
  static constexpr int64_t kMovePairWaitMs = 20;

  // `clock` times the batches and must outlive the watcher.
  explicit DirChangeWatcher(Clock* clock);
  // Deinit.
  ~DirChangeWatcher();
  DirChangeWatcher(const DirChangeWatcher&) = delete;
  DirChangeWatcher& operator=(const DirChangeWatcher&) = delete;

  // Starts the watcher thread. Calling it again while initialised changes
  // nothing and answers true. False when the thread could not be set up.
  bool Init();

  // Watches `directory` (and its subtree with kDirWatchSubtree in `flags`)
  // and reports its changes to `callback` with `user_data` (a null callback
  // registers a watch whose changes are dropped). Returns the watch id, 1 for
  // the first watch and one more for each further one, or 0 on failure: not
  // initialised, the table full, or the directory missing or not watchable
  // ("Could not open: <directory>" or "ReadDirectoryChanges failed" on
  // standard output). A failed registration takes no id. `user_data` must
  // stay valid until Deinit. Safe from any thread, the callbacks included.
  int Watch(const std::string& directory, DirWatchCallback callback, int flags, void* user_data);

  // Stops and joins the thread, closes every watch and drops the changes not
  // yet handed over; the next Init starts afresh with ids from 1. Does nothing
  // when not initialised, nor when called from a callback (the thread cannot
  // join itself).
  void Deinit();

  bool initialised() const;
  int watch_count() const;
  // The kernel thread id of the watcher thread, 0 when it is not running.
  pid_t thread_id() const { return thread_id_.load(); }
  // Changes read and not yet handed over.
  size_t pending_changes() const { return pending_count_.load(); }
  // Batches handed over since Init; counted after their last callback returned.
  uint64_t batches_dispatched() const { return batches_.load(); }

 private:
  struct Entry;
  struct Pending;

  void Run();
  // Hands over the changes that are due at `now_ms` (see kMovePairWaitMs)
  // and keeps the rest. `table` is the watcher thread's copy of the table.
  void Dispatch(int64_t now_ms, const std::vector<Entry*>& table);

  Clock* const clock_;

  std::mutex life_mu_;  // serialises Init and Deinit

  mutable Mutex mu_;
  bool initialised_ GUARDED_BY(mu_) = false;
  std::vector<std::unique_ptr<Entry>> watches_ GUARDED_BY(mu_);  // ids are index + 1
  uint64_t generation_ GUARDED_BY(mu_) = 0;  // grows with every registration
  std::unique_ptr<Event> wake_ GUARDED_BY(mu_);  // set while initialised; the thread reads it

  std::thread thread_;             // owned by Init/Deinit under life_mu_
  std::atomic<bool> quit_{false};
  std::atomic<pid_t> thread_id_{0};
  std::atomic<size_t> pending_count_{0};
  std::atomic<uint64_t> batches_{0};

  // Used by the watcher thread only.
  std::vector<Pending> pending_;
  int64_t due_ms_ = 0;  // when the pending changes fall due
};

// The process-wide watcher (on the real clock), as the package watcher uses it.
bool dirwatch_init();
int dirwatch_watch(const std::string& directory, DirWatchCallback callback, int flags, void* user_data);
void dirwatch_deinit();

}  // namespace zev

#endif  // ZEV_DOWNLOAD_DIR_CHANGE_WATCHER_H_
