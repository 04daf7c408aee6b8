#include "rpc/pipe_processor.h"

#include <cerrno>
#include <cstdlib>

#include "host/log.h"
#include "platform/guid.h"
#include "rpc/payload_envelope.h"
#include "rpc/rpc_dispatch.h"

std::map<std::string, std::string> SplitExtend(const std::string& header) {
  std::map<std::string, std::string> items;
  size_t start = 0;
  while (start <= header.size()) {
    size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    std::string piece = header.substr(start, end - start);
    bool last = end == header.size();
    if (!(last && piece.empty())) {
      size_t colon = piece.find(':');
      if (colon == std::string::npos) {
        items[piece] = piece;
      } else {
        items[piece.substr(0, colon)] = piece.substr(colon + 1);
      }
    }
    if (last) break;
    start = end + 1;
  }
  return items;
}

int32_t NewRequestId() {
  GUID g = NewGuid();
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

CZEVServicePipeProcessorImpl::CZEVServicePipeProcessorImpl() : request_id_(NewRequestId()) {}

int32_t CZEVServicePipeProcessorImpl::parseExtend(const IZEVIPCRequest& request, std::string* plain) {
  const std::string& header = request.getExtend();
  const std::string& body = request.getBody();
  if (header.empty()) {
    failure_ = " Extend request is empty";
    return -1;
  }
  std::map<std::string, std::string> items = SplitExtend(header);
  auto key = items.find("key");
  if (key == items.end()) {
    failure_ = "Extend request key not exist";
    return -1;
  }
  if (body.empty()) {
    failure_ = "Encoce request string is empty";
    return -1;
  }
  if (!decodePayload(body, key->second, plain) || plain->empty()) {
    failure_ = "request decryptData is empty:[" + body + "]" + "\nkey:[" + key->second + "]";
    return -1;
  }
  return 0;
}

int32_t CZEVServicePipeProcessorImpl::process(IZEVIPCRequest& request, IZEVIPCResponse& response) {
  failure_.clear();
  std::string exr = "exr:1";
  std::string payload;
  int32_t result = -1;
  try {
    std::string plain;
    CZEVComponentDescriptor descriptor;
    std::string call_request;
    if (parseExtend(request, &plain) != 0) {
      payload = buildExceptionResponse(failure_, kRPCCodeParseFailed);
    } else if (!parseCommandData(plain, &descriptor, &call_request, &failure_)) {
      payload = buildExceptionResponse(failure_, kRPCCodeParseFailed);
    } else {
      exr = "exr:0";
      result = 0;
      dispatchCall(descriptor, call_request, payload);
    }
  } catch (const std::exception& e) {
    exr = "exr:1";
    result = -1;
    payload = buildExceptionResponse(e.what(), kRPCCodeException);
    failure_ = payload;
  } catch (...) {
    exr = "exr:1";
    result = -1;
    payload = buildExceptionResponse(kRPCUnknownErrorText, kRPCCodeUnknown);
    failure_ = payload;
  }
  std::string body, etag;
  encodePayload(payload, &body, &etag);
  response.setBody(body);
  response.setExtend("etag:" + etag + ";" + exr);
  return result;
}

CZEVPipeServerImpl& CZEVPipeServerImpl::instance() {
  static CZEVPipeServerImpl* impl = new CZEVPipeServerImpl(&CZEVIPCServer::instance());
  return *impl;
}

CZEVPipeServerImpl::CZEVPipeServerImpl(CZEVIPCServer* server) : server_(server) {
  server_->setHandler([this](IZEVIPCRequest& request, IZEVIPCResponse& response) { HandleRequest(request, response); });
}

CZEVPipeServerImpl::~CZEVPipeServerImpl() { stop(); }

bool CZEVPipeServerImpl::start() {
  if (!server_->start(kServicePipeServerName, kServicePipeName)) {
    LogWrite(1, "Pipe start failed: %ld", static_cast<long>(errno));
    return false;
  }
  return true;
}

bool CZEVPipeServerImpl::stop() { return server_->stop(); }

void CZEVPipeServerImpl::HandleRequest(IZEVIPCRequest& request, IZEVIPCResponse& response) {
  CZEVServicePipeProcessorImpl processor;
  const long id = processor.request_id();
  try {
    LogWrite(1, "[PIPE]: Request start: %ld", id);
    if (processor.process(request, response) != 0) {
      // The failure text may be a serialised message: it prints up to its first zero byte.
      LogWrite(1, "[PIPE]: Request (%ld) faild: %s", id, processor.failure().c_str());
    }
    LogWrite(1, "[PIPE]: Request end: %ld", id);
  } catch (...) {
    LogWrite(1, "[PIPE]: Request (%ld) catch error code: [%d]", id, errno);
  }
}
