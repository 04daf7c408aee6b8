// The control methods for operators (zevctl update, hold, unhold, holds),
// served under the control server's id:
//   "updateNow"  a pass of the server strategy at once and a rescan of the
//                product packages; answers when the pass has ended, with
//                its record and the time it took;
//   "hold"       keeps a component at a version (the one running now when
//                none is given) and reloads the catalogue;
//   "unhold"     drops the hold and the mark of a version rolled back
//                (strategy/bad_versions.h), and reloads;
//   "listHolds"  the holds.
// The first three change state: only root and the service's own user may
// call them (the peer's credentials); anyone may list.
#ifndef ZEV_HOST_OPERATOR_METHODS_H_
#define ZEV_HOST_OPERATOR_METHODS_H_

#include <functional>
#include <memory>

#include "base/clock.h"
#include "model/loaded_components.h"
#include "platform/registry.h"
#include "rpc/rpc_dispatch.h"
#include "strategy/strategy_manager.h"

namespace zev {

struct OperatorDeps {
  // The strategy manager running now; null before the start and after the
  // end (the calls then fail with "the strategies are not running").
  std::function<std::shared_ptr<CZEVStrategyManager>()> strategies;
  // Where the holds are kept; not owned, outlives the method registry.
  RegistryStore* registry = nullptr;
  // What is loaded: the version of a hold that names none.
  LoadedComponentsSource loaded;
  // Times the pass for its answer; not owned.
  Clock* clock = nullptr;
};

// The longest "updateNow" waits for its pass, and its default.
constexpr int64_t kUpdateNowWaitLimitSeconds = 3600;
constexpr int64_t kUpdateNowWaitDefaultSeconds = 600;

// Registers the four methods. False when one was taken already.
bool RegisterOperatorMethods(CZEVMethodRegistry* methods, OperatorDeps deps);

}  // namespace zev

#endif  // ZEV_HOST_OPERATOR_METHODS_H_
