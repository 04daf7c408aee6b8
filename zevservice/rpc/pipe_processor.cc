#include "rpc/pipe_processor.h"

#include <cerrno>
#include <cstdlib>
#include <random>

#include "base/log.h"
#include "platform/guid.h"
#include "platform/text.h"
#include "rpc/call_pipeline.h"

namespace zev {

std::string CapEchoedText(const std::string& text) {
  if (text.size() <= kMaxEchoedText) return text;
  return text.substr(0, Utf8CutLength(text, kMaxEchoedText)) + "...(" + std::to_string(text.size()) + " bytes)";
}

int32_t NewRequestId() {
  // The id only tells log lines apart: a per-thread generator seeded from a
  // real GUID spares a getrandom call per request.
  thread_local std::mt19937_64 generator([] {
    GUID seed = NewGuid();
    return (uint64_t{seed.Data1} << 32) ^ (uint64_t{seed.Data2} << 16) ^ seed.Data3 ^
           (uint64_t{seed.Data4[0]} << 56) ^ (uint64_t{seed.Data4[7]} << 40);
  }());
  GUID g;
  uint64_t a = generator(), b = generator();
  g.Data1 = static_cast<uint32_t>(a);
  g.Data2 = static_cast<uint16_t>(a >> 32);
  g.Data3 = static_cast<uint16_t>(a >> 48);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<unsigned char>(b >> (8 * i));
  uint32_t d1 = g.Data1;
  int32_t as_int = static_cast<int32_t>(d1);
  uint32_t sum = as_int == INT32_MIN ? d1 : static_cast<uint32_t>(std::abs(as_int));
  sum += g.Data2;
  sum += g.Data3;
  sum += g.Data4[1];
  sum += g.Data4[3];
  sum += g.Data4[5];
  sum += g.Data4[7];
  int32_t id = static_cast<int32_t>(sum);
  return id == INT32_MIN ? INT32_MAX : std::abs(id);
}

CZEVServicePipeProcessorImpl::CZEVServicePipeProcessorImpl(const CZEVMethodRegistry* methods,
                                                           ComponentPeerCheck component_check,
                                                           ComponentHostsSource component_hosts)
    : methods_(methods),
      component_check_(std::move(component_check)),
      component_hosts_(std::move(component_hosts)),
      request_id_(NewRequestId()) {}

int32_t CZEVServicePipeProcessorImpl::parseExtend(const IZEVIPCRequest& request, std::string* key) {
  const std::string& header = request.getExtend();
  if (header.empty()) {
    failure_ = " Extend request is empty";
    return -1;
  }
  std::map<std::string, std::string> items = SplitExtend(header);
  auto found = items.find("key");
  if (found == items.end()) {
    failure_ = "Extend request key not exist";
    return -1;
  }
  if (request.getBody().empty()) {
    failure_ = "Encoce request string is empty";
    return -1;
  }
  *key = found->second;
  return 0;
}

int32_t CZEVServicePipeProcessorImpl::process(IZEVIPCRequest& request, IZEVIPCResponse& response) {
  return Process(request, response, false);
}

int32_t CZEVServicePipeProcessorImpl::processIfQuick(IZEVIPCRequest& request, IZEVIPCResponse& response) {
  return Process(request, response, true);
}

int32_t CZEVServicePipeProcessorImpl::Process(IZEVIPCRequest& request, IZEVIPCResponse& response,
                                              bool quick_only) {
  failure_.clear();
  std::string key;
  CallReply reply;
  if (parseExtend(request, &key) != 0) {
    reply = RejectCall(failure_);
  } else {
    RpcCaller caller;
    caller.via = RpcCaller::Via::kSocket;
    const IpcPeer& peer = request.getPeer();
    if (peer.known) {
      caller.uid = peer.uid;
      caller.pid = peer.pid;
    }
    caller.component_check = component_check_;
    caller.component_hosts = component_hosts_;
    CallHooks hooks;
    hooks.caller = &caller;
    hooks.empty_plain_is_open_failure = true;
    // A call that does not open or parse is answered, and logged, with its
    // failure text; a failed method is logged by its exception response.
    hooks.rejection_message = [&](CallFailure failure, const std::string& text) {
      failure_ = failure == CallFailure::kOpen
                     ? "request decryptData is empty:[" + CapEchoedText(request.getBody()) + "]" + "\nkey:[" +
                           CapEchoedText(key) + "]"
                     : text;
      return failure_;
    };
    hooks.quick_only = quick_only;
    reply = ProcessSealedCall(*methods_, request.getBody(), key, hooks);
    if (reply.deferred) return kNotQuick;
    if (reply.failure == CallFailure::kExecute || reply.failure == CallFailure::kUnknown) failure_ = reply.payload;
    if (reply.failure == CallFailure::kBusy) failure_ = kCallBusyText;
  }
  response.setBody(reply.body);
  response.setExtend("etag:" + reply.etag + ";" + (reply.exr ? "exr:1" : "exr:0"));
  return reply.exr ? -1 : 0;
}

CZEVPipeServerImpl::CZEVPipeServerImpl(CZEVIPCServer* server, const CZEVMethodRegistry* methods)
    : server_(server), methods_(methods) {
  server_->setHandler([this](IZEVIPCRequest& request, IZEVIPCResponse& response) { HandleRequest(request, response); });
  server_->setQuickHandler(
      [this](IZEVIPCRequest& request, IZEVIPCResponse& response) { return HandleQuickRequest(request, response); });
}

CZEVPipeServerImpl::~CZEVPipeServerImpl() { stop(); }

bool CZEVPipeServerImpl::start() {
  if (!server_->start(kServicePipeServerName, kServicePipeName)) {
    LogWrite(kLogInfo, "Pipe start failed: %ld", static_cast<long>(errno));
    return false;
  }
  return true;
}

bool CZEVPipeServerImpl::stop() { return server_->stop(); }

void CZEVPipeServerImpl::setComponentPeerCheck(ComponentPeerCheck check) {
  MutexLock lock(&check_mu_);
  component_check_ = std::move(check);
}

void CZEVPipeServerImpl::setComponentHosts(ComponentHostsSource hosts) {
  MutexLock lock(&check_mu_);
  component_hosts_ = std::move(hosts);
}

void CZEVPipeServerImpl::HandleRequest(IZEVIPCRequest& request, IZEVIPCResponse& response) {
  Serve(request, response, false);
}

bool CZEVPipeServerImpl::HandleQuickRequest(IZEVIPCRequest& request, IZEVIPCResponse& response) {
  return Serve(request, response, true);
}

bool CZEVPipeServerImpl::Serve(IZEVIPCRequest& request, IZEVIPCResponse& response, bool quick_only) {
  ComponentPeerCheck check;
  ComponentHostsSource hosts;
  {
    // Copied for the call, so that a change meanwhile cannot pull them away.
    MutexLock lock(&check_mu_);
    check = component_check_;
    hosts = component_hosts_;
  }
  CZEVServicePipeProcessorImpl processor(methods_, std::move(check), std::move(hosts));
  const long id = processor.request_id();
  try {
    // A call tried on the loop is logged only once it is known to run there.
    if (!quick_only) LogWrite(kLogInfo, "[PIPE]: Request start: %ld", id);
    const int32_t rc = quick_only ? processor.processIfQuick(request, response) : processor.process(request, response);
    if (rc == CZEVServicePipeProcessorImpl::kNotQuick) return false;
    if (quick_only) LogWrite(kLogInfo, "[PIPE]: Request start: %ld", id);
    if (rc != 0) {
      // The failure text may be a serialised message: it prints up to its first zero byte.
      LogWrite(kLogInfo, "[PIPE]: Request (%ld) faild: %s", id, CapEchoedText(processor.failure()).c_str());
    }
    LogWrite(kLogInfo, "[PIPE]: Request end: %ld", id);
  } catch (...) {
    LogWrite(kLogInfo, "[PIPE]: Request (%ld) catch error code: [%d]", id, errno);
  }
  return true;
}

}  // namespace zev
