#include "hosting/port_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "base/log.h"
#include "platform/paths.h"
#include "server/http_poster.h"

namespace zev {

namespace {

// The endpoint's answer is one short line; anything longer is not it.
constexpr size_t kMaxProbeBody = 4096;

}  // namespace

bool ProbeLocalEndpoint(const std::string& url) {
  // stop() waits for a probe under way, so a trickling answer must end too.
  const int32_t seconds[4] = {10, 10, 15, 15};
  long status = 0;
  std::string body;
  if (!PostOnce("zevsvc", url, seconds, (10 + 10 + 15 + 15) * 1000, kMaxProbeBody, &status, &body)) return false;
  bool ok_status = (status >= 200 && status <= 299) || status == 302;
  return ok_status && body == kEndpointAliveText;
}

CZEVPortGuard::CZEVPortGuard(Options options)
    : clock_(options.clock ? options.clock : Clock::Real()),
      probe_(options.probe ? std::move(options.probe) : Probe(ProbeLocalEndpoint)),
      run_dir_(std::move(options.run_dir)),
      first_check_ms_(options.first_check_ms),
      check_interval_ms_(options.check_interval_ms) {}

CZEVPortGuard::~CZEVPortGuard() { stop(); }

bool CZEVPortGuard::start(const std::string& address, int32_t port) {
  std::lock_guard<std::mutex> control(control_mu_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    address_ = address;
    port_ = port;
  }
  stopped_ = false;
  createPortMutex(std::to_string(port));
  if (!timer_) {
    timer_ = std::make_unique<TaskTimer>(clock_);
    task_id_ = timer_->ScheduleMillis(first_check_ms_, [this](uint64_t) { checkLocalhost(); }, check_interval_ms_);
  }
  return true;
}

bool CZEVPortGuard::stop() {
  std::lock_guard<std::mutex> control(control_mu_);
  stopped_ = true;
  destroyPortMutex();
  if (timer_) {
    LogWrite(kLogInfo, "Delete the scheduled task(%d)", static_cast<int>(task_id_));
    timer_->cancel(task_id_);
    timer_.reset();  // joins the thread once a check under way has ended
  }
  return true;
}

void CZEVPortGuard::setPort(int32_t port) {
  std::lock_guard<std::mutex> lock(mu_);
  port_ = port;
}

int32_t CZEVPortGuard::port() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_;
}

bool CZEVPortGuard::holdsPortMutex() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mutex_ && mutex_->owned();
}

void CZEVPortGuard::checkLocalhost() {
  if (stopped_) return;
  try {
    std::string address;
    int32_t port;
    {
      std::lock_guard<std::mutex> lock(mu_);
      address = address_;
      port = port_;
    }
    if (probe_(address + ":" + std::to_string(port))) {
      createPortMutex(std::to_string(port));
    } else {
      LogWrite(kLogError, "Localhost check failed.");
      destroyPortMutex();
    }
  } catch (...) {
    LogWrite(kLogError, "Localhost check unknown error.");
  }
}

bool CZEVPortGuard::createPortMutex(const std::string& port_text) {
  std::lock_guard<std::mutex> lock(mu_);
  // Tested under the lock that stop's release takes as well: a probe that
  // was under way when stop began must not take the mutex back afterwards.
  if (stopped_) return false;
  const std::string name = kPortMutexPrefix + port_text;
  if (mutex_ && mutex_name_ != name) {
    LogWrite(kLogInfo, "Destroy the port global mutex.");
    mutex_.reset();  // the port moved
  }
  if (mutex_) {
    if (!mutex_->owned() && mutex_->TryAcquire()) {
      LogWrite(kLogInfo, "Took the global mutex for port(%s) that another holder had.", port_text.c_str());
    }
    return true;
  }
  bool already_exists = false;
  // Any user may test the port mutex to tell that the service is alive.
  mutex_ = NamedMutex::CreateIn(run_dir_, name, &already_exists,
                                LockFileAccess::kReadableByAll);
  const int open_error = errno;
  if (already_exists) LogWrite(kLogWarning, "The global mutex for port(%s) already exists.", port_text.c_str());
  if (!mutex_) {
    LogWrite(kLogError, "Failed to create global mutex for port(%s), errno: %d.", port_text.c_str(), open_error);
    return false;
  }
  mutex_name_ = name;
  LogWrite(kLogInfo, "Success to create global mutex for port(%s).", port_text.c_str());
  return true;
}

void CZEVPortGuard::destroyPortMutex() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!mutex_) return;
  LogWrite(kLogInfo, "Destroy the port global mutex.");
  mutex_.reset();  // unlocks if owned and closes the lock file
}

}  // namespace zev
