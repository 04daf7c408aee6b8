#include "host/service_context.h"

#include "platform/paths.h"
#include "rpc/echo_server.h"

namespace {

std::string Below(const std::string& common, const char* relative) {
  return common.empty() ? std::string() : JoinPath(common, relative);
}

}  // namespace

void RegisterServiceMethods(CZEVMethodRegistry& methods) { RegisterEchoMethods(methods); }

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
      pipe_server_(&CZEVPipeServerImpl::instance()),
      manager_(&CZEVManager::instance()) {
  RegisterServiceMethods(*methods_);
}

CZEVServiceContext::CZEVServiceContext(Options options)
    : common_dir_(options.common_dir),
      data_dir_(Below(common_dir_, "Varnel/ZEV/2.0")),
      run_dir_(Below(common_dir_, "run")),
      clock_(options.clock) {
  own_registry_ = std::make_unique<RegistryStore>(common_dir_);
  own_methods_ = std::make_unique<CZEVMethodRegistry>();
  RegisterServiceMethods(*own_methods_);
  own_ipc_server_ = std::make_unique<CZEVIPCServer>();
  own_ipc_server_->setRuntimeDir(run_dir_);
  own_pipe_server_ = std::make_unique<CZEVPipeServerImpl>(own_ipc_server_.get(), own_methods_.get());
  ManagerDeps deps;
  deps.clock = clock_;
  deps.registry = own_registry_.get();
  deps.methods = own_methods_.get();
  deps.pipe_server = own_pipe_server_.get();
  deps.run_dir = run_dir_;
  own_manager_ = std::make_unique<CZEVManager>(deps, options.manager);
  registry_ = own_registry_.get();
  methods_ = own_methods_.get();
  pipe_server_ = own_pipe_server_.get();
  manager_ = own_manager_.get();
}

// The manager goes first: its Quit stops the transports it was handed.
CZEVServiceContext::~CZEVServiceContext() { own_manager_.reset(); }
