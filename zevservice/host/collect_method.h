// "collectVersions" of the control server: removes the old versions of the
// download folder (strategy/version_collection.h) at an operator's request
// ("zevctl gc"), or with dryRun only lists them and the bytes they hold.
// Listing is for everyone; removal for root and the service's user alone,
// by the caller's credentials (the socket's peer).
#ifndef ZEV_HOST_COLLECT_METHOD_H_
#define ZEV_HOST_COLLECT_METHOD_H_

#include <string>

#include "model/loaded_components.h"
#include "platform/registry.h"
#include "rpc/rpc_dispatch.h"

namespace zev {

struct CollectMethodDeps {
  std::string download_dir;  // empty: every call fails
  RegistryStore* registry = nullptr;  // not owned; outlives the method
  std::string database_key;  // empty: MakeDatabaseKey() of this machine
  LoadedComponentsSource loaded;  // may be empty
};

// Registers "collectVersions" (as changing state) with the control server's
// id. False when `methods` is null or the name was taken.
bool RegisterCollectMethod(CZEVMethodRegistry* methods, CollectMethodDeps deps);

}  // namespace zev

#endif  // ZEV_HOST_COLLECT_METHOD_H_
