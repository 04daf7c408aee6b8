#include "contract/sealed_call.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/pipe_frame.h"
#include "crypto/payload_envelope.h"
#include "platform/wait.h"

namespace zev {

SealedCall SealCall(const std::string& server_id, const std::string& method, const std::string& request,
                    const CallerId& caller) {
  CZEVComponentDescriptor descriptor;
  if (!caller.component_id.empty()) descriptor.set_componentid(caller.component_id);
  descriptor.set_serverid(server_id);
  descriptor.set_methodcode(method);
  if (!caller.client_identifier.empty()) descriptor.set_clientidentifier(caller.client_identifier);
  CZEVRPCCommandData command;
  command.set_componentdescriptor(descriptor.SerializeAsString());
  command.set_request(request);
  SealedCall call;
  encodePayload(command.SerializeAsString(), &call.body, &call.etag);
  return call;
}

bool OpenReply(const SealedReply& reply, std::string* answer) { return decodePayload(reply.body, reply.etag, answer); }

HttpCallChannel::HttpCallChannel(const std::string& host, int port, int limit_ms, bool keep_alive)
    : connection_(host, port), where_(host + ":" + std::to_string(port)), limit_ms_(limit_ms),
      keep_alive_(keep_alive) {}

bool HttpCallChannel::Call(const SealedCall& call, SealedReply* reply, std::string* error) {
  HttpHeaders headers = {{"Content-Type", "text/plain"}};
  if (!keep_alive_) headers.emplace_back("Connection", "close");
  HttpResponse response;
  std::string reason;
  if (!connection_.Request("POST", "/rpc?key=" + call.etag, headers, call.body, limit_ms_, &response, &reason)) {
    *error = "cannot call " + where_ + ": " + reason;
    return false;
  }
  if (response.status != 200) {
    *error = "HTTP " + std::to_string(response.status) + " from " + where_;
    return false;
  }
  reply->exr = response.Header("exr");
  reply->etag = response.Header("etag");
  reply->body = std::move(response.body);
  return true;
}

PipeCallChannel::PipeCallChannel(const std::string& socket_path, int limit_ms, const std::string& tag)
    : path_(socket_path), limit_ms_(limit_ms), tag_(tag) {}

PipeCallChannel::~PipeCallChannel() { Close(); }

void PipeCallChannel::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  pending_.clear();
}

bool PipeCallChannel::Connect(std::string* error) {
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *error = std::string("no socket: ") + strerror(errno);
    return false;
  }
  // Bounds the connect (a listener whose backlog is full keeps it waiting)
  // and every write.
  if (limit_ms_ >= 0) {
    timeval limit = {limit_ms_ / 1000, (limit_ms_ % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  }
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path_.c_str());
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "cannot connect to " + path_ + ": " + strerror(errno);
    Close();
    return false;
  }
  return true;
}

bool PipeCallChannel::Call(const SealedCall& call, SealedReply* reply, std::string* error) {
  const int64_t deadline = DeadlineAfter(limit_ms_);
  if (fd_ < 0 && !Connect(error)) return false;
  const std::string frame = EncodeFrame({tag_, "key:" + call.etag, call.body});
  for (size_t sent = 0; sent < frame.size();) {
    const ssize_t n = send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot send to " + path_;
      Close();
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  Frame answer;
  switch (ReadFrame(fd_, &pending_, &answer, deadline)) {
    case FrameRead::kFrame:
      break;
    case FrameRead::kTimedOut:
      *error = "no reply from " + path_ + " within " + std::to_string(limit_ms_) + " ms";
      Close();
      return false;
    case FrameRead::kBad:
    case FrameRead::kEnded:
      *error = "no valid reply from " + path_;
      Close();
      return false;
  }
  std::map<std::string, std::string> items = SplitExtend(answer.header);
  reply->exr = items.count("exr") ? items["exr"] : "";
  reply->etag = items.count("etag") ? items["etag"] : "";
  reply->body = std::move(answer.body);
  return true;
}

}  // namespace zev
