// CZEVProductInnerStrategy: the catalogue entries that installed products
// bring. It owns the package watcher (product_watcher.h), reads the
// Config.json of every cache folder, merges the folders' entries (the higher
// version wins; on equal versions the folder that sorts first), and offers
// the entries whose files are intact, with source type cstProductBuildIn.
// When a package changes it rebuilds its entries at once and tells the
// strategy manager kNotifyDelaySeconds after the last change.
//
// Entries whose application code, componentID, version, resource names or
// resource folders could lead a path out of the cache folder are refused
// when they are read (logged; the other entries of the folder stay), and so
// are entries whose entry point is not a file of their package.
//
// Threads: the constructor runs on the owner's thread; OnPackagesChanged on
// the watcher's timer thread; the change report on this strategy's own
// TaskTimer thread, without any lock of the strategy held, so that the
// manager's callable may call GetComponents on that thread. GetComponents
// and CheckComponent are safe from any thread; a reader sees either the list
// before or after a rebuild, never a mix.
#ifndef ZEV_STRATEGY_PRODUCT_STRATEGY_H_
#define ZEV_STRATEGY_PRODUCT_STRATEGY_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/task_timer.h"
#include "model/component_proxy.h"
#include "strategy/product_watcher.h"
#include "strategy/strategy_base.h"

namespace zev {

class CZEVProductInnerStrategy : public CZEVStrategyBase {
 public:
  // The clock (which also times the watcher) and the watcher's folders.
  using Options = CZEVProductInnerWatcher::Options;

  // How long after the last package change the strategy manager is told.
  static constexpr int64_t kNotifyDelaySeconds = 5;

  // Builds the watcher (and with it the package cache), reads the entries of
  // every cache folder and starts the watcher. A watcher that cannot be built
  // or started is logged; the strategy then offers what it could read.
  explicit CZEVProductInnerStrategy(const Options& options);
  // Stops the watcher and the notify timer and joins their threads: a report
  // under way finishes first, later ones do not happen. Must not run on the
  // thread of the change report, nor while holding a lock that the manager's
  // callable takes.
  ~CZEVProductInnerStrategy() override;

  // Appends a copy, with the update flag set, of every entry that passes
  // CheckComponent. Always true (an empty cache offers nothing).
  bool GetComponents(std::vector<CZEVComponentProxy>* entries) override;
  // Whether the entry's installed files below its cache folder are all
  // present with their SHA-256 and its entry point (when it names one) is a
  // file of its package; failures are logged.
  bool CheckComponent(const CZEVComponentProxy& entry) override;
  // Reads the entries of every cache folder again and checks their files
  // now, without a report (the caller reloads). Always true.
  bool UpdateNow(int64_t timeout_ms, StrategyStatus* result) override;

  // The watcher's report that `folder` changed: rebuilds the entries from all
  // cache folders and (re)arms the report to the manager. False when the
  // report could not be armed (the strategy is stopping).
  bool OnPackagesChanged(const std::string& folder);

  // Null when the watcher could not be built. For tests and benchmarks.
  const CZEVProductInnerWatcher* watcher() const { return watcher_.get(); }

 private:
  // Appends the merged entries of every cache folder to a fresh *entries.
  void Refresh(std::vector<CZEVComponentProxy>* entries);
  bool ArmNotify();
  void NotifyRun(uint64_t seq);

  Clock* const clock_;
  const CZEVProductInnerWatcher::ChangeCallable package_callable_;
  std::unique_ptr<CZEVProductInnerWatcher> watcher_;  // set by the constructor, reset by the destructor

  // The entries have a lock of their own, held only to copy or swap the
  // list, so that no reader waits for a report or a file check.
  Mutex entries_mu_;
  std::vector<CZEVComponentProxy> entries_ GUARDED_BY(entries_mu_);

  Mutex timer_mu_;
  bool stopping_ GUARDED_BY(timer_mu_) = false;
  bool armed_ GUARDED_BY(timer_mu_) = false;
  uint64_t notify_id_ GUARDED_BY(timer_mu_) = 0;  // valid while armed_
  uint64_t notify_seq_ GUARDED_BY(timer_mu_) = 0;  // only the latest arming reports
  std::unique_ptr<TaskTimer> timer_ GUARDED_BY(timer_mu_);  // made on first use
};

}  // namespace zev

#endif  // ZEV_STRATEGY_PRODUCT_STRATEGY_H_
