#include "host/service_context.h"

#include "platform/paths.h"
#include "rpc/control_server.h"
#include "rpc/echo_server.h"

namespace {

std::string Below(const std::string& common, const char* relative) {
  return common.empty() ? std::string() : JoinPath(common, relative);
}

}  // namespace

void RegisterServiceMethods(CZEVMethodRegistry& methods, LoadedComponentsSource loaded) {
  RegisterEchoMethods(methods);
  RegisterControlMethods(&methods, std::move(loaded));
}

CZEVServiceContext& CZEVServiceContext::Default() {
  static CZEVServiceContext* context = new CZEVServiceContext(DefaultTag());  // lives until process exit
  return *context;
}

CZEVServiceContext::CZEVServiceContext(DefaultTag)
    : common_dir_(GetCommonDataDir()),
      data_dir_(Below(common_dir_, "Varnel/ZEV/2.0")),
      run_dir_(Below(common_dir_, "run")),
      clock_(Clock::Real()),
      registry_(&RegistryStore::Default()),
      methods_(&CZEVMethodRegistry::instance()),
      pipe_server_(&CZEVPipeServerImpl::instance()) {
  RegisterServiceMethods(*methods_, [this] { return manager().loaded(); });
}

CZEVManager& CZEVServiceContext::manager() {
  std::call_once(manager_once_, [this] {
    if (manager_ == nullptr) manager_ = &CZEVManager::instance();
  });
  return *manager_;
}

CZEVServiceContext::CZEVServiceContext(Options options)
    : common_dir_(options.common_dir),
      data_dir_(Below(common_dir_, "Varnel/ZEV/2.0")),
      run_dir_(Below(common_dir_, "run")),
      clock_(options.clock) {
  own_registry_ = std::make_unique<RegistryStore>(common_dir_);
  own_methods_ = std::make_unique<CZEVMethodRegistry>();
  RegisterServiceMethods(*own_methods_, [this] { return manager().loaded(); });
  own_ipc_server_ = std::make_unique<CZEVIPCServer>();
  own_ipc_server_->setRuntimeDir(run_dir_);
  own_pipe_server_ = std::make_unique<CZEVPipeServerImpl>(own_ipc_server_.get(), own_methods_.get());
  ManagerDeps deps;
  deps.clock = clock_;
  deps.registry = own_registry_.get();
  deps.methods = own_methods_.get();
  deps.pipe_server = own_pipe_server_.get();
  deps.run_dir = run_dir_;
  deps.common_dir = common_dir_;
  deps.catalogue = options.catalogue;
  deps.strategies = options.strategies;
  deps.port_guard = options.port_guard;
  if (options.host_components) {
    pubsdk::MonitorOptions monitor = options.monitor;
    if (monitor.clock == Clock::Real()) monitor.clock = clock_;
    if (monitor.run_dir.empty()) monitor.run_dir = run_dir_;
    deps.monitor_factory = [monitor]() -> pubsdk::IUnknownBase* {
      return static_cast<pubsdk::IZEVMonitor*>(new pubsdk::CZEVMonitor(monitor));
    };
  }
  own_manager_ = std::make_unique<CZEVManager>(deps, options.manager);
  registry_ = own_registry_.get();
  methods_ = own_methods_.get();
  pipe_server_ = own_pipe_server_.get();
  manager_ = own_manager_.get();
}

// The manager goes first: its Quit stops the transports it was handed.
CZEVServiceContext::~CZEVServiceContext() { own_manager_.reset(); }
