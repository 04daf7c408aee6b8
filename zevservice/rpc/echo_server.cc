#include "rpc/echo_server.h"

const char kEchoServerId[] = "{56BFCC2A-7009-4287-93B0-4B857963F151}";

void CZEVEchoServerecho::handle(CZEVEchoServer& /*server*/, const CZEVEchoRequest& request,
                                CZEVEchoResponse& response) {
  response.set_response(request.request());
}

void RegisterEchoMethods(CZEVMethodRegistry& methods) {
  methods.registerMethod(std::make_unique<CZEVEchoServerecho>());
}
