// What keeps a version of the download folder (download/version_gc.h), as
// the service knows it: the local component database's records, the
// component manager's loaded versions and the operators' holds.
#ifndef ZEV_STRATEGY_VERSION_COLLECTION_H_
#define ZEV_STRATEGY_VERSION_COLLECTION_H_

#include <set>
#include <string>

#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "download/version_gc.h"
#include "model/loaded_components.h"
#include "platform/registry.h"
#include "strategy/local_database.h"

namespace zev {

// The keep set of the records in `local`, the versions of `loaded` (may be
// null) and `held`.
GcKeep KeepFor(const CZEVApplications& local, const LoadedComponentMap* loaded, std::set<GcVersion> held);

// Collects below `download_dir`, keeping what `database` records (loaded
// anew), what `loaded` (may be empty) answers and the versions the holds in
// `registry` name. Holds that cannot be read remove nothing (not ok).
GcResult CollectOldVersions(const std::string& download_dir, LocalComponentDatabase* database,
                            const LoadedComponentsSource& loaded, RegistryStore* registry, bool dry_run);

}  // namespace zev

#endif  // ZEV_STRATEGY_VERSION_COLLECTION_H_
