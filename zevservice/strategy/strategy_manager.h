// CZEVStrategyManager: gathers the catalogue from its sources (the server
// strategy and the product-inner strategy), merges their entries so that
// each component is offered once per architecture in the highest version
// any source has (the product's on a tie), and lays them out as the
// catalogue's entries (CatalogueEntries). The component manager reads them
// once at start-up and then receives them through its change handler
// whenever a source reports a change; change reports are handled one at a
// time.
#ifndef ZEV_STRATEGY_STRATEGY_MANAGER_H_
#define ZEV_STRATEGY_STRATEGY_MANAGER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "platform/registry.h"
#include "strategy/strategy_base.h"

namespace zev {

class CZEVStrategyManager {
 public:
  // The component manager's change handler.
  using CatalogueHandler = std::function<bool(const std::vector<CZEVComponentProxy>& entries)>;

  // Takes over both sources (either may be null: no such source) and hands
  // each the change callable, the server first.
  CZEVStrategyManager(std::unique_ptr<CZEVStrategyBase> server, std::unique_ptr<CZEVStrategyBase> product);
  // Stop().
  ~CZEVStrategyManager();
  CZEVStrategyManager(const CZEVStrategyManager&) = delete;
  CZEVStrategyManager& operator=(const CZEVStrategyManager&) = delete;

  // Keeps a non-null handler (not owned; it must outlive this manager or
  // Stop). Null leaves the kept one.
  void SetCatalogueHandler(const CatalogueHandler* handler);

  // Merges the sources' current entries and sets *entries to the catalogue
  // they make (CatalogueEntries; empty when nothing is offered). False, with
  // *entries untouched, when the server source could not be read or an
  // entry has no version.
  bool GetCatalogue(std::vector<CZEVComponentProxy>* entries);

  // A source's change report: builds the catalogue anew and hands it to the
  // handler, under the lock. Always false (the sources ignore it). Does
  // nothing once Stop has begun.
  bool OnStrategyChanged(CZEVComponentSourceType source);

  // Runs `work` under the lock that the change reports take: the component
  // manager's initial load, which must not interleave with a report.
  void RunExclusive(const std::function<void()>& work);

  // The store whose holds (strategy/holds.h) and versions marked bad
  // (strategy/bad_versions.h) GetCatalogue applies to the merged entries;
  // not owned, must outlive this manager. Unset: neither.
  // Set before the first GetCatalogue.
  void SetHoldStore(RegistryStore* registry) { hold_store_.store(registry); }

  // An operator's "update now": the product source rescans, then the server
  // source runs a pass at once and this waits up to `timeout_ms` for it to
  // end (its report reloads the catalogue first); *result is the pass's
  // record. Without a server source the catalogue is reloaded here. False
  // when the pass did not end in time, or Stop has begun.
  bool UpdateNow(int64_t timeout_ms, StrategyStatus* result);
  // The holds or the versions marked bad changed: reloads the catalogue at once, as a source's change
  // report does, and asks the server source for a pass without waiting for
  // it (a version a hold now allows is installed then).
  void HoldsChanged();

  // Waits for a report under way, makes later ones do nothing, then ends the
  // product source and the server source (its update thread, then its
  // downloads) and destroys them. Idempotent.
  void Stop();

 private:
  // The catalogue for the handler, handed to it; with mu_ held.
  void ReloadLocked() REQUIRES(mu_);
  // Counts an operator's call under way; false once Stop has begun.
  bool EnterCall();
  void LeaveCall();

  std::unique_ptr<CZEVStrategyBase> server_;
  std::unique_ptr<CZEVStrategyBase> product_;
  // What the sources call; lives as long as this object, after both.
  SourceChangedCallback changed_;

  Mutex mu_;  // one report (or the initial load) at a time
  bool stopping_ GUARDED_BY(mu_) = false;
  const CatalogueHandler* handler_ GUARDED_BY(mu_) = nullptr;
  std::atomic<RegistryStore*> hold_store_{nullptr};

  // Operators' calls under way (UpdateNow, HoldsChanged), which Stop waits
  // for after ending their waits.
  std::mutex calls_mu_;
  std::condition_variable calls_cv_;
  int calls_ = 0;           // under calls_mu_
  bool closing_ = false;    // under calls_mu_
};

// The catalogue that the merged entries make, as the component manager
// loads it. Entries are grouped by application code in order of first
// appearance, and within an application by componentID (the first
// component with that id gathers the later entries): an entry whose version
// text equals one of that component's versions replaces it in place when
// the archType matches and starts a component of its own (appended) when it
// does not; any other version is appended to the component. *out is set to
// one new entry per version in that order (CatalogueEntry): the component's
// name, componentID and description are those of the entry that began it,
// the application's name is the Base64 of its first entry's application
// name. False, with *out untouched, when an entry has no version (each is
// logged with its componentID).
bool CatalogueEntries(const std::vector<CZEVComponentProxy>& merged, std::vector<CZEVComponentProxy>* out);

}  // namespace zev

#endif  // ZEV_STRATEGY_STRATEGY_MANAGER_H_
