#include "hosting/manager.h"

#include <chrono>
#include <cerrno>
#include <thread>

#include "host/log.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/registry.h"

const char kInstanceMutexName[] = "Global\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}";
const char kPortKeyWow64[] = "WOW6432Node\\CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port";
const char kPortKey[] = "CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port";
const char kPortValueName[] = "zevservicePort";
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

bool WritePortToRegistry(int port) {
  const std::string text = std::to_string(port);
  bool ok = true;
  for (const char* key : {kPortKeyWow64, kPortKey}) {
    if (!RegWriteString(RegRoot::kClassesRoot, key, kPortValueName, text)) {
      DebugPrint("setStringKeyValue failed.");
      ok = false;
      break;
    }
  }
  if (!ok) DebugPrint("Port write to registry failed.");
  return ok;
}

CZEVManager& CZEVManager::instance() {
  static CZEVManager* manager = new CZEVManager();  // lives until process exit
  return *manager;
}

CZEVManager::CZEVManager(ManagerOptions options) : options_(options) {}

CZEVManager::~CZEVManager() {
  bool started;
  {
    std::lock_guard<std::mutex> lock(mu_);
    started = instance_mutex_ || http_server_ || pipe_server_;
  }
  if (started) Quit();
}

int CZEVManager::port() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_;
}

bool CZEVManager::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  for (int attempt = 1; !instance_mutex_ || !instance_mutex_->owned(); ++attempt) {
    bool exists = false;
    instance_mutex_ = NamedMutex::Create(kInstanceMutexName, &exists);
    if (instance_mutex_ && !exists) {
      LogWrite(1, "Create mutex for ZEVSevice.exe success.");
      break;
    }
    LogWrite(2, "Create mutex for ZEVSevice.exe failed, errno: %ld. And try it 3 second later.",
             static_cast<long>(exists ? 183 : errno));  // 183: ERROR_ALREADY_EXISTS
    std::this_thread::sleep_for(std::chrono::milliseconds(options_.instance_retry_ms));
    if (attempt >= options_.instance_attempts) {
      LogWrite(3, "------last moudle still living-----");
      instance_mutex_.reset();
      return false;
    }
  }

  TerminateProcessesByName(kHostProgramName);

  if (!http_server_) {
    port_ = PickPort(options_.first_port, options_.last_port);
    http_server_ = std::make_unique<CZEVHttpServer>();
    http_server_->setIp("0.0.0.0");
    http_server_->setPort(port_);
    if (http_server_->start()) {
      LogWrite(3, "Http server start ok");
      if (WritePortToRegistry(port_)) {
        LogWrite(1, "Successfully written to the discovered port(%d).", port_);
      } else {
        LogWrite(3, "Failed to write the obtained port number.");
      }
    } else {
      LogWrite(3, "Http server start failed");
    }
  }

  if (pipe_server_ == nullptr) {
    pipe_server_ = &CZEVPipeServerImpl::instance();
    pipe_server_->start();
  }
  return true;
}

void CZEVManager::Quit() {
  std::lock_guard<std::mutex> lock(mu_);
  if (http_server_) {
    http_server_->stop();
    http_server_.reset();
  }
  if (pipe_server_ != nullptr) {
    pipe_server_->stop();
    pipe_server_ = nullptr;
  }
  instance_mutex_.reset();
  LogWrite(3, "ZEVService quit");
}
