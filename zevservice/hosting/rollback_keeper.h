// RollbackKeeper: rolls back a version of a component that crash-loops.
// The component loader tells it which entries replaced which
// (LoadedChanged); the monitor tells it of components' processes that
// ended and of hosts that failed (as its observer). When a version that
// took the place of another fails as CrashLoopWatch says, the keeper marks
// it bad in the registry (strategy/bad_versions.h) with the entry it
// replaced, logs it as an error, reports an event of code 7 "rolledback"
// naming both versions, counts it (zev_rollbacks), records it in the
// strategy status (zevctl strategy, zevctl status), and has the strategy
// manager reload its catalogue: the bad version gives way to the previous
// one when that one's files still verify, else the component is released.
//
// Threads: LoadedChanged and OnMonitorEvent only note what they are told
// and return; the marks and the reload run on the keeper's own thread, so
// that a reload (which waits on the monitor) never runs on the monitor's.
// That thread starts with the first rollback: a keeper that never rolls
// back holds none.
#ifndef ZEV_HOSTING_ROLLBACK_KEEPER_H_
#define ZEV_HOSTING_ROLLBACK_KEEPER_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "base/timings.h"
#include "hosting/crash_loop.h"
#include "hosting/monitor.h"
#include "model/component_proxy.h"
#include "platform/registry.h"
#include "server/event_reporter.h"
#include "strategy/strategy_manager.h"

namespace zev {

struct RollbackOptions {
  Clock* clock = nullptr;             // not owned; required
  RegistryStore* registry = nullptr;  // where the marks and the status go; required
  int failures = Timings().crash_loop_failures;
  int64_t window_ms = Timings().crash_loop_window_ms;
  // Receives each code-7 event; empty: dropped.
  std::function<void(const EventElement&)> events;
  // The strategy manager running now (null: none, nothing is reloaded).
  std::function<std::shared_ptr<CZEVStrategyManager>()> strategies;
  // Also told of every monitor event, first; not owned, may be null.
  pubsdk::MonitorObserver* next = nullptr;
};

class RollbackKeeper : public pubsdk::MonitorObserver {
 public:
  explicit RollbackKeeper(RollbackOptions options);
  ~RollbackKeeper() override;  // Stop()
  RollbackKeeper(const RollbackKeeper&) = delete;
  RollbackKeeper& operator=(const RollbackKeeper&) = delete;

  // The loaded entries went from `before` to `after`: an entry of `after`
  // in another version than its twin (IsSameComponent) in `before` is
  // watched from now, unless `before` held a version this keeper rolled
  // back (the rollback itself); components that went are forgotten.
  void LoadedChanged(const std::vector<CZEVComponentProxy>& before, const std::vector<CZEVComponentProxy>& after)
      EXCLUDES(mu_);
  // A failure of a watched version (a process that ended with a non-zero
  // status or by a signal, or a host that failed while it ran it) counts;
  // the one that makes a crash loop queues its rollback.
  void OnMonitorEvent(const pubsdk::MonitorEvent& event) override EXCLUDES(mu_);
  // Ends the thread after the rollback under way; later ones are dropped.
  void Stop() EXCLUDES(mu_);

 private:
  struct Pending {
    std::string app;
    std::string component;
    std::string version;
    bool has_previous = false;
    CZEVComponentProxy previous;
  };
  void Failed(const std::string& app, const std::string& component, const std::string& version) REQUIRES(mu_);
  void Run() EXCLUDES(mu_);
  void RollBack(const Pending& pending) EXCLUDES(mu_);

  const RollbackOptions options_;
  Mutex mu_;
  std::condition_variable wake_;
  CrashLoopWatch watch_ GUARDED_BY(mu_);
  // By app + NUL + component: the entry a watched version replaced.
  std::map<std::string, CZEVComponentProxy> previous_ GUARDED_BY(mu_);
  // app + NUL + component + NUL + version of each version rolled back.
  std::set<std::string> rolled_back_ GUARDED_BY(mu_);
  std::deque<Pending> pending_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_ GUARDED_BY(mu_);  // runs Run once a rollback was queued
};

}  // namespace zev

#endif  // ZEV_HOSTING_ROLLBACK_KEEPER_H_
