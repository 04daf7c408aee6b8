// CZEVProductInnerWatcher keeps the package cache: installed products leave
// their components as a 7z package, "components.7z", in a folder of their own
// directly below the components folder; the watcher unpacks every package
// that root may trust (see UpdatePackage) into a cache folder of the same
// name, which then holds exactly that package's files, keeps the list of
// cache folders, and while the service runs updates or withdraws a cache
// folder's Config.json when its package is added, changed or removed,
// telling its owner (the product-inner strategy) which cache folder changed.
//
// Folders (the service's, below the common data folder):
//   components folder   <common>/Varnel/components, packages at <name>/components.7z
//   package cache       <common>/components_cache, one folder per product name
//   staging folder      <common>/components_staging (mode 0700): every update
//                       is unpacked into a fresh mkdtemp folder in it, on the
//                       file system of the cache, and moved into the cache
//                       folder from there.
//
// Threads: the constructor and Start run on the owner's thread; an owned
// directory change watcher reports changes on its own thread; the changes are
// executed on an owned TaskTimer's thread, Options::update_delay_ms after the
// last report, and the change callable is called from there. GetFolders and the
// accessors are safe from any thread.
#ifndef ZEV_STRATEGY_PRODUCT_WATCHER_H_
#define ZEV_STRATEGY_PRODUCT_WATCHER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/task_timer.h"
#include "base/timings.h"
#include "download/dir_change_watcher.h"
#include "download/zip_extractor.h"

namespace zev {

class CZEVProductInnerWatcher {
 public:
  // Called with the path of the cache folder whose configuration was updated
  // or withdrawn. Its result is ignored.
  using ChangeCallable = std::function<bool(const std::string& cache_folder)>;

  // The default update delay, in seconds.
  static constexpr int64_t kUpdateDelaySeconds = Timings().product_update_delay_ms / 1000;
  // The package file of a product folder.
  static constexpr char kPackageName[] = "components.7z";

  struct Options {
    // Times the update delay; required, not owned, must outlive the watcher.
    Clock* clock = nullptr;
    // Times the folder watcher's batching of change reports
    // (DirChangeWatcher::kBatchWindowMs); null: `clock`. Tests that step
    // `clock` by hand give the real clock here.
    Clock* watch_clock = nullptr;
    // The folders (see above); an empty one is not available.
    std::string components_dir;
    std::string cache_dir;
    std::string staging_dir;
    // Set once the service is asked to stop (not owned; null: none): the
    // unpacking at construction ends early then.
    const std::atomic<bool>* stop = nullptr;
    // How long after the last report of a package change the changes run.
    int64_t update_delay_ms = Timings().product_update_delay_ms;
  };

  // Builds the package cache: empties it and the staging folder, creates the
  // components folder, starts watching it (before it is listed, so that a
  // package written meanwhile is reported), then unpacks the package of every
  // product folder into its cache folder. Every product folder becomes a
  // cache folder, also when its package is missing or fails to unpack. When
  // the extractor or the cache or staging folder is not available the watcher
  // stays uninitialised ("init failed."); an unreadable components folder
  // leaves it initialised with an empty list ("No file in cache.").
  explicit CZEVProductInnerWatcher(const Options& options);
  // Stop().
  ~CZEVProductInnerWatcher();
  CZEVProductInnerWatcher(const CZEVProductInnerWatcher&) = delete;
  CZEVProductInnerWatcher& operator=(const CZEVProductInnerWatcher&) = delete;

  // The cache folders, sorted by bytes and without duplicates. False when
  // not initialised.
  bool GetFolders(std::vector<std::string>* folders);

  // Keeps `callable` (not owned; it must outlive the watcher or be replaced
  // by null first) for the change reports. Call before Start.
  void SetChangeCallable(const ChangeCallable* callable);

  // Lets reported changes run: every change reported since construction and
  // after runs update_delay_ms after the last report. False, with the
  // last error "no init before start.", when not initialised, and after Stop.
  bool Start();

  std::string GetLastError() const;

