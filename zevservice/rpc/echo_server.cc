#include "rpc/echo_server.h"

namespace zev {

void CZEVEchoServerecho::handle(CZEVEchoServer& /*server*/, const CZEVEchoRequest& request,
                                CZEVEchoResponse& response) {
  response.set_response(request.request());
}

void RegisterEchoMethods(CZEVMethodRegistry& methods) {
  methods.registerMethod(std::make_unique<CZEVEchoServerecho>());
}

}  // namespace zev
