// The component manager: the start-up and shutdown of its front ends
// (single instance, the RPC port and its publication in the registry, the
// HTTP endpoint, the pipe server; hosting/front_ends.h) and of the components
// it runs (entries built from the catalogue, loaded into hosts through the
// monitor, released and loaded again when the catalogue changes;
// hosting/component_loader.h), in the order the service needs.
#ifndef ZEV_HOSTING_MANAGER_H_
#define ZEV_HOSTING_MANAGER_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "hosting/component_loader.h"
#include "hosting/front_ends.h"
#include "hosting/manager_options.h"
#include "hosting/stop_state.h"
#include "model/component_proxy.h"
#include "model/loaded_components.h"
#include "platform/named_mutex.h"

namespace zev {

class CZEVManager {
 public:
  explicit CZEVManager(ManagerDeps deps, ManagerOptions options = ManagerOptions());
  ~CZEVManager();  // Quit() when started
  CZEVManager(const CZEVManager&) = delete;
  CZEVManager& operator=(const CZEVManager&) = delete;

  // Takes the single-instance mutex (retrying), ends hosts left from an
  // earlier run, starts the monitor (nothing is written to the runtime or
  // data folder before the mutex is held), starts the HTTP endpoint on the
  // first free port of the range and the address that the registry gives
  // (ReadHttpBindAddress), writes the port to the registry and starts the
  // pipe server. A port write that
  // fails is tried again every port_write_retry_ms on the clock, on a thread
  // of the manager, until it succeeds or Quit() runs. Then, when the
  // manager runs components, the monitor must be running and every
  // application of the catalogue is loaded. False when the instance mutex
  // could not be had, Quit() ended the retries (nothing else is done then),
  // or the monitor is not running.
  bool Start();
  // Ends a Start() that waits between instance attempts at once (and one
  // that loads, at the next component); then, in this order: the port write
  // retries (joining their thread), the HTTP endpoint, the pipe server, the
  // strategy manager (no change report after), the port guard (joining its
  // timer), "stopall" to every host with up to 3 s on the clock for them to
  // end, the monitor left (joining its threads), the instance mutex
  // released; logs "ZEVService quit".
  // May run on any thread while Start() runs.
  void Quit();
  // A stop asked while Start() may still run (a signal during start-up):
  // ends Start's waits for the instance mutex and its load between
  // components, so that Start returns soon and Quit() can follow. Holds
  // until the next Quit(), even when Start() has not begun yet.
  void RequestStop();

  using Hooks = ManagerHooks;
  void set_hooks(Hooks hooks) { hooks_ = std::move(hooks); }
  // The hosts that run a process now (0 without a monitor). From the thread
  // that runs Start and Quit, or from a hook.
  int RunningHosts() const;
  // The components whose hosts refused to start them (0 without a monitor).
  // As RunningHosts.
  int RefusedComponents() const;

  // The picked port (0 before Start or when none was free).
  int port() const;
  // The front ends that the last Start() could not start, by name ("http",
  // "pipe"), in that order; empty when all it tried started or it stopped
  // before trying them.
  std::vector<std::string> failed_front_ends() const;
  // True when the last Start() gave up because another instance holds the
  // instance mutex: this one then serves nothing and stays idle.
  bool instance_held_elsewhere() const;

  // Builds the entries of `application` (one per version of each of its
  // components, EntriesOf), adds each to the loaded list and map and loads it.
  void LoadApplication(const CZEVApplication& application);
  // The change handler, with the new catalogue's entries (as the strategy
  // manager lays them out): releases the loaded entries that it no longer
  // holds unchanged (same application code, architecture, componentID, an
  // equal version, source type and updateTime), then loads each of its
  // entries and publishes them as the loaded map. Runs one at a time with
  // the initial load. Always true.
  bool OnCatalogueChanged(const std::vector<CZEVComponentProxy>& entries);
  // OnCatalogueChanged bound to this manager, for the strategy manager.
  std::function<bool(const std::vector<CZEVComponentProxy>&)> change_handler();
  // The loaded map as last published; never null. Any thread.
  LoadedComponentsSnapshot loaded() const;
  // A source of loaded() for readers such as the control server; valid as
  // long as the manager lives.
  LoadedComponentsSource loaded_source();
  // The loaded list in load order (a copy). Any thread.
  std::vector<CZEVComponentProxy> loaded_list() const;
  // The monitor's component interface; null when none was made or it
  // failed to start. Valid until Quit (which leaves the monitor); for tests and
  // the thread that runs Start and Quit.
  pubsdk::IZEVMonitor* monitor() const { return loader_.monitor(); }

 private:
  // Start's part under mu_, once the instance is ours: the hosts left from an
  // earlier run end, the monitor starts, then the front ends.
  bool StartFrontEnds(std::unique_ptr<NamedMutex> instance_mutex);

  const ManagerDeps deps_;
  const ManagerOptions options_;
  Hooks hooks_;
  StopState stop_;
  // The components, then the front ends: the front ends (and the socket
  // server's peer check, which asks the loader's monitor) go first.
  CZEVComponentLoader loader_;
  CZEVFrontEnds front_ends_;
  // Serialises Start and Quit. Never held while Start waits between
  // attempts, so that Quit can end the wait.
  Mutex mu_;
  bool started_ GUARDED_BY(mu_) = false;  // the front ends began
};

}  // namespace zev

#endif  // ZEV_HOSTING_MANAGER_H_
