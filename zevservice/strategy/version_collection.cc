#include "strategy/version_collection.h"

#include <utility>
#include <vector>

#include "strategy/holds.h"

namespace zev {

GcKeep KeepFor(const CZEVApplications& local, const LoadedComponentMap* loaded, std::set<GcVersion> held) {
  GcKeep keep;
  for (const CZEVApplication& application : local.application()) {
    for (const CZEVComponent& component : application.components().component()) {
      for (const CZEVVersion& version : component.versions().version()) {
        keep.recorded.emplace(application.code(), component.componentid(), version.version());
      }
    }
  }
  if (loaded != nullptr) {
    for (const auto& entry : *loaded) {
      keep.loaded.emplace(std::get<0>(entry.first), std::get<1>(entry.first), std::get<2>(entry.first));
    }
  }
  keep.held = std::move(held);
  return keep;
}

GcResult CollectOldVersions(const std::string& download_dir, LocalComponentDatabase* database,
                            const LoadedComponentsSource& loaded, RegistryStore* registry, bool dry_run) {
  std::vector<Hold> holds;
  if (!ReadHolds(registry, &holds)) {
    GcResult refused;
    refused.ok = false;
    refused.error = "the holds cannot be read";
    return refused;
  }
  std::set<GcVersion> held;
  for (const Hold& hold : holds) held.emplace(hold.app, hold.component, hold.version);
  database->LoadLocalDatabase();
  LoadedComponentsSnapshot snapshot = loaded ? loaded() : nullptr;
  return CollectVersions(download_dir, KeepFor(database->GetLocalApplications(), snapshot.get(), std::move(held)),
                         dry_run);
}

}  // namespace zev
