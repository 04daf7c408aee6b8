// What the component manager has loaded, keyed by (application code,
// componentID, version, architecture name), as it publishes it to readers
// such as the control server: an immutable snapshot replaced as a whole.
#ifndef ZEV_MODEL_LOADED_COMPONENTS_H_
#define ZEV_MODEL_LOADED_COMPONENTS_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "model/component_proxy.h"

namespace zev {

using LoadedComponentKey = std::tuple<std::string, std::string, std::string, std::string>;
using LoadedComponentMap = std::map<LoadedComponentKey, CZEVComponentProxy>;
using LoadedComponentsSnapshot = std::shared_ptr<const LoadedComponentMap>;
// Answers the latest snapshot (never null once the manager exists; an empty
// map before anything is loaded). Safe to call from any thread.
using LoadedComponentsSource = std::function<LoadedComponentsSnapshot()>;

inline LoadedComponentKey KeyOf(const CZEVComponentProxy& entry) {
  return LoadedComponentKey(entry.GetAppCode(), entry.GetComponentID(), entry.GetVersion(), entry.GetArchName());
}

}  // namespace zev

#endif  // ZEV_MODEL_LOADED_COMPONENTS_H_
