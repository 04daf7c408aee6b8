// The composition root: built once in main, it owns what the whole process
// shares (the data folders as values, the registry store, the clock, the
// method registry, the transports, the event reporter) and hands each module
// what it needs. Tests build a context of their own on a folder of their own
// with the same constructor.
#ifndef ZEV_HOST_SERVICE_CONTEXT_H_
#define ZEV_HOST_SERVICE_CONTEXT_H_

#include <memory>
#include <mutex>
#include <string>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "base/timings.h"
#include "hosting/manager.h"
#include "hosting/monitor.h"
#include "hosting/rollback_keeper.h"
#include "platform/registry.h"
#include "rpc/ipc_server.h"
#include "rpc/pipe_processor.h"
#include "rpc/rpc_dispatch.h"
#include "server/event_reporter.h"

namespace zev {

// Registers every RPC method the service offers in `methods`; the control
// methods read what is loaded from `loaded` and time on `clock` (not owned;
// must outlive `methods`).
void RegisterServiceMethods(CZEVMethodRegistry& methods, LoadedComponentsSource loaded, Clock* clock);

class CZEVServiceContext {
 public:
  struct Options {
    // The common data folder; empty: none (nothing below it can be used).
    std::string common_dir;
    Clock* clock = Clock::Real();  // not owned; must outlive the context
    // The delays of the service loop; ServiceOptions() has also set the
    // parts' options below from it.
    Timings timings;
    ManagerOptions manager;
    // Whether the manager runs components in hosts (a monitor of its own,
    // made with `monitor` on the context's clock, whose runtime folder
    // defaults to the context's); false: front ends only.
    bool host_components = false;
    pubsdk::MonitorOptions monitor;
    // The catalogue loaded at start-up; empty: none.
    CatalogueSource catalogue;
    // Makes the strategy manager whose catalogue is loaded instead; empty:
    // none.
    StrategyFactory strategies;
    // Filled by the context with what its manager has loaded, for the
    // strategies that `strategies` makes (null: none asks).
    std::shared_ptr<LoadedComponentsSource> strategies_loaded;
    // Whether a port guard holds the port mutex while the endpoint answers.
    bool port_guard = false;
    // Objects made before the context that it is to use; null: it makes its
    // own on the common data folder.
    RegistryStore* registry = nullptr;
    CZEVMethodRegistry* methods = nullptr;
    CZEVPipeServerImpl* pipe_server = nullptr;
    // Where the strategies' and the monitor's events go (shared with the
    // strategies `strategies` makes); null: the monitor's events are dropped
    // unless `monitor` names a sink of its own.
    std::shared_ptr<CZEVEventReporter> events;
  };

  // What the service runs with: the common data folder as the environment
  // gives it, the real clock, `timings` for every part, the process-wide
  // registry store (which the settings readers share), a method registry and
  // pipe server of the context's own, components in hosts, the server and
  // product strategies, an event reporter, a port guard.
  static Options ServiceOptions(const Timings& timings = ServiceTimings());
  // The delays the service runs with: Timings().
  static Timings ServiceTimings();

  // The service's object graph as `options` says; tests change what they
  // need of ServiceOptions() or start from Options().
  explicit CZEVServiceContext(Options options);
  ~CZEVServiceContext();
  CZEVServiceContext(const CZEVServiceContext&) = delete;
  CZEVServiceContext& operator=(const CZEVServiceContext&) = delete;

  const std::string& common_dir() const { return common_dir_; }
  // <common>/Varnel/ZEV/2.0: the log and the service's own files.
  const std::string& data_dir() const { return data_dir_; }
  // <common>/run: lock files and sockets.
  const std::string& run_dir() const { return run_dir_; }

  Clock* clock() const { return clock_; }
  const Timings& timings() const { return timings_; }
  RegistryStore& registry() { return *registry_; }
  CZEVMethodRegistry& methods() { return *methods_; }
  CZEVPipeServerImpl& pipe_server() { return *pipe_server_; }
  // Ends the event reporter's sending, if the context has one (waiting for a
  // send under way): for the end of the process, before the log and OpenSSL
  // are torn down. Events queued later stay queued.
  void StopEvents();
  // Made on first use, so that its monitor (which opens the log if nobody
  // has) comes to life only once the service has checked and made its
  // folders.
  CZEVManager& manager();

 private:

  const std::string common_dir_;
  const std::string data_dir_;
  const std::string run_dir_;
  Clock* const clock_;
  const Timings timings_;

  // Made by the context when its options name none.
  std::unique_ptr<RegistryStore> own_registry_;
  std::unique_ptr<CZEVMethodRegistry> own_methods_;
  std::unique_ptr<CZEVIPCServer> own_ipc_server_;
  std::unique_ptr<CZEVPipeServerImpl> own_pipe_server_;
  // With components in hosts: the monitor's observer, which outlives it.
  std::unique_ptr<RollbackKeeper> rollback_;
  std::unique_ptr<CZEVManager> own_manager_;

  std::shared_ptr<CZEVEventReporter> events_;
  RegistryStore* registry_;
  CZEVMethodRegistry* methods_;
  CZEVPipeServerImpl* pipe_server_;
  ManagerDeps manager_deps_;
  ManagerOptions manager_options_;
  std::once_flag manager_once_;
  CZEVManager* manager_ = nullptr;  // set once, by manager()
  // The strategy manager the factory made last, for the operators' methods.
  Mutex strategies_mu_;
  std::weak_ptr<CZEVStrategyManager> strategies_ GUARDED_BY(strategies_mu_);
};

}  // namespace zev

#endif  // ZEV_HOST_SERVICE_CONTEXT_H_
