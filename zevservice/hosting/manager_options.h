// The values the component manager is made from: its options, what the
// composition root hands it, and the hooks through which it tells its owner.
#ifndef ZEV_HOSTING_MANAGER_OPTIONS_H_
#define ZEV_HOSTING_MANAGER_OPTIONS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/timings.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "contract/names.h"
#include "hosting/monitor_interfaces.h"
#include "platform/registry.h"
#include "rpc/pipe_processor.h"
#include "rpc/rpc_dispatch.h"
#include "strategy/strategy_manager.h"

namespace zev {

// kInstanceMutexName, kPortKey, kPortKeyWow64 and kPortValueName are in
// contract/names.h.
extern const char kHostProgramName[];    // "zevhost"

// The delays default to Timings() (base/timings.h), which names each; the
// composition root sets them from its Timings.
struct ManagerOptions {
  int instance_attempts = Timings().instance_attempts;
  int64_t instance_retry_ms = Timings().instance_retry_ms;
  int first_port = 61024;
  int last_port = 61124;
  int64_t port_write_retry_ms = Timings().port_write_retry_ms;
  // Quit returns as soon as the hosts have left.
  int64_t host_stop_wait_ms = Timings().host_stop_wait_ms;
  // The port guard's probes (when ManagerDeps::port_guard).
  int64_t port_probe_first_ms = Timings().port_probe_first_ms;
  int64_t port_probe_interval_ms = Timings().port_probe_interval_ms;

  // These fields set from `timings`; the ports stay as they are.
  void SetTimings(const Timings& timings) {
    instance_attempts = timings.instance_attempts;
    instance_retry_ms = timings.instance_retry_ms;
    port_write_retry_ms = timings.port_write_retry_ms;
    host_stop_wait_ms = timings.host_stop_wait_ms;
    port_probe_first_ms = timings.port_probe_first_ms;
    port_probe_interval_ms = timings.port_probe_interval_ms;
  }
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
// manager; all of it must outlive it. The clock, the registry, the methods
// and the folders are required.
struct ManagerDeps {
  Clock* clock = nullptr;
  // Where the port is published and the bind address is read.
  RegistryStore* registry = nullptr;
  // The methods the HTTP endpoint serves.
  const CZEVMethodRegistry* methods = nullptr;
  // The pipe front end; null: none is started.
  CZEVPipeServerImpl* pipe_server = nullptr;
  // The runtime folder (<common>/run): the instance and port lock files.
  std::string run_dir;
  // The common data folder, below which the default download folder lies.
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
  // Told of each change of the loaded entries, to watch the versions that
  // replaced others (hosting/rollback_keeper.h); null: none is watched.
  std::function<void(const std::vector<CZEVComponentProxy>& before, const std::vector<CZEVComponentProxy>& after)>
      versions_changed;
};

// What the manager tells its owner; set before Start().
struct ManagerHooks {
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

}  // namespace zev

#endif  // ZEV_HOSTING_MANAGER_OPTIONS_H_
