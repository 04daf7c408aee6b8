// The echo server: the smallest server on the RPC framework. Its one method,
// "echo", answers with the request text unchanged.
#ifndef ZEV_RPC_ECHO_SERVER_H_
#define ZEV_RPC_ECHO_SERVER_H_

#include "rpc/rpc_method.h"

extern const char kEchoServerId[];  // "{56BFCC2A-7009-4287-93B0-4B857963F151}"

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
};

// Registers "echo" in `methods`.
void RegisterEchoMethods(CZEVMethodRegistry& methods);

#endif  // ZEV_RPC_ECHO_SERVER_H_
