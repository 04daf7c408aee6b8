// CZEVPortGuard: holds the global mutex that carries the HTTP RPC port while
// the endpoint on that port answers. Clients learn that the service serves a
// port from the mutex; the guard checks the endpoint every minute and drops
// the mutex while it does not answer, taking it again once it does.
//
// On Linux a named mutex is a lock file (platform/named_mutex.h); this one
// is readable by every user, who may test it but not take it. A handle that found the lock taken does not keep anything
// alive, so the guard keeps that handle and tries the lock again on it at the
// next good check.
#ifndef ZEV_HOSTING_PORT_GUARD_H_
#define ZEV_HOSTING_PORT_GUARD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/task_timer.h"
#include "base/timings.h"
#include "contract/names.h"
#include "platform/named_mutex.h"

namespace zev {

// kEndpointAliveText, PortMutexName and PortMutexIsHeld are in
// contract/names.h.

// The default liveness probe: POSTs empty form data to `url` (time-outs 10 s
// resolve, 10 s connect, 15 s send, 15 s receive, and 50 s for the whole
// request) and answers true when the status is 200-299 or 302 and the body is
// exactly kEndpointAliveText. Never uses a proxy, whatever http_proxy and
// the like say: the endpoint is on this machine. Follows no redirect.
bool ProbeLocalEndpoint(const std::string& url);

class CZEVPortGuard {
 public:
  // True when the endpoint at `url` answered as alive. Runs on the guard's
  // timer thread and may block; stop() waits for it.
  using Probe = std::function<bool(const std::string& url)>;

  struct Options {
    // Times the first check and the interval; required, not owned, must
    // outlive the guard.
    Clock* clock = nullptr;
    // Empty: ProbeLocalEndpoint.
    Probe probe;
    // Folder of the lock file: the runtime folder, <common>/run.
    std::string run_dir;
    // The first check after start and the interval, on the clock.
    int64_t first_check_ms = Timings().port_probe_first_ms;
    int64_t check_interval_ms = Timings().port_probe_interval_ms;
  };

  explicit CZEVPortGuard(Options options);
  // stop(), so that no check runs once the guard is gone.
  ~CZEVPortGuard();
  CZEVPortGuard(const CZEVPortGuard&) = delete;
  CZEVPortGuard& operator=(const CZEVPortGuard&) = delete;

  // Takes the port mutex for `port` and schedules checkLocalhost
  // first_check_ms from now and then every check_interval_ms on the clock
  // (5 s and 60 s by default), probing `address` +
  // ":" + port (`address` is a URL without port or path, such as
  // "http://127.0.0.1"). A start after stop() guards again; a second start
  // while running keeps the schedule and moves the address and the port (and
  // with the port the mutex). True.
  bool start(const std::string& address, int32_t port);
  // Releases the port mutex, then cancels the scheduled check and ends the
  // timer thread: a check under way is waited for, and no check runs after
  // stop returns. A check under way when stop begins cannot take the mutex
  // again. Must not be called from the probe. True.
  bool stop();

  // The port that the checks probe and guard; start() sets it too.
  void setPort(int32_t port);
  int32_t port() const;
  bool stopped() const { return stopped_.load(); }
  // True while the guard owns the port mutex (not merely a handle to it).
  bool holdsPortMutex() const;

  // One check: probe the endpoint; take the mutex (or retry a handle that
  // found it taken) when it answers, drop it when not. Nothing once stopped.
  void checkLocalhost();
  // Opens the mutex for `port_text` unless a handle to it exists (a handle
  // for another port is released first); a handle that does not own it
  // tries the lock again. True when a handle exists
  // afterwards; false once stopped or when the lock file cannot be opened.
  bool createPortMutex(const std::string& port_text);
  // Releases and forgets the handle, if any.
  void destroyPortMutex();

 private:
  Clock* const clock_;
  const Probe probe_;
  const std::string run_dir_;
  const int64_t first_check_ms_;
  const int64_t check_interval_ms_;

  // Serialises start and stop; the timer's callback never takes it, so stop
  // may join the timer under it.
  std::mutex control_mu_;
  std::unique_ptr<TaskTimer> timer_;  // guarded by control_mu_
  uint64_t task_id_ = 0;              // guarded by control_mu_

  std::atomic<bool> stopped_{false};
  // The guard's lock: the mutex handle and what the checks read.
  mutable std::mutex mu_;
  std::unique_ptr<NamedMutex> mutex_;  // guarded by mu_
  std::string mutex_name_;             // guarded by mu_; the name mutex_ was opened with
  std::string address_;                // guarded by mu_
  int32_t port_ = 0;                   // guarded by mu_
};

}  // namespace zev

#endif  // ZEV_HOSTING_PORT_GUARD_H_
