// The service object: turns service-manager controls (or console commands)
// into calls on the component manager and reports each change of state.
#ifndef ZEV_HOST_SERVICE_H_
#define ZEV_HOST_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/timings.h"

namespace zev {

// Service states, with the numbers of the service control protocol.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;
// Controls accepted in every non-pending state: stop, pause/continue,
// shutdown, session change.
constexpr uint32_t kServiceControlsAccepted = 0x87;

// Exit status of a start that no restart can mend (EX_CONFIG).
constexpr int kExitConfig = 78;

constexpr int kRunModeService = 1;
constexpr int kRunModeApplication = 2;

// The service's status as the process keeps it; the sink turns it into what
// the service manager understands (systemd: READY=1, STOPPING=1, STATUS=).
struct ServiceStatus {
  uint32_t service_type = 16;  // own process
  uint32_t state = 0;
  uint32_t controls_accepted = 0;
  uint32_t exit_code = 0;
  uint32_t service_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint_ms = 0;
  // Said after the state's name in the status text: why the service cannot
  // start, or what it does not serve. Empty: nothing to add.
  std::string detail;
};

// Where status reports go: systemd's notify socket in production.
class IServiceStatusSink {
 public:
  virtual ~IServiceStatusSink() = default;
  virtual void Report(const ServiceStatus& status) = 0;
  // Asks for `usec` more from now before a start in progress counts as hung.
  virtual void ExtendTimeout(uint64_t /*usec*/) {}
};

// A sink that sends sd_notify messages (READY=1 when running, STOPPING=1 on
// stop pending, STATUS= with the state's name, then "; " and the detail when
// there is one).
class SystemdStatusSink : public IServiceStatusSink {
 public:
  void Report(const ServiceStatus& status) override;
  // EXTEND_TIMEOUT_USEC=usec.
  void ExtendTimeout(uint64_t usec) override;
};

class CZEVServiceBase {
 public:
  virtual ~CZEVServiceBase() = default;

  virtual void OnStart() {}
  virtual void OnStop() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}
  virtual void OnShutdown() {}
  virtual void OnSessionChange(uint32_t /*event_type*/, void* /*event_data*/) {}
  // A stop asked while Start() runs, from another thread: make the start
  // end soon. Stop() follows once Start() has returned.
  virtual void OnStopRequested() {}
  // Before an interrogation reports the state again: a chance to bring the
  // status detail up to date.
  virtual void OnInterrogate() {}

  // Reports a state. Does nothing in application mode. Pending states carry
  // the next checkpoint and accept no controls; others carry checkpoint 0 and
  // kServiceControlsAccepted.
  void SetStatus(uint32_t state, uint32_t exit_code = 0, uint32_t wait_hint = 0);

  // Start-up: start pending; the data, log and runtime folders created if
  // missing and checked for writing; the log; OnStart; running. False when
  // one of the folders cannot be created or written: the reason then goes to
  // standard error, to the log when its folder is usable, and to the status
  // (stopped, exit code kExitConfig, the reason as detail); running is never
  // reported, nothing is started, and exit_code() becomes kExitConfig. A common data folder
  // that another user could change (it or a folder above it belongs to
  // another user or is writable by others) is refused the same way before
  // anything is made in it, with kExitConfig: no restart can mend it.
  bool Start();
  void Stop();       // stop pending, OnStop, stopped
  void Pause();      // pause pending, OnPause, paused
  void Continue();   // continue pending, OnContinue, running
  void Shutdown();   // OnShutdown, stopped (the component manager is not quit)
  void Interrogate();
  // Calls OnStopRequested(); any thread.
  void RequestStop() { OnStopRequested(); }

  // Chooses the run mode from the first argument ("-application" or
  // "-service", any case) and runs the console loop or the service loop.
  // False when service mode was asked for outside the service manager.
  bool Run(const std::vector<std::string>& args);

