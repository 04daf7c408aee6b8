#include "hosting/manager.h"

#include <pthread.h>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>

#include "base/log.h"
#include "hosting/monitor.h"
#include "strategy/product_strategy.h"
#include "strategy/server_strategy.h"
#include "platform/ports.h"
#include "platform/instance_processes.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "rpc/component_peer.h"

const char kHostProgramName[] = "zevhost";

int PickPort(int first, int last) {
  if (last < first) {
    LogWrite(3, "maxPort is smaller than the incoming port.");
    return first;
  }
  for (int port = first; port <= last; ++port) {
    if (IsPortAvailable(port)) return port;
    LogWrite(3, "The port(%d) is not available.", port);
  }
  return 0;
}

namespace {

// Writes the port under both keys without a word; RegLastError() says why a
// write failed.
bool WritePortKeys(int port, RegistryStore* registry) {
  const std::string text = std::to_string(port);
  for (const char* key : {kPortKeyWow64, kPortKey}) {
    if (!registry->WriteString(RegRoot::kClassesRoot, key, kPortValueName, text)) return false;
  }
  return true;
}

}  // namespace

bool WritePortToRegistry(int port, RegistryStore* registry) {
  if (WritePortKeys(port, registry)) return true;
  DebugPrintAt(kJournalError, "setStringKeyValue failed.");
  DebugPrintAt(kJournalError, "Port write to registry failed.");
  return false;
}

CZEVManager& CZEVManager::instance() {
  static CZEVManager* manager = [] {
    ManagerDeps deps;
    deps.pipe_server = &CZEVPipeServerImpl::instance();
    deps.monitor_factory = []() -> pubsdk::IUnknownBase* {
      return static_cast<pubsdk::IZEVMonitor*>(new pubsdk::CZEVMonitor());
    };
    deps.port_guard = true;
    deps.strategies = [](const std::atomic<bool>* stop) {
      CZEVProductInnerStrategy::Options product;
      product.stop = stop;
      return std::make_shared<CZEVStrategyManager>(std::make_unique<CZEVServerStrategy>(),
                                                   std::make_unique<CZEVProductInnerStrategy>(product));
    };
    return new CZEVManager(deps);  // lives until process exit
  }();
  return *manager;
}

CZEVManager::CZEVManager(ManagerDeps deps, ManagerOptions options) : deps_(std::move(deps)), options_(options) {
  CreateMonitor();
}

CZEVManager::~CZEVManager() {
  bool started;
  {
    std::lock_guard<std::mutex> lock(mu_);
    started = instance_mutex_ || http_server_ || pipe_started_ || port_writer_.joinable();
  }
  if (started) Quit();
  StopStrategies();
  ReleaseMonitor();
}

int CZEVManager::port() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return port_;
}

std::vector<std::string> CZEVManager::failed_front_ends() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return failed_front_ends_;
}

bool CZEVManager::instance_held_elsewhere() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return instance_held_elsewhere_;
}

bool CZEVManager::WaitBeforeRetry(int ms) {
  std::unique_lock<std::mutex> lock(state_mu_);
  deps_.clock->WaitFor(lock, quit_cv_, ms, [this] { return quitting_; });
  return !quitting_;
}

bool CZEVManager::Start() {
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    quitting_ = stop_requested_;
    stop_flag_ = quitting_;
    failed_front_ends_.clear();
    instance_held_elsewhere_ = false;
  }
  // The instance mutex is taken without holding mu_: the waits between
  // attempts must not keep a Quit() waiting for all of them.
  std::unique_ptr<NamedMutex> instance_mutex;
  for (int attempt = 1;; ++attempt) {
    if (hooks_.start_progress) hooks_.start_progress(options_.instance_retry_ms);
    bool exists = false;
    instance_mutex = deps_.run_dir.empty() ? NamedMutex::Create(kInstanceMutexName, &exists)
                                           : NamedMutex::CreateIn(deps_.run_dir, kInstanceMutexName, &exists);
    if (instance_mutex && !exists) {
      LogWrite(1, "Create mutex for ZEVSevice.exe success.");
      break;
    }
    const int error = errno;
    LogWrite(2, "Create mutex for ZEVSevice.exe failed, errno: %ld. And try it 3 second later.",
             static_cast<long>(exists ? 183 : error));  // 183: ERROR_ALREADY_EXISTS
    const std::string lock_path = instance_mutex ? instance_mutex->path() : std::string();
    instance_mutex.reset();
    if (!WaitBeforeRetry(options_.instance_retry_ms)) {
      LogWrite(2, "Stop asked while waiting for the instance mutex.");
      return false;
    }
    if (attempt >= options_.instance_attempts) {
      LogWrite(3, "------last moudle still living-----");
      if (exists) {
        LogWrite(3, "Another instance holds the instance lock %s; this one serves nothing and stays idle.",
                 lock_path.c_str());
        std::lock_guard<std::mutex> state(state_mu_);
        instance_held_elsewhere_ = true;
      } else {
        LogWrite(3, "The instance lock file in %s cannot be opened: %s; this one serves nothing.",
                 deps_.run_dir.empty() ? "the runtime folder" : deps_.run_dir.c_str(), strerror(error));
      }
      return false;
    }
  }

  if (!StartFrontEnds(std::move(instance_mutex))) return false;
  // Loading waits on hosts, so it runs without mu_: a Quit meanwhile stops
  // it between applications.
  return !deps_.monitor_factory || StartComponents();
}

