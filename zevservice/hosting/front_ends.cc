#include "hosting/front_ends.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "platform/ports.h"

namespace zev {

const char kHostProgramName[] = "zevhost";

int PickPort(int first, int last) {
  if (last < first) {
    LogWrite(kLogError, "maxPort is smaller than the incoming port.");
    return first;
  }
  for (int port = first; port <= last; ++port) {
    if (IsPortAvailable(port)) return port;
    LogWrite(kLogError, "The port(%d) is not available.", port);
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
  return false;
}

CZEVFrontEnds::CZEVFrontEnds(const ManagerDeps& deps, const ManagerOptions& options, StopState* stop,
                             const ManagerHooks* hooks)
    : deps_(deps), options_(options), stop_(stop), hooks_(hooks) {}

CZEVFrontEnds::~CZEVFrontEnds() {
  if (port_writer_.joinable()) stop_->BeginQuit();  // ends the retries' wait
  StopEndpoints();
  StopPortGuard();
  ReleaseInstanceLock();
}

int CZEVFrontEnds::port() const {
  MutexLock lock(&state_mu_);
  return port_;
}

std::vector<std::string> CZEVFrontEnds::failed() const {
  MutexLock lock(&state_mu_);
  return failed_;
}

bool CZEVFrontEnds::instance_held_elsewhere() const {
  MutexLock lock(&state_mu_);
  return instance_held_elsewhere_;
}

void CZEVFrontEnds::Reset() {
  MutexLock lock(&state_mu_);
  failed_.clear();
  instance_held_elsewhere_ = false;
}

std::unique_ptr<NamedMutex> CZEVFrontEnds::TakeInstanceLock() {
  for (int attempt = 1;; ++attempt) {
    if (hooks_->start_progress) hooks_->start_progress(options_.instance_retry_ms);
    bool exists = false;
    std::unique_ptr<NamedMutex> instance_mutex = NamedMutex::CreateIn(deps_.run_dir, kInstanceMutexName, &exists);
    if (instance_mutex && !exists) {
      LogWrite(kLogInfo, "Create mutex for ZEVSevice.exe success.");
      return instance_mutex;
    }
    const int error = errno;
    LogWrite(kLogWarning, "Create mutex for ZEVSevice.exe failed, errno: %ld. And try it 3 second later.",
             static_cast<long>(exists ? 183 : error));  // 183: ERROR_ALREADY_EXISTS
    const std::string lock_path = instance_mutex ? instance_mutex->path() : std::string();
    instance_mutex.reset();
    if (!stop_->Wait(options_.instance_retry_ms)) {
      LogWrite(kLogWarning, "Stop asked while waiting for the instance mutex.");
      return nullptr;
    }
    if (attempt >= options_.instance_attempts) {
      LogWrite(kLogError, "------last moudle still living-----");
      if (exists) {
        LogWrite(kLogError, "Another instance holds the instance lock %s; this one serves nothing and stays idle.",
                 lock_path.c_str());
        MutexLock state(&state_mu_);
        instance_held_elsewhere_ = true;
      } else {
        LogWrite(kLogError, "The instance lock file in %s cannot be opened: %s; this one serves nothing.",
                 deps_.run_dir.empty() ? "the runtime folder" : deps_.run_dir.c_str(), strerror(error));
      }
      return nullptr;
    }
  }
}

void CZEVFrontEnds::Start(ComponentPeerCheck peer_check, ComponentHostsSource hosts) {
  if (!http_server_) StartHttp();

  if (deps_.pipe_server != nullptr && !pipe_started_) {
    deps_.pipe_server->setComponentPeerCheck(std::move(peer_check));
    deps_.pipe_server->setComponentHosts(std::move(hosts));
    pipe_started_ = deps_.pipe_server->start();
    if (!pipe_started_) LogWrite(kLogError, "The pipe server did not start; calls over the socket are not served.");
  }

  if (deps_.port_guard && http_started_ && !port_guard_) {
    CZEVPortGuard::Options guard_options;
    guard_options.clock = deps_.clock;
    guard_options.run_dir = deps_.run_dir;
    guard_options.first_check_ms = options_.port_probe_first_ms;
    guard_options.check_interval_ms = options_.port_probe_interval_ms;
    port_guard_ = std::make_unique<CZEVPortGuard>(guard_options);
    port_guard_->start("http://127.0.0.1", port());
  }

  std::vector<std::string> failed;
  if (!http_started_) failed.push_back("http");
  if (deps_.pipe_server != nullptr && !pipe_started_) failed.push_back("pipe");
  MutexLock state(&state_mu_);
  failed_ = std::move(failed);
}

void CZEVFrontEnds::StartHttp() {
  std::string unrecognised;
  const std::string bind_address = ReadHttpBindAddress(deps_.registry, &unrecognised);
  if (!unrecognised.empty()) {
    LogWrite(kLogError, "The registry value %s \"%s\" is neither 127.0.0.1 nor 0.0.0.0; listening on all interfaces.",
             kBindAddressValueName, unrecognised.c_str());
  }
  int port = PickPort(options_.first_port, options_.last_port);
  for (;;) {
    http_server_ = std::make_unique<CZEVHttpServer>(deps_.methods);
    http_server_->setIp(bind_address);
    http_server_->setPort(port);
    if (hooks_->before_listen) hooks_->before_listen(port);
    http_started_ = http_server_->start();
    // Another program may take the port between the check and the bind;
    // the next free one of the range serves as well.
    if (http_started_ || port <= 0 || port >= options_.last_port) break;
    LogWrite(kLogWarning, "The port(%d) was taken before the server listened on it; trying the next.", port);
    const int next = PickPort(port + 1, options_.last_port);
    if (next == 0) break;
    port = next;
  }
  {
    MutexLock state(&state_mu_);
    port_ = port;
  }
  if (!http_started_) {
    LogWrite(kLogError, "Http server start failed");
    return;
  }
  LogWrite(kLogError, "Http server start ok");
  if (WritePortToRegistry(port, deps_.registry)) {
    LogWrite(kLogInfo, "Successfully written to the discovered port(%d).", port);
    return;
  }
  LogWrite(kLogError, "Failed to write the obtained port number.");
  // Clients find the service only through this value, so a write that
  // failed (a full disk at start-up) is not left at that.
  LogWrite(kLogWarning, "The registry refused the port: %s. It is written again every %d s until it succeeds.",
           RegLastError().c_str(), static_cast<int>(options_.port_write_retry_ms / 1000));
  port_writer_ = std::thread(&CZEVFrontEnds::RetryPortWrite, this, port);
  pthread_setname_np(port_writer_.native_handle(), "zev-port-write");
}

void CZEVFrontEnds::RetryPortWrite(int port) {
  while (stop_->Wait(options_.port_write_retry_ms)) {
    if (WritePortKeys(port, deps_.registry)) {
      LogWrite(kLogInfo, "Successfully written to the discovered port(%d).", port);
      return;
    }
  }
}

void CZEVFrontEnds::StopEndpoints() {
  if (port_writer_.joinable()) port_writer_.join();  // the stop ends its wait
  if (http_server_) {
    http_server_->stop();
    http_server_.reset();
    http_started_ = false;
  }
  if (pipe_started_) {
    deps_.pipe_server->stop();
    // Both reach the manager's monitor.
    deps_.pipe_server->setComponentPeerCheck(nullptr);
    deps_.pipe_server->setComponentHosts(nullptr);
    pipe_started_ = false;
  }
}

void CZEVFrontEnds::StopPortGuard() {
  if (port_guard_) {
    port_guard_->stop();  // releases the port mutex and joins the guard's timer
    port_guard_.reset();
  }
}

}  // namespace zev