  // What the process should exit with: 0, or 1 (kExitConfig) after a
  // Start() that failed.
  // Read on the thread that ran Start() or after joining it.
  int exit_code() const { return exit_code_; }
  int run_mode() const { return run_mode_; }
  uint32_t current_state() const { return current_state_; }
  const ServiceStatus& status() const { return status_; }
  // The status sink (not owned; must outlive the service). Null: no reports.
  void set_status_sink(IServiceStatusSink* sink) { sink_ = sink; }
  // How often the service loop makes the status text again.
  int64_t health_check_ms() const { return health_check_ms_; }
  void set_health_check_ms(int64_t ms) { health_check_ms_ = ms; }
  void set_run_mode(int mode) { run_mode_ = mode; }

  // The data directory: <common data folder>/Varnel/ZEV/2.0 (empty without one).
  static std::string DataDirectory();

  // The folders Start() needs writable. Empty paths mean there is no common
  // data folder.
  struct Folders {
    std::string common;  // the common data folder that holds the others
    std::string data;  // the service's own files
    std::string log;   // where the log is opened
    std::string run;   // lock files and sockets
  };
  // By default DataDirectory() for data and log and <common>/run.
  virtual Folders ServiceFolders() const;
  // Whether the stores the service keeps its settings and records in can be
  // used; false with the reason in *why. By default there are none.
  virtual bool CheckStores(std::string* why) {
    (void)why;
    return true;
  }

 protected:
  // The detail that the next status reports carry; Stop() and Shutdown()
  // clear it. Any thread.
  void set_status_detail(std::string detail);
  // Sets the detail and, while the service runs, reports it at once (what
  // runs has changed). Any thread.
  void UpdateRunningDetail(std::string detail);
  // Tells the service manager that the start goes on for up to `ms` more;
  // nothing in application mode. Any thread.
  void ExtendStartTimeout(int64_t ms);

 private:
  int run_mode_ = kRunModeService;
  uint32_t current_state_ = kServiceStopped;
  int exit_code_ = 0;
  // Guards the status record: reports come from the driver threads and,
  // while running, from whoever sees what runs change.
  mutable std::mutex status_mu_;
  ServiceStatus status_;
  IServiceStatusSink* sink_ = nullptr;
  int64_t health_check_ms_ = Timings().health_check_ms;
};

class CZEVServiceContext;

// The service on a composition root: start and stop run its manager.
class CZEVService : public CZEVServiceBase {
 public:
  // `context` (not owned) must outlive the service.
  explicit CZEVService(CZEVServiceContext* context);
  // Starts the manager. When it stays idle because another instance holds
  // the instance lock, or a front end did not start, the status says so
  // ("idle: another instance holds the instance lock", "not serving: pipe").
  void OnStart() override;
  void OnStop() override;
  void OnStopRequested() override;
  // Counts what runs afresh (hosts come and go between catalogue changes).
  void OnInterrogate() override;
  // The context's folders.
  Folders ServiceFolders() const override;
  // The registry store: absent, or whole.
  bool CheckStores(std::string* why) override;

 private:
  // "port 61024; 12 components in 3 hosts", after what did not start.
  std::string RunningDetail();

  CZEVServiceContext* const context_;
  std::atomic<bool> stop_requested_{false};
  bool manager_started_ = false;  // on the thread that runs the drivers
};

// Blocks the control signals (SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2) in
// the calling thread and every thread it starts later; they are then taken
// from a signalfd by the run loops. Call first thing in main.
void BlockControlSignals();

// Waits `ms` on the process clock with the control signals blocked (call
// BlockControlSignals first). True when SIGTERM or SIGINT came meanwhile: the
// caller should exit. Other control signals stay pending for the run loop.
bool PauseBeforeStart(int64_t ms);

// Takes the service manager's notification socket out of the environment, so
// that no child (hosts, components, the downloader) inherits it; the service
// keeps the path for its own reports. Call once, before any thread starts.
void TakeNotifySocket();
// The path TakeNotifySocket took ("@..." for an abstract socket); empty
// when the service manager gave none.
const std::string& NotifySocketPath();
// Sends one notification datagram to NotifySocketPath(). False when there is
// none or the send failed.
bool SendServiceNotification(const std::string& message);

}  // namespace zev

#endif  // ZEV_HOST_SERVICE_H_
