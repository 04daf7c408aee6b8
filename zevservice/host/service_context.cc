#include "host/service_context.h"

#include <cctype>

#include "host/collect_method.h"
#include "host/operator_methods.h"
#include "hosting/host_limits.h"
#include "platform/paths.h"
#include "platform/settings.h"
#include "strategy/product_strategy.h"
#include "strategy/server_strategy.h"
#include "rpc/control_server.h"
#include "rpc/echo_server.h"
#include "server/event_recorder.h"

namespace zev {

namespace {

std::string Below(const std::string& common, const char* relative) {
  return common.empty() ? std::string() : JoinPath(common, relative);
}

}  // namespace

void RegisterServiceMethods(CZEVMethodRegistry& methods, LoadedComponentsSource loaded, Clock* clock) {
  RegisterEchoMethods(methods);
  RegisterControlMethods(&methods, std::move(loaded), clock);
}

CZEVServiceContext::Options CZEVServiceContext::ServiceOptions(const Timings& timings) {
  Options options;
  options.common_dir = GetCommonDataDir();
  options.clock = Clock::Real();
  options.timings = timings;
  options.manager.SetTimings(options.timings);
  options.monitor.SetTimings(options.timings);
  options.registry = &RegistryStore::Default();
  options.host_components = true;
  options.port_guard = true;
  // Every event the service reports is also kept for `zevctl events` and,
  // under systemd, sent to the journal.
  EventKeeper keep;
  if (!options.common_dir.empty()) {
    auto recorder = std::make_shared<EventRecorder>(options.common_dir, JournalAvailable());
    keep = [recorder](const std::vector<EventElement>& events) { recorder->Record(events); };
  }
  options.events = std::make_shared<CZEVEventReporter>(options.clock, std::move(keep));
  const std::string common = options.common_dir;
  Clock* clock = options.clock;
  RegistryStore* registry = options.registry;
  CZEVEventReporter* events = options.events.get();  // the context keeps it
  auto loaded = std::make_shared<LoadedComponentsSource>();
  options.strategies_loaded = loaded;
  options.strategies = [common, clock, registry, timings, events, loaded](const std::atomic<bool>* stop) {
    CZEVServerStrategy::Options server;
    std::string collect;
    ReadSettingText(registry, kCollectOldVersionsSetting, &collect);
    for (char& c : collect) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    server.collect_old_versions = collect != "off";
    server.loaded = *loaded;
    server.clock = clock;
    server.registry = registry;
    server.events = [events](const EventElement& e) { events->QueueEvents({e}); };
    server.first_retry_ms = timings.server_first_retry_ms;
    server.record_save_ms = timings.install_record_save_ms;
    server.first_floor_ms = timings.first_pass_floor_ms;
    server.interval_floor_ms = timings.interval_floor_ms;
    CZEVProductInnerStrategy::Options product;
    product.clock = clock;
    product.stop = stop;
    product.update_delay_ms = timings.product_update_delay_ms;
    if (!common.empty()) {
      server.download_dir = JoinPath(common, "Varnel/ZEV/download");
      product.components_dir = JoinPath(common, "Varnel/components");
      product.cache_dir = JoinPath(common, "components_cache");
      product.staging_dir = JoinPath(common, "components_staging");
    }
    return std::make_shared<CZEVStrategyManager>(std::make_unique<CZEVServerStrategy>(server),
                                                 std::make_unique<CZEVProductInnerStrategy>(product));
  };
  return options;
}

Timings CZEVServiceContext::ServiceTimings() { return Timings(); }

void CZEVServiceContext::StopEvents() {
  if (events_) events_->Stop();
}

CZEVManager& CZEVServiceContext::manager() {
  std::call_once(manager_once_, [this] {
    own_manager_ = std::make_unique<CZEVManager>(manager_deps_, manager_options_);
    manager_ = own_manager_.get();
  });
  return *manager_;
}

CZEVServiceContext::CZEVServiceContext(Options options)
    : common_dir_(options.common_dir),
      data_dir_(Below(common_dir_, "Varnel/ZEV/2.0")),
      run_dir_(Below(common_dir_, "run")),
      clock_(options.clock),
      timings_(options.timings),
      events_(std::move(options.events)),
      manager_options_(options.manager) {
  if (options.registry == nullptr) own_registry_ = std::make_unique<RegistryStore>(common_dir_);
  registry_ = options.registry != nullptr ? options.registry : own_registry_.get();
  if (options.methods == nullptr) own_methods_ = std::make_unique<CZEVMethodRegistry>();
  methods_ = options.methods != nullptr ? options.methods : own_methods_.get();
  RegisterServiceMethods(*methods_, [this] { return manager().loaded(); }, clock_);
  if (!common_dir_.empty()) {
    zev::RegisterCollectMethod(methods_, {JoinPath(common_dir_, "Varnel/ZEV/download"), registry_, std::string(),
                                          [this] { return manager().loaded(); }});
  }
  if (options.strategies_loaded) *options.strategies_loaded = [this] { return manager().loaded(); };
  zev::OperatorDeps operator_deps;
  operator_deps.strategies = [this] {
    MutexLock lock(&strategies_mu_);
    return strategies_.lock();
  };
  operator_deps.registry = registry_;
  operator_deps.loaded = [this] { return manager().loaded(); };
  operator_deps.clock = clock_;
  zev::RegisterOperatorMethods(methods_, std::move(operator_deps));
  if (options.pipe_server == nullptr) {
    own_ipc_server_ = std::make_unique<CZEVIPCServer>(clock_);
    own_ipc_server_->setRuntimeDir(run_dir_);
    own_pipe_server_ = std::make_unique<CZEVPipeServerImpl>(own_ipc_server_.get(), methods_);
  }
  pipe_server_ = options.pipe_server != nullptr ? options.pipe_server : own_pipe_server_.get();
  ManagerDeps& deps = manager_deps_;
  deps.clock = clock_;
  deps.registry = registry_;
  deps.methods = methods_;
  deps.pipe_server = pipe_server_;
  deps.run_dir = run_dir_;
  deps.common_dir = common_dir_;
  deps.catalogue = options.catalogue;
  if (options.strategies) {
    // The strategy manager made keeps its holds in this store and is known
    // to the operators' methods.
    deps.strategies = [this, make = options.strategies](const std::atomic<bool>* stop) {
      std::shared_ptr<CZEVStrategyManager> made = make(stop);
      if (made) {
        made->SetHoldStore(registry_);
        MutexLock lock(&strategies_mu_);
        strategies_ = made;
      }
      return made;
    };
  }
  deps.port_guard = options.port_guard;
  if (options.host_components) {
    pubsdk::MonitorOptions monitor = options.monitor;
    if (monitor.clock == nullptr) monitor.clock = clock_;
    if (monitor.run_dir.empty()) monitor.run_dir = run_dir_;
    if (monitor.common_dir.empty()) monitor.common_dir = common_dir_;
    if (!monitor.confine_host) {
      RegistryStore* registry = registry_;
      monitor.confine_host = [registry](const std::string& group, pid_t pid, const std::set<std::string>& apps) {
        ConfineHost(registry, group, pid, apps);
      };
    }
    if (!monitor.event_sink && events_) {
      CZEVEventReporter* events = events_.get();
      monitor.event_sink = [events](const EventElement& event) { events->QueueEvents({event}); };
    }
    // Versions that crash-loop are rolled back; the keeper observes the
    // monitor and passes every event on to the observer the options name.
    RollbackOptions rollback;
    rollback.clock = clock_;
    rollback.registry = registry_;
    rollback.failures = timings_.crash_loop_failures;
    rollback.window_ms = timings_.crash_loop_window_ms;
    if (events_) {
      CZEVEventReporter* events = events_.get();
      rollback.events = [events](const EventElement& event) { events->QueueEvents({event}); };
    }
    rollback.strategies = [this] {
      MutexLock lock(&strategies_mu_);
      return strategies_.lock();
    };
    rollback.next = monitor.observer;
    rollback_ = std::make_unique<RollbackKeeper>(std::move(rollback));
    monitor.observer = rollback_.get();
    RollbackKeeper* keeper = rollback_.get();
    deps.versions_changed = [keeper](const std::vector<CZEVComponentProxy>& before,
                                     const std::vector<CZEVComponentProxy>& after) {
      keeper->LoadedChanged(before, after);
    };
    deps.monitor_factory = [monitor]() -> pubsdk::IUnknownBase* {
      return static_cast<pubsdk::IZEVMonitor*>(new pubsdk::CZEVMonitor(monitor));
    };
  }
}

// The manager goes first: its Quit stops the transports it was handed.
// A rollback under way ends before it (its reload reaches the manager).
CZEVServiceContext::~CZEVServiceContext() {
  if (rollback_) rollback_->Stop();
  own_manager_.reset();
}

}  // namespace zev
