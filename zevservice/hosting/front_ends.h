// The component manager's front ends: the single-instance lock, the RPC port
// and its publication in the registry (retried while the registry refuses
// it), the HTTP endpoint, the local socket and the port guard. The manager
// sequences them with its component loader; nothing here loads components.
#ifndef ZEV_HOSTING_FRONT_ENDS_H_
#define ZEV_HOSTING_FRONT_ENDS_H_

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/annotated_mutex.h"
#include "hosting/manager_options.h"
#include "hosting/port_guard.h"
#include "hosting/stop_state.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "rpc/http_server.h"

namespace zev {

class CZEVFrontEnds {
 public:
  // Whether the process `pid` may act for the component `id` on the socket.
  using ComponentPeerCheck = std::function<bool(pid_t pid, const std::string& id)>;
  // The processes of the hosts that run the components now.
  using ComponentHostsSource = std::function<std::vector<pid_t>()>;

  // All of these are the manager's and outlive the front ends.
  CZEVFrontEnds(const ManagerDeps& deps, const ManagerOptions& options, StopState* stop, const ManagerHooks* hooks);
  ~CZEVFrontEnds();  // StopEndpoints, StopPortGuard, ReleaseInstanceLock
  CZEVFrontEnds(const CZEVFrontEnds&) = delete;
  CZEVFrontEnds& operator=(const CZEVFrontEnds&) = delete;

  // Takes the single-instance mutex, retrying instance_attempts times
  // instance_retry_ms apart on the clock. Null when a stop came first or the
  // attempts ran out (instance_held_elsewhere() tells whether another
  // instance holds it).
  std::unique_ptr<NamedMutex> TakeInstanceLock();
  // From here on the instance is this one's until ReleaseInstanceLock.
  void HoldInstanceLock(std::unique_ptr<NamedMutex> instance_mutex) { instance_mutex_ = std::move(instance_mutex); }
  // Starts the HTTP endpoint on the first free port of the range and the
  // address the registry gives (ReadHttpBindAddress), writes the port to the
  // registry (a write that fails is tried again every port_write_retry_ms on
  // a thread of its own until it succeeds or the stop ends the wait), starts
  // the socket server with `peer_check` and `hosts` (whose components'
  // registrations over the socket end with them) and the port guard. Records
  // which front ends did not start. Serialised with the Stop calls by the
  // manager.
  void Start(ComponentPeerCheck peer_check, ComponentHostsSource hosts);
  // Joins the port write retries, stops the HTTP endpoint and the socket.
  void StopEndpoints();
  // Stops the port guard (releasing the port mutex, joining its timer).
  void StopPortGuard();
  void ReleaseInstanceLock() { instance_mutex_.reset(); }

  // The picked port (0 before Start or when none was free).
  int port() const;
  // "http", "pipe": the front ends the last Start could not start.
  std::vector<std::string> failed() const;
  bool instance_held_elsewhere() const;
  // Forgets what the last Start recorded.
  void Reset();

 private:
  void StartHttp();
  void RetryPortWrite(int port);

  const ManagerDeps& deps_;
  const ManagerOptions& options_;
  StopState* const stop_;
  const ManagerHooks* const hooks_;

  // Used by the thread that runs Start and Quit (the manager serialises them).
  std::unique_ptr<NamedMutex> instance_mutex_;
  std::unique_ptr<CZEVHttpServer> http_server_;
  // Started with the endpoint; stopped (its timer thread joined) before it.
  std::unique_ptr<CZEVPortGuard> port_guard_;
  bool http_started_ = false;
  bool pipe_started_ = false;
  std::thread port_writer_;  // retries a failed port write

  mutable Mutex state_mu_;
  int port_ GUARDED_BY(state_mu_) = 0;
  std::vector<std::string> failed_ GUARDED_BY(state_mu_);
  bool instance_held_elsewhere_ GUARDED_BY(state_mu_) = false;
};

// The first available port from `first` to `last` inclusive, logging each
// one that is not; 0 when none is. A range whose end lies below its start
// logs "maxPort is smaller than the incoming port." and gives `first`.
int PickPort(int first, int last);

// Writes the port under both port keys of the classes root of `registry`.
// False (with debugger output) when either write failed.
bool WritePortToRegistry(int port, RegistryStore* registry);

}  // namespace zev

#endif  // ZEV_HOSTING_FRONT_ENDS_H_
