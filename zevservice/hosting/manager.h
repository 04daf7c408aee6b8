// The component manager: its start-up and shutdown (single instance, the
// RPC port and its publication in the registry, the HTTP endpoint, the pipe
// server, the host-process monitor) and the components it runs: entries
// built from the catalogue, loaded into hosts through the monitor, released
// and loaded again when the catalogue changes.
#ifndef ZEV_HOSTING_MANAGER_H_
#define ZEV_HOSTING_MANAGER_H_

#include <condition_variable>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "contract/names.h"
#include "hosting/monitor_interfaces.h"
#include "hosting/port_guard.h"
#include "model/component_proxy.h"
#include "model/loaded_components.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "strategy/strategy_manager.h"
#include "rpc/http_server.h"
#include "rpc/pipe_processor.h"

// kInstanceMutexName, kPortKey, kPortKeyWow64 and kPortValueName are in
// contract/names.h.
extern const char kHostProgramName[];    // "zevhost"

struct ManagerOptions {
  int instance_attempts = 11;
  int instance_retry_ms = 3000;
  int first_port = 61024;
  int last_port = 61124;
  // How long to wait before writing the port to the registry again after a
  // failed write (a full disk at start-up).
  int port_write_retry_ms = 60000;
  // How long Quit waits for the hosts to leave after "stopall"; it returns
  // as soon as they have.
  int host_stop_wait_ms = 3000;
};

// The merged catalogue as the manager asks for it at start-up: fills
// *applications; false when there is none yet (nothing is loaded then).
using CatalogueSource = std::function<bool(CZEVApplications* applications)>;
// Makes the strategy manager, the source of the catalogue, at Start. `stop`
// is set once a stop is requested: work done while making it (unpacking the
// product packages) ends early then, so that it never holds up a stop.
using StrategyFactory = std::function<std::shared_ptr<CZEVStrategyManager>(const std::atomic<bool>* stop)>;
// Makes the host-process monitor: a new object with one reference, which
// the manager takes over, or null.
using MonitorFactory = std::function<pubsdk::IUnknownBase*()>;

// What the composition root hands the manager. Nothing here is owned by the
// manager; all of it must outlive it.
struct ManagerDeps {
  Clock* clock = Clock::Real();
  // Where the port is published and the bind address is read.
  RegistryStore* registry = &RegistryStore::Default();
  // The methods the HTTP endpoint serves.
  const CZEVMethodRegistry* methods = &CZEVMethodRegistry::instance();
  // The pipe front end; null: none is started.
  CZEVPipeServerImpl* pipe_server = nullptr;
  // Folder of the instance lock file; empty: the runtime folder.
  std::string run_dir;
  // The common data folder, below which the default download folder lies;
  // empty: GetCommonDataDir().
  std::string common_dir;
  // Creates the monitor when the manager is constructed; Start initialises
  // and starts it once the instance mutex is held. Empty: the manager runs
  // no components (only the front ends), and Start loads nothing.
  MonitorFactory monitor_factory;
  // The catalogue for the load at Start when there is no strategy manager;
  // empty: none.
  CatalogueSource catalogue;
  // Whether a port guard holds the port mutex while the HTTP endpoint
  // answers (the default root's manager has one; tests choose).
  bool port_guard = false;
  // Makes the strategy manager when Start loads components: its catalogue is
  // the initial load, its change reports reach the change handler. Empty:
  // none (the catalogue above is used).
  StrategyFactory strategies;
};

class CZEVManager {
 public:
  // The process-wide manager of the default composition root, created on
  // first use.
  static CZEVManager& instance();

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

  // What the manager tells its owner; set before Start().
  struct Hooks {
    // Before each step of Start that may take long (an instance attempt, a
    // component load), with how long it may take on the clock.
    std::function<void(int64_t ms)> start_progress;
    // After the initial load and after each catalogue change handled, from
    // the thread that did it; and after a host refused to start a
    // component, from the monitor's thread.
    std::function<void()> loaded_changed;
    // Just before the HTTP endpoint binds `port`, which was found free.
    std::function<void(int port)> before_listen;
  };
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
  // components), adds each to the loaded list and map and loads it.
  void LoadApplication(const CZEVApplication& application);
  // The change handler: releases the loaded entries that the new catalogue
  // no longer holds unchanged (same application code, architecture,
  // componentID, an equal version, source type and updateTime), then loads
  // every entry of the new catalogue and publishes it as the loaded map.
  // Runs one at a time with the initial load. Always true.
  bool OnCatalogueChanged(const CZEVApplications& applications);
  // OnCatalogueChanged bound to this manager, for the strategy manager.
  std::function<bool(const CZEVApplications&)> change_handler();
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
  pubsdk::IZEVMonitor* monitor() const { return monitor_; }

