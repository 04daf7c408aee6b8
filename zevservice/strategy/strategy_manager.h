// CZEVStrategyManager: gathers the catalogue from its sources (the server
// strategy and the product-inner strategy), merges their entries so that
// each component is offered once per architecture in the highest version
// any source has (the product's on a tie), and folds them into one
// CZEVApplications. The component manager reads it once at start-up and
// then receives it through its change handler whenever a source reports a
// change; change reports are handled one at a time.
#ifndef ZEV_STRATEGY_STRATEGY_MANAGER_H_
#define ZEV_STRATEGY_STRATEGY_MANAGER_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "strategy/strategy_base.h"

class CZEVStrategyManager {
 public:
  // The component manager's change handler.
  using CatalogueHandler = std::function<bool(const CZEVApplications& applications)>;

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

  // Merges the sources' current entries into *applications. False, with
  // *applications untouched, when the server source could not be read or
  // an entry could not be folded in; true and untouched when nothing is
  // offered.
  bool GetApplications(CZEVApplications* applications);

  // A source's change report: builds the catalogue anew and hands it to the
  // handler, under the lock. Always false (the sources ignore it). Does
  // nothing once Stop has begun.
  bool OnStrategyChanged(CZEVComponentSourceType source);

  // Runs `work` under the lock that the change reports take: the component
  // manager's initial load, which must not interleave with a report.
  void RunExclusive(const std::function<void()>& work);

  // Waits for a report under way, makes later ones do nothing, then ends the
  // product source and the server source (its update thread, then its
  // downloads) and destroys them. Idempotent.
  void Stop();

 private:
  std::unique_ptr<CZEVStrategyBase> server_;
  std::unique_ptr<CZEVStrategyBase> product_;
  // What the sources call; lives as long as this object, after both.
  SourceChangedCallback changed_;

  std::mutex mu_;  // one report (or the initial load) at a time
  bool stopping_ = false;                     // guarded by mu_
  const CatalogueHandler* handler_ = nullptr;  // guarded by mu_
};

// The folding step of GetApplications: adds each entry's component and
// version to *applications (a new application is named with the Base64 of
// the entry's application name). False when an entry could not be folded in
// (logged with its componentID); the others still are.
bool CombineApplications(CZEVApplications* applications, const std::vector<CZEVComponentProxy>& entries);

#endif  // ZEV_STRATEGY_STRATEGY_MANAGER_H_
