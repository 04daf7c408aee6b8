// CZEVRPCMethod: the executor shape every RPC method shares. A method class
// derives from it, names its server class and messages, and implements
// `handle`; the module's registration function hands an object of it to a
// CZEVMethodRegistry.
//
//   class CZEVEchoServerecho
//       : public CZEVRPCMethod<CZEVEchoServer, CZEVEchoRequest, CZEVEchoResponse> {
//    public:
//     CZEVEchoServerecho() : CZEVRPCMethod("echo") {}
//     void handle(CZEVEchoServer& server, const CZEVEchoRequest& request,
//                 CZEVEchoResponse& response) override;
//   };
#ifndef ZEV_RPC_RPC_METHOD_H_
#define ZEV_RPC_RPC_METHOD_H_

#include <google/protobuf/util/json_util.h>

#include <string>

#include "rpc/rpc_dispatch.h"

namespace zev {

// Base of the RPC servers: a server object is made from the call's descriptor
// for every call and dies with it.
class CZEVRPCServer {
 public:
  explicit CZEVRPCServer(const CZEVComponentDescriptor& descriptor) : descriptor_(descriptor) {}
  virtual ~CZEVRPCServer() = default;
  virtual std::string getServerId() const { return std::string(); }
  const CZEVComponentDescriptor& descriptor() const { return descriptor_; }
  // Who made the call: set by the executor before the method runs; the
  // service itself until then.
  const RpcCaller& caller() const { return caller_ != nullptr ? *caller_ : InProcessCaller(); }
  void setCaller(const RpcCaller* caller) { caller_ = caller; }

 private:
  const CZEVComponentDescriptor descriptor_;
  const RpcCaller* caller_ = nullptr;  // not owned; outlives the call
};

template <typename ServerT, typename RequestT, typename ResponseT>
class CZEVRPCMethod : public CZEVBaseRPCExecute {
 public:
  std::string getServerId() const override { return server_id_; }
  std::string getMethodName() const override { return method_name_; }

  void execute(const CZEVComponentDescriptor& descriptor, const std::string& request,
               std::string& response) override {
    executeFor(InProcessCaller(), descriptor, request, response);
  }

  void executeFor(const RpcCaller& caller, const CZEVComponentDescriptor& descriptor, const std::string& request,
                  std::string& response) override {
    RequestT req;
    // A request that does not parse runs with whatever fields were read.
    (void)req.ParseFromString(request);
    ResponseT resp;
    ServerT server(descriptor);
    server.setCaller(&caller);
    handle(server, req, resp);
    response.resize(resp.ByteSizeLong());
    if (!response.empty()) {
      resp.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(&response[0]));
    }
  }

  void executeJson(const CZEVComponentDescriptor& descriptor, const std::string& request_json,
                   std::string& response_json) override {
    RequestT req;
    // As in the binary call, a request that does not convert runs with
    // whatever fields were read.
    (void)google::protobuf::util::JsonStringToMessage(request_json, &req);
    ResponseT resp;
    ServerT server(descriptor);
    handle(server, req, resp);
    response_json.clear();
    google::protobuf::util::MessageToJsonString(resp, &response_json);
  }

  virtual void handle(ServerT& server, const RequestT& request, ResponseT& response) = 0;

 protected:
  // Takes the server id from a server object made from an empty descriptor.
  explicit CZEVRPCMethod(const char* method_name)
      : server_id_(ServerT(CZEVComponentDescriptor()).getServerId()), method_name_(method_name) {}

 private:
  const std::string server_id_;
  const std::string method_name_;
};

}  // namespace zev

#endif  // ZEV_RPC_RPC_METHOD_H_