 private:
  // Start's part under mu_: the front ends, once the instance is ours.
  bool StartFrontEnds(std::unique_ptr<NamedMutex> instance_mutex);
  // Waits up to `ms` on the clock; false when Quit() came first.
  bool WaitBeforeRetry(int ms);
  // Body of port_writer_: writes `port` to the registry after each wait until
  // a write succeeds or Quit() ends the wait.
  void RetryPortWrite(int port);

  // Component management (manager_components.cc).
  void CreateMonitor();
  // With mu_ held and the instance mutex ours: Init and Start of the
  // monitor, which is released when either fails.
  void StartMonitor();
  // Uninit (of a monitor that started) and the references released.
  void ReleaseMonitor();
  // Start's loading step: the monitor must run; then the strategy manager
  // (when there is a factory) and the initial load.
  bool StartComponents();
  // The initial load of `applications` (when `have_catalogue`), under
  // load_mu_.
  bool LoadInitialCatalogue(bool have_catalogue, const CZEVApplications& applications);
  // Ends the strategy manager: no change report reaches the handler after.
  void StopStrategies();
  // With load_mu_ held: the default download folder, once.
  void SetDownloadDir();
  // With load_mu_ held: adds the application's entries to `map` and `list`
  // and loads each (unless Quit has begun).
  void LoadEntries(const CZEVApplication& application, LoadedComponentMap* map,
                   std::vector<CZEVComponentProxy>* list);
  bool Quitting() const;
  // Quit's step: "stopall" to every host, a pause for them to end, Uninit.
  void StopComponents();
  std::vector<CZEVComponentProxy> BuildEntries(const CZEVApplication& application);
  bool LoadComponent(const CZEVComponentProxy& entry);
  bool ReleaseComponent(const CZEVComponentProxy& entry);
  // With load_mu_ held: makes `map` and `list` what readers see.
  void Publish(LoadedComponentMap map, std::vector<CZEVComponentProxy> list);

  const ManagerDeps deps_;
  const ManagerOptions options_;

  // The monitor, made at construction; both null when it was not made or
  // did not start. monitor_ is a reference of its own to the same object.
  pubsdk::IUnknownBase* monitor_object_ = nullptr;
  pubsdk::IZEVMonitor* monitor_ = nullptr;
  // Whether StartMonitor started it; set and read under mu_ (and by the
  // destructor).
  bool monitor_started_ = false;

  // One walk over the catalogue at a time: the initial load and the change
  // handler. Held for the whole walk, which may wait on hosts.
  std::mutex load_mu_;
  std::string default_download_dir_;  // guarded by load_mu_
  uint64_t changes_handled_ = 0;      // guarded by load_mu_
  bool initial_load_ = false;         // guarded by load_mu_

  // The loaded map and list, replaced as a whole (under load_mu_ too) so
  // that readers share them without copying.
  mutable std::mutex published_mu_;
  LoadedComponentsSnapshot published_;                      // guarded by published_mu_
  std::shared_ptr<const std::vector<CZEVComponentProxy>> published_list_;  // guarded by published_mu_
  // The change handler as the strategy manager calls it; declared before the
  // strategy manager, which must not outlive it.
  CZEVStrategyManager::CatalogueHandler catalogue_handler_;
  std::mutex strategies_mu_;
  // Shared with a Start under way, so that a Quit meanwhile can stop it
  // without pulling it from under the Start.
  std::shared_ptr<CZEVStrategyManager> strategies_;  // guarded by strategies_mu_

  // Serialises Start and Quit. Never held while Start waits between
  // attempts, so that Quit can end the wait.
  std::mutex mu_;
  std::unique_ptr<NamedMutex> instance_mutex_;   // guarded by mu_
  std::unique_ptr<CZEVHttpServer> http_server_;  // guarded by mu_
  // Started with the endpoint; stopped (its timer thread joined) before it.
  std::unique_ptr<CZEVPortGuard> port_guard_;    // guarded by mu_
  bool http_started_ = false;                    // guarded by mu_
  bool pipe_started_ = false;                    // guarded by mu_
  // Retries a failed port write; started by Start(), joined by Quit().
  std::thread port_writer_;  // guarded by mu_

  Hooks hooks_;

  mutable std::mutex state_mu_;
  std::condition_variable quit_cv_;
  bool quitting_ = false;                       // guarded by state_mu_
  bool stop_requested_ = false;                 // guarded by state_mu_
  std::atomic<bool> stop_flag_{false};          // quitting_, for the strategies' start-up work
  int port_ = 0;                                // guarded by state_mu_
  std::vector<std::string> failed_front_ends_;  // guarded by state_mu_
  bool instance_held_elsewhere_ = false;        // guarded by state_mu_
};

// The first available port from `first` to `last` inclusive, logging each
// one that is not; 0 when none is. A range whose end lies below its start
// logs "maxPort is smaller than the incoming port." and gives `first`.
int PickPort(int first, int last);

// Writes the port under both port keys of the classes root of `registry`.
// False (with debugger output) when either write failed.
bool WritePortToRegistry(int port, RegistryStore* registry = &RegistryStore::Default());

#endif  // ZEV_HOSTING_MANAGER_H_
