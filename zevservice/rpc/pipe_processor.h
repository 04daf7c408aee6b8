// The pipe's request processing: CZEVPipeServerImpl owns the pipe server for
// the component manager and runs a CZEVServicePipeProcessorImpl for every
// request, which opens the sealed call named by the "key" item of the
// extended request, dispatches it and seals the answer.
#ifndef ZEV_RPC_PIPE_PROCESSOR_H_
#define ZEV_RPC_PIPE_PROCESSOR_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "base/annotated_mutex.h"
#include "contract/pipe_frame.h"
#include "rpc/ipc_server.h"
#include "rpc/rpc_dispatch.h"

namespace zev {

class IZEVIPCProcessor {
 public:
  virtual ~IZEVIPCProcessor() = default;
  // 0 when the call was dispatched and returned, -1 otherwise.
  virtual int32_t process(IZEVIPCRequest& request, IZEVIPCResponse& response) = 0;
};

class CZEVServicePipeProcessorImpl : public IZEVIPCProcessor {
 public:
  // Takes a new request id. `methods` (not owned) must outlive the processor.
  // `component_check` tells which peers count as a component's own
  // processes (empty: none); `component_hosts` which processes run
  // components (empty: none).
  explicit CZEVServicePipeProcessorImpl(const CZEVMethodRegistry* methods,
                                        ComponentPeerCheck component_check = ComponentPeerCheck(),
                                        ComponentHostsSource component_hosts = ComponentHostsSource());

  // Fills the response: the sealed answer as body, "etag:<etag>;exr:<0|1>" as
  // extended response. Every failure is answered (exr 1, an exception response).
  int32_t process(IZEVIPCRequest& request, IZEVIPCResponse& response) override;
  // process for a quick call (CallHooks::quick_only). kNotQuick, with the
  // response untouched, for a call that is not.
  static constexpr int32_t kNotQuick = -2;
  int32_t processIfQuick(IZEVIPCRequest& request, IZEVIPCResponse& response);
  // Checks the extended request and takes its "key" item. 0 with *key set,
  // or -1 with the failure text set.
  int32_t parseExtend(const IZEVIPCRequest& request, std::string* key);

  int32_t request_id() const { return request_id_; }
  const std::string& failure() const { return failure_; }

 private:
  const CZEVMethodRegistry* const methods_;
  int32_t Process(IZEVIPCRequest& request, IZEVIPCResponse& response, bool quick_only);

  const ComponentPeerCheck component_check_;
  const ComponentHostsSource component_hosts_;
  const int32_t request_id_;
  std::string failure_;
};

// Longest request text a failure answer or log line repeats.
constexpr size_t kMaxEchoedText = 1024;
// `text` cut to kMaxEchoedText bytes on a character boundary, with its full
// size noted after the cut; shorter text as it is.
std::string CapEchoedText(const std::string& text);

// A request id from a new GUID (|Data1| + Data2 + Data3 + Data4[1,3,5,7],
// wrapping, then its absolute value).
int32_t NewRequestId();

class CZEVPipeServerImpl {
 public:
  // Installs the handler. `server` and `methods` (not owned) must outlive it.
  CZEVPipeServerImpl(CZEVIPCServer* server, const CZEVMethodRegistry* methods);
  ~CZEVPipeServerImpl();                               // stop()

  // Starts listening on the service pipe; logs "Pipe start failed: %ld" on failure.
  bool start();
  bool stop();

  // The request handler (runs on the server's pool threads).
  void HandleRequest(IZEVIPCRequest& request, IZEVIPCResponse& response);
  // The quick handler (runs on the server's loop thread): answers the
  // request as HandleRequest does when its call is quick; false, with
  // nothing answered or logged, when it is not.
  bool HandleQuickRequest(IZEVIPCRequest& request, IZEVIPCResponse& response);

  // Tells which peers are processes of the component they name, for the
  // methods that only a component itself (or root) may call; empty: none.
  // Any thread.
  void setComponentPeerCheck(ComponentPeerCheck check);
  // Tells which processes are the hosts of the service's components, whose
  // component groups' registrations end with them; empty: none. Any thread.
  void setComponentHosts(ComponentHostsSource hosts);

 private:
  bool Serve(IZEVIPCRequest& request, IZEVIPCResponse& response, bool quick_only);

  CZEVIPCServer* const server_;               // not owned
  const CZEVMethodRegistry* const methods_;   // not owned
  Mutex check_mu_;
  ComponentPeerCheck component_check_ GUARDED_BY(check_mu_);
  ComponentHostsSource component_hosts_ GUARDED_BY(check_mu_);
};

}  // namespace zev

#endif  // ZEV_RPC_PIPE_PROCESSOR_H_