  // Stops watching and joins every thread of the watcher: a change under way
  // ends at its next step (an extraction between data blocks), later timer
  // runs do nothing. Idempotent. Must not be called from the change callable.
  void Stop();

  bool initialised() const { return initialised_; }
  const std::string& components_dir() const { return components_dir_; }
  const std::string& cache_dir() const { return cache_dir_; }
  const std::string& staging_dir() const { return staging_dir_; }

  // Counters for tests and benchmarks: every change the directory watcher
  // reported; the package changes kept of them; timer runs finished.
  uint64_t changes_seen() const { return changes_seen_.load(); }
  uint64_t changes_kept() const { return changes_kept_.load(); }
  uint64_t runs_finished() const { return runs_finished_.load(); }
  // Package refusals logged (see UpdatePackage): one per product and reason.
  uint64_t packages_refused() const { return packages_refused_.load(); }

 private:
  enum class Change { kUpdate, kWithdraw };

  static void OnDirChangeThunk(int watch_id, int action, const char* root, const char* path, const char* old_path,
                               void* user_data);
  void OnDirChange(int action, const std::string& path, const char* old_path);
  void ArmLocked();
  void RunPending(uint64_t seq);

  bool BuildCache();
  // Unpacks <components>/<name>/components.7z and makes the cache folder
  // hold exactly the package's files. A package is taken only when it is a
  // regular file (not a link) that root or this process's user owns and
  // nobody else can write, in a product folder and components folder that
  // pass the same test (IsTrustedFolder); otherwise it is refused
  // (RefusePackage) and the cache folder stays as it was. The package is
  // checked and unpacked through one open file. `at_start` selects the
  // start-up message and keeps the callable out of it.
  bool UpdatePackage(const std::string& name, bool at_start);
  // Logs the refusal of `name`'s package at level 3 unless the last refusal
  // of that product had the same reason.
  void RefusePackage(const std::string& name, const std::string& why);
  bool RefreshCacheFolder(const std::string& name, const std::string& staging);
  bool WithdrawPackage(const std::string& name);
  void AddFolder(const std::string& folder);
  void NotifyChanged(const std::string& folder);
  void SetLastError(const std::string& text);

  Clock* const clock_;
  const int64_t update_delay_ms_;
  std::string components_dir_;  // fixed once the constructor returns
  std::string cache_dir_;       // likewise
  std::string staging_dir_;     // likewise
  bool initialised_ = false;    // likewise

  std::atomic<bool> stopping_{false};  // also the extractor's stop flag
  const std::atomic<bool>* start_stop_ = nullptr;  // the stop flag during construction
  std::atomic<const ChangeCallable*> callable_{nullptr};
  std::atomic<uint64_t> changes_seen_{0};
  std::atomic<uint64_t> changes_kept_{0};
  std::atomic<uint64_t> runs_finished_{0};
  std::atomic<uint64_t> packages_refused_{0};

  // Held while a change runs, and by the start-up scan; the extractor is used
  // under it only.
  std::mutex run_mu_;
  CZEVZipExtractor extractor_;
  std::map<std::string, std::string> refused_;  // guarded by run_mu_; product name -> reason last logged

  mutable std::mutex mu_;
  std::string last_error_;                  // guarded by mu_
  std::vector<std::string> folders_;        // guarded by mu_
  std::map<std::string, Change> pending_;   // guarded by mu_; the last change per product name
  bool started_ = false;                    // guarded by mu_
  bool stopped_ = false;                    // guarded by mu_; Stop has begun
  bool armed_ = false;                      // guarded by mu_
  uint64_t timer_id_ = 0;                   // guarded by mu_; valid while armed_
  uint64_t arm_seq_ = 0;                    // guarded by mu_; only the run of the latest arming acts
  std::unique_ptr<TaskTimer> timer_;        // guarded by mu_; taken out and joined by Stop

  // Last, so that its thread is stopped (by Stop) before the rest goes.
  DirChangeWatcher dir_watcher_;
};

}  // namespace zev

#endif  // ZEV_STRATEGY_PRODUCT_WATCHER_H_
