// The component manager's start-up and shutdown: single instance, the RPC
// port and its publication in the registry, the HTTP endpoint and the pipe
// server.
#ifndef ZEV_HOSTING_MANAGER_H_
#define ZEV_HOSTING_MANAGER_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "rpc/http_server.h"
#include "rpc/pipe_processor.h"

extern const char kInstanceMutexName[];  // "Global\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}"
extern const char kPortKeyWow64[];       // "WOW6432Node\CLSID\{B3B39D20-...}\Port"
extern const char kPortKey[];            // "CLSID\{B3B39D20-...}\Port"
extern const char kPortValueName[];      // "zevservicePort"
extern const char kHostProgramName[];    // "zevhost"

struct ManagerOptions {
  int instance_attempts = 11;
  int instance_retry_ms = 3000;
  int first_port = 61024;
  int last_port = 61124;
  // How long to wait before writing the port to the registry again after a
  // failed write (a full disk at start-up).
  int port_write_retry_ms = 60000;
};

// What the composition root hands the manager. Nothing here is owned by the
// manager; all of it must outlive it.
struct ManagerDeps {
  Clock* clock = Clock::Real();
  // Where the port is published and the bind address is read.
  RegistryStore* registry = &RegistryStore::Default();
  // The methods the HTTP endpoint serves.
  const CZEVMethodRegistry* methods = &CZEVMethodRegistry::instance();
  // The pipe front end; null: none is started.
  CZEVPipeServerImpl* pipe_server = nullptr;
  // Folder of the instance lock file; empty: the runtime folder.
  std::string run_dir;
};

class CZEVManager {
 public:
  // The process-wide manager of the default composition root, created on
  // first use.
  static CZEVManager& instance();

  explicit CZEVManager(ManagerDeps deps, ManagerOptions options = ManagerOptions());
  ~CZEVManager();  // Quit() when started
  CZEVManager(const CZEVManager&) = delete;
  CZEVManager& operator=(const CZEVManager&) = delete;

  // Takes the single-instance mutex (retrying), ends hosts left from an
  // earlier run, starts the HTTP endpoint on the first free port of the range
  // and the address that the registry gives (ReadHttpBindAddress), writes the
  // port to the registry and starts the pipe server. A port write that
  // fails is tried again every port_write_retry_ms on the clock, on a thread
  // of the manager, until it succeeds or Quit() runs. False when the
  // instance mutex could not be had, or Quit() ended the retries (nothing
  // else is done then).
  bool Start();
  // Ends a Start() that waits between instance attempts at once; then stops
  // the HTTP endpoint, the pipe server and the port write retries (joining
  // their thread), and releases the instance mutex; logs "ZEVService quit".
  // May run on any thread while Start() runs.
  void Quit();

  // The picked port (0 before Start or when none was free).
  int port() const;
  // The front ends that the last Start() could not start, by name ("http",
  // "pipe"), in that order; empty when all it tried started or it stopped
  // before trying them.
  std::vector<std::string> failed_front_ends() const;
  // True when the last Start() gave up because another instance holds the
  // instance mutex: this one then serves nothing and stays idle.
  bool instance_held_elsewhere() const;

 private:
  // Waits up to `ms` on the clock; false when Quit() came first.
  bool WaitBeforeRetry(int ms);
  // Body of port_writer_: writes `port` to the registry after each wait until
  // a write succeeds or Quit() ends the wait.
  void RetryPortWrite(int port);

  const ManagerDeps deps_;
  const ManagerOptions options_;
  // Serialises Start and Quit. Never held while Start waits between
  // attempts, so that Quit can end the wait.
  std::mutex mu_;
  std::unique_ptr<NamedMutex> instance_mutex_;   // guarded by mu_
  std::unique_ptr<CZEVHttpServer> http_server_;  // guarded by mu_
  bool http_started_ = false;                    // guarded by mu_
  bool pipe_started_ = false;                    // guarded by mu_
  // Retries a failed port write; started by Start(), joined by Quit().
  std::thread port_writer_;  // guarded by mu_

  mutable std::mutex state_mu_;
  std::condition_variable quit_cv_;
  bool quitting_ = false;                       // guarded by state_mu_
  int port_ = 0;                                // guarded by state_mu_
  std::vector<std::string> failed_front_ends_;  // guarded by state_mu_
  bool instance_held_elsewhere_ = false;        // guarded by state_mu_
};

// The first available port from `first` to `last` inclusive, logging each
// one that is not; 0 when none is. A range whose end lies below its start
// logs "maxPort is smaller than the incoming port." and gives `first`.
int PickPort(int first, int last);

// Writes the port under both port keys of the classes root of `registry`.
// False (with debugger output) when either write failed.
bool WritePortToRegistry(int port, RegistryStore* registry = &RegistryStore::Default());

#endif  // ZEV_HOSTING_MANAGER_H_
