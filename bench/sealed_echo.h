// The sealed body of an echo call, as clients send it over HTTP or the
// socket, for the benchmark programs.
#ifndef ZEV_BENCH_SEALED_ECHO_H_
#define ZEV_BENCH_SEALED_ECHO_H_

#include <string>

#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "crypto/payload_envelope.h"
#include "rpc/echo_server.h"

// Seals an echo call of `text`; returns the body and sets *etag.
inline std::string SealedEcho(const std::string& text, std::string* etag) {
  CZEVComponentDescriptor descriptor;
  descriptor.set_serverid(kEchoServerId);
  descriptor.set_methodcode("echo");
  CZEVEchoRequest request;
  request.set_request(text);
  CZEVRPCCommandData command;
  command.set_componentdescriptor(descriptor.SerializeAsString());
  command.set_request(request.SerializeAsString());
  std::string body;
  encodePayload(command.SerializeAsString(), &body, etag);
  return body;
}

#endif  // ZEV_BENCH_SEALED_ECHO_H_
