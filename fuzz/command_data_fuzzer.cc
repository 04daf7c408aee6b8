// Feeds arbitrary decoded bodies through the call envelope parser and, when
// it accepts them, through dispatch; every reply must be a message clients
// can parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <google/protobuf/stubs/logging.h>

#include "rpc/echo_server.h"
#include "rpc/rpc_dispatch.h"

// Protobuf's complaints about invalid UTF-8 would flood the output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  google::protobuf::SetLogHandler(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  std::string body(reinterpret_cast<const char*>(data), size);
  CZEVComponentDescriptor descriptor;
  std::string request, error;
  bool parsed = parseCommandData(body, &descriptor, &request, &error);
  if (parsed != error.empty()) abort();  // success exactly when there is no failure text
  static CZEVMethodRegistry* methods = [] {
    auto* m = new CZEVMethodRegistry();
    RegisterEchoMethods(*m);
    return m;
  }();
  std::string payload, failure;
  bool exr = processCommandData(*methods, body, "", &payload, &failure);
  if (exr) {
    CZEVRPCExceptionResponse response;
    if (!response.ParseFromString(payload)) abort();
    if (response.code().empty()) abort();
  }
  return 0;
}
