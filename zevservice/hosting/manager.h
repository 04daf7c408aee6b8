// The component manager's start-up and shutdown: single instance, the RPC
// port and its publication in the registry, the HTTP endpoint.
#ifndef ZEV_HOSTING_MANAGER_H_
#define ZEV_HOSTING_MANAGER_H_

#include <memory>
#include <mutex>
#include <string>

#include "platform/named_mutex.h"
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
};

class CZEVManager {
 public:
  // The process-wide manager, created on first use.
  static CZEVManager& instance();

  explicit CZEVManager(ManagerOptions options = ManagerOptions());
  ~CZEVManager();
  CZEVManager(const CZEVManager&) = delete;
  CZEVManager& operator=(const CZEVManager&) = delete;

  // Takes the single-instance mutex (retrying), ends hosts left from an
  // earlier run, starts the HTTP endpoint on the first free port of the range,
  // writes the port to the registry and starts the pipe server. False when
  // the instance mutex could not be had (nothing else is done then).
  bool Start();
  // Stops the HTTP endpoint, then the pipe server, and releases the instance
  // mutex; logs "ZEVService quit".
  void Quit();

  // The picked port (0 before Start or when none was free).
  int port() const;

 private:
  const ManagerOptions options_;
  mutable std::mutex mu_;
  std::unique_ptr<NamedMutex> instance_mutex_;   // guarded by mu_
  std::unique_ptr<CZEVHttpServer> http_server_;  // guarded by mu_
  CZEVPipeServerImpl* pipe_server_ = nullptr;    // guarded by mu_; process-wide, not owned
  int port_ = 0;                                 // guarded by mu_
};

// The first available port from `first` to `last` inclusive, logging each
// one that is not; 0 when none is. A range whose end lies below its start
// logs "maxPort is smaller than the incoming port." and gives `first`.
int PickPort(int first, int last);

// Writes the port under both port keys of the classes root. False (with
// debugger output) when either write failed.
bool WritePortToRegistry(int port);

#endif  // ZEV_HOSTING_MANAGER_H_
