#include "hosting/port_guard.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "base/log.h"
#include "platform/paths.h"

namespace zev {

namespace {

// The endpoint's answer is one short line; anything longer is not it.
constexpr size_t kMaxProbeBody = 4096;

size_t AppendProbeBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  if (body->size() + size * count > kMaxProbeBody) return 0;  // ends the transfer
  body->append(data, size * count);
  return size * count;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

bool ProbeLocalEndpoint(const std::string& url) {
  // Thread-safe and counted since libcurl 7.84; the cleanup is left to exit.
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return false;
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const char* line : {"Connection: Keep-Alive", "Content-Type: application/x-www-form-urlencoded", "Expect:"}) {
    curl_slist* next = curl_slist_append(headers.get(), line);
    if (next == nullptr) return false;
    headers.release();
    headers.reset(next);
  }
  std::string body;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_USERAGENT, "zevsvc");
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, "");
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, AppendProbeBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // A proxy named in the environment would answer for the endpoint, or not
  // at all; the endpoint is ours and local.
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L + 10L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 15L);
  // stop() waits for a probe under way, so a trickling answer must end too.
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L + 10L + 15L + 15L);
  if (curl_easy_perform(c) != CURLE_OK) return false;
  long status = 0;
  if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return false;
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
