// The component manager's components: the host-process monitor's life, the
// strategy manager, the entries built from the catalogue, loading them into
// hosts through the monitor, releasing and loading again when the catalogue
// changes, and the loaded map as readers see it. The manager sequences it
// with its front ends.
#ifndef ZEV_HOSTING_COMPONENT_LOADER_H_
#define ZEV_HOSTING_COMPONENT_LOADER_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "hosting/manager_options.h"
#include "hosting/stop_state.h"
#include "model/component_proxy.h"
#include "model/loaded_components.h"

namespace zev {

class CZEVComponentLoader {
 public:
  // Makes the monitor (deps.monitor_factory). All arguments are the
  // manager's and outlive the loader.
  CZEVComponentLoader(const ManagerDeps& deps, const ManagerOptions& options, StopState* stop,
                      const ManagerHooks* hooks);
  ~CZEVComponentLoader();  // StopStrategies, ReleaseMonitor
  CZEVComponentLoader(const CZEVComponentLoader&) = delete;
  CZEVComponentLoader& operator=(const CZEVComponentLoader&) = delete;

  // Whether components are run at all (a monitor factory was given).
  bool runs_components() const { return static_cast<bool>(deps_.monitor_factory); }
  // With the instance mutex held: Init and Start of the monitor, which is
  // released when either fails.
  void StartMonitor();
  // Start's loading step: the monitor must run; then the strategy manager
  // (when there is a factory) and the initial load.
  bool StartComponents();
  // Ends the strategy manager: no change report reaches the handler after.
  void StopStrategies();
  // Quit's step, after any load under way: "stopall" to every host, a pause
  // for them to end, the monitor left.
  void StopComponents() EXCLUDES(load_mu_);

  int RunningHosts() const;
  int RefusedComponents() const;
  // Whether `pid` belongs to a host process group started for component `id`.
  bool IsComponentProcess(pid_t pid, const std::string& id) const;
  // The processes of the hosts that run now.
  std::vector<pid_t> HostPids() const;

  void LoadApplication(const CZEVApplication& application);
  bool OnCatalogueChanged(const std::vector<CZEVComponentProxy>& entries);
  LoadedComponentsSnapshot loaded() const;
  std::vector<CZEVComponentProxy> loaded_list() const;
  pubsdk::IZEVMonitor* monitor() const { return monitor_; }

 private:
  // Which walk over the catalogue loads an entry: the start-up load reports
  // its progress, and the change handler logs in words of its own.
  enum class Walk { kInitial, kApplication, kChange };

  void CreateMonitor();
  void ReleaseMonitor();
  bool LoadInitialCatalogue(bool have_catalogue, const std::vector<CZEVComponentProxy>& entries);
  // With load_mu_ held: the default download folder, once.
  void SetDownloadDir() REQUIRES(load_mu_);
  // The one load loop: loads each entry in turn (none once Quit has begun)
  // and logs the outcome.
  void LoadEntries(const std::vector<CZEVComponentProxy>& entries, Walk walk) REQUIRES(load_mu_);
  // With load_mu_ held: the catalogue's entries as they are loaded, each
  // with the install root of its manifest or the default download folder.
  std::vector<CZEVComponentProxy> Rooted(std::vector<CZEVComponentProxy> entries) const REQUIRES(load_mu_);
  bool LoadComponent(const CZEVComponentProxy& entry);
  bool ReleaseComponent(const CZEVComponentProxy& entry);
  // With load_mu_ held: makes `map` and `list` what readers see.
  void Publish(LoadedComponentMap map, std::vector<CZEVComponentProxy> list) REQUIRES(load_mu_);

  const ManagerDeps& deps_;
  const ManagerOptions& options_;
  StopState* const stop_;
  const ManagerHooks* const hooks_;

  // The monitor, made at construction; both null when it was not made or
  // did not start. monitor_ is a reference of its own to the same object.
  pubsdk::IUnknownBase* monitor_object_ = nullptr;
  pubsdk::IZEVMonitor* monitor_ = nullptr;
  // Whether StartMonitor started it; used by the thread that runs Start and
  // Quit (and by the destructor).
  bool monitor_started_ = false;

  // One walk over the catalogue at a time: the initial load and the change
  // handler. Held for the whole walk, which may wait on hosts.
  Mutex load_mu_;
  std::string default_download_dir_ GUARDED_BY(load_mu_);
  uint64_t changes_handled_ GUARDED_BY(load_mu_) = 0;

  // The loaded map and list, replaced as a whole (under load_mu_ too) so
  // that readers share them without copying.
  mutable Mutex published_mu_;
  LoadedComponentsSnapshot published_ GUARDED_BY(published_mu_);
  std::shared_ptr<const std::vector<CZEVComponentProxy>> published_list_ GUARDED_BY(published_mu_);
  // The change handler as the strategy manager calls it; declared before the
  // strategy manager, which must not outlive it.
  CZEVStrategyManager::CatalogueHandler catalogue_handler_;
  Mutex strategies_mu_;
  // Shared with a Start under way, so that a Quit meanwhile can stop it
  // without pulling it from under the Start.
  std::shared_ptr<CZEVStrategyManager> strategies_ GUARDED_BY(strategies_mu_);
};

}  // namespace zev

#endif  // ZEV_HOSTING_COMPONENT_LOADER_H_
