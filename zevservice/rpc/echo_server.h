// The echo server: the smallest server on the RPC framework. Its one method,
// "echo", answers with the request text unchanged.
#ifndef ZEV_RPC_ECHO_SERVER_H_
#define ZEV_RPC_ECHO_SERVER_H_

#include "contract/names.h"
#include "rpc/rpc_method.h"

namespace zev {

// kEchoServerId is in contract/names.h.

class CZEVEchoServer : public CZEVRPCServer {
 public:
  using CZEVRPCServer::CZEVRPCServer;
  std::string getServerId() const override { return kEchoServerId; }
};

class CZEVEchoServerecho
    : public CZEVRPCMethod<CZEVEchoServer, CZEVEchoRequest, CZEVEchoResponse> {
 public:
  CZEVEchoServerecho() : CZEVRPCMethod("echo") {}
  void handle(CZEVEchoServer& server, const CZEVEchoRequest& request,
              CZEVEchoResponse& response) override;
  bool isQuick(const std::string& /*request*/) const override { return true; }
};

// Registers "echo" in `methods`.
void RegisterEchoMethods(CZEVMethodRegistry& methods);

}  // namespace zev

#endif  // ZEV_RPC_ECHO_SERVER_H_