bool CZEVManager::StartFrontEnds(std::unique_ptr<NamedMutex> instance_mutex) {
  std::lock_guard<std::mutex> lock(mu_);
  {
    std::lock_guard<std::mutex> state(state_mu_);
    if (quitting_) return false;  // Quit() ran while the mutex was being taken
  }
  instance_mutex_ = std::move(instance_mutex);
  // Hosts left from an earlier run of this instance; other instances on the
  // machine keep theirs.
  TerminateInstanceProcesses(kHostProgramName);
  // The monitor joins the bus and takes over the host status file in run/
  // only now: an instance that waits for the lock, or stays idle without
  // it, leaves the running instance's hosts and file alone.
  StartMonitor();

  if (!http_server_) {
    std::string unrecognised;
    const std::string bind_address = ReadHttpBindAddress(deps_.registry, &unrecognised);
    if (!unrecognised.empty()) {
      LogWrite(3, "The registry value %s \"%s\" is neither 127.0.0.1 nor 0.0.0.0; listening on all interfaces.",
               kBindAddressValueName, unrecognised.c_str());
    }
    int port = PickPort(options_.first_port, options_.last_port);
    for (;;) {
      http_server_ = std::make_unique<CZEVHttpServer>(deps_.methods);
      http_server_->setIp(bind_address);
      http_server_->setPort(port);
      if (hooks_.before_listen) hooks_.before_listen(port);
      http_started_ = http_server_->start();
      // Another program may take the port between the check and the bind;
      // the next free one of the range serves as well.
      if (http_started_ || port <= 0 || port >= options_.last_port) break;
      LogWrite(2, "The port(%d) was taken before the server listened on it; trying the next.", port);
      const int next = PickPort(port + 1, options_.last_port);
      if (next == 0) break;
      port = next;
    }
    {
      std::lock_guard<std::mutex> state(state_mu_);
      port_ = port;
    }
    if (http_started_) {
      LogWrite(3, "Http server start ok");
      if (WritePortToRegistry(port, deps_.registry)) {
        LogWrite(1, "Successfully written to the discovered port(%d).", port);
      } else {
        LogWrite(3, "Failed to write the obtained port number.");
        // Clients find the service only through this value, so a write that
        // failed (a full disk at start-up) is not left at that.
        LogWrite(2, "The registry refused the port: %s. It is written again every %d s until it succeeds.",
                 RegLastError().c_str(), options_.port_write_retry_ms / 1000);
        port_writer_ = std::thread(&CZEVManager::RetryPortWrite, this, port);
        pthread_setname_np(port_writer_.native_handle(), "zev-port-write");
      }
    } else {
      LogWrite(3, "Http server start failed");
    }
  }

  if (deps_.pipe_server != nullptr && !pipe_started_) {
    // A component may change its own registrations: a caller counts as one
    // when its process group was started by one of our hosts for it.
    deps_.pipe_server->setComponentPeerCheck([this](pid_t pid, const std::string& id) {
      std::vector<pid_t> hosts;
      for (const pubsdk::MonitorHostInfo& host :
           monitor_ != nullptr ? monitor_->GetProcessTable() : std::vector<pubsdk::MonitorHostInfo>()) {
        if (host.pid > 0 && std::count(host.components.begin(), host.components.end(), id) > 0) {
          hosts.push_back(host.pid);
        }
      }
      return ProcessBelongsToComponent(pid, hosts, id);
    });
    pipe_started_ = deps_.pipe_server->start();
    if (!pipe_started_) LogWrite(3, "The pipe server did not start; calls over the socket are not served.");
  }

  if (deps_.port_guard && http_started_ && !port_guard_) {
    CZEVPortGuard::Options guard_options;
    guard_options.clock = deps_.clock;
    guard_options.run_dir = deps_.run_dir;
    port_guard_ = std::make_unique<CZEVPortGuard>(guard_options);
    port_guard_->start("http://127.0.0.1", port());
  }

  std::vector<std::string> failed;
  if (!http_started_) failed.push_back("http");
  if (deps_.pipe_server != nullptr && !pipe_started_) failed.push_back("pipe");
  std::lock_guard<std::mutex> state(state_mu_);
  failed_front_ends_ = std::move(failed);
  return true;
}

void CZEVManager::RetryPortWrite(int port) {
  while (WaitBeforeRetry(options_.port_write_retry_ms)) {
    if (WritePortKeys(port, deps_.registry)) {
      LogWrite(1, "Successfully written to the discovered port(%d).", port);
      return;
    }
  }
}

void CZEVManager::Quit() {
  {
    std::lock_guard<std::mutex> state(state_mu_);
    quitting_ = true;
    stop_flag_ = true;
  }
  quit_cv_.notify_all();
  std::lock_guard<std::mutex> lock(mu_);
  if (port_writer_.joinable()) port_writer_.join();  // quitting_ ends its wait
  if (http_server_) {
    http_server_->stop();
    http_server_.reset();
    http_started_ = false;
  }
  if (pipe_started_) {
    deps_.pipe_server->stop();
    deps_.pipe_server->setComponentPeerCheck(nullptr);  // it reaches this manager's monitor
    pipe_started_ = false;
  }
  // The catalogue's sources: a change report under way is waited for (its
  // handler takes load_mu_, never mu_); none follows.
  StopStrategies();
  if (port_guard_) {
    port_guard_->stop();  // releases the port mutex and joins the guard's timer
    port_guard_.reset();
  }
  {
    // The initial load may still be walking the catalogue; it stops at the
    // next component now that quitting_ is set.
    std::lock_guard<std::mutex> load(load_mu_);
    StopComponents();
  }
  instance_mutex_.reset();
  {
    std::lock_guard<std::mutex> state(state_mu_);
    stop_requested_ = false;
  }
  LogWrite(3, "ZEVService quit");
}

void CZEVManager::RequestStop() {
  {
    std::lock_guard<std::mutex> state(state_mu_);
    stop_requested_ = true;
    quitting_ = true;
    stop_flag_ = true;
  }
  quit_cv_.notify_all();
}
