// zevctl's operator commands, over the service's local socket: update (a
// pass at once), hold, unhold and holds.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVControlIntfs.pb.h"
#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/names.h"
#include "tools/zevctl/zevctl.h"

namespace zev::ctl {

namespace {

// Calls control method `method` over the local socket; on a transport
// failure or an exception response prints why and answers false.
bool OperatorCall(const std::string& method, const std::string& request, int limit_ms, std::string* answer) {
  CallOptions options;
  options.pipe = true;
  options.limit_ms = limit_ms;
  std::string exr, error;
  if (!PostCall(options, kControlServerId, method, request, &exr, answer, &error)) {
    fprintf(stderr, "zevctl: %s\n", error.c_str());
    return false;
  }
  if (exr == "0") return true;
  CZEVRPCExceptionResponse e;
  if (e.ParseFromString(*answer)) {
    printf("exception %s: %s\n", OneLine(e.code()).c_str(), OneLine(e.message()).c_str());
  } else {
    printf("exception: (undecodable exception response)\n");
  }
  return false;
}

std::string HoldLine(const CZEVHold& hold) {
  return OneLine(hold.appcode()) + " " + OneLine(hold.componentid()) + " " + OneLine(hold.version());
}

}  // namespace

int Update(const std::vector<std::string>& args) {
  int32_t wait_s = 600;
  if (args.size() == 2 && args[0] == "--wait") {
    if (!ParseInt32(args[1], &wait_s) || wait_s <= 0) return Usage();
  } else if (!args.empty()) {
    return Usage();
  }
  CZEVUpdateNowRequest request;
  request.set_waitseconds(wait_s);
  std::string answer;
  // The service answers when the pass ends, or after wait_s.
  if (!OperatorCall("updateNow", request.SerializeAsString(), (wait_s + 30) * 1000, &answer)) return 1;
  CZEVUpdateNowResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the updateNow answer does not parse\n");
    return 1;
  }
  if (!response.success()) {
    printf("failed: %s\n", OneLine(response.errormessage()).c_str());
    return 1;
  }
  printf("result: %s\n", OneLine(response.result()).c_str());
  if (!response.servererror().empty()) printf("server error: %s\n", OneLine(response.servererror()).c_str());
  printf("listed: %" PRId64 "\ninstalled: %" PRId64 "\nfailed: %" PRId64 "\ntook: %" PRId64 " ms\n",
         static_cast<int64_t>(response.listed()), static_cast<int64_t>(response.installed()),
         static_cast<int64_t>(response.failed()), static_cast<int64_t>(response.tookms()));
  return response.failed() == 0 && response.result() == "server" ? 0 : 1;
}

int Hold(const std::vector<std::string>& args, bool hold) {
  if (hold ? (args.size() != 2 && args.size() != 3) : args.size() != 2) return Usage();
  CZEVHoldRequest request;
  request.mutable_hold()->set_appcode(args[0]);
  request.mutable_hold()->set_componentid(args[1]);
  if (args.size() == 3) request.mutable_hold()->set_version(args[2]);
  std::string answer;
  const char* method = hold ? "hold" : "unhold";
  if (!OperatorCall(method, request.SerializeAsString(), 60000, &answer)) return 1;
  CZEVHoldResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the %s answer does not parse\n", method);
    return 1;
  }
  if (!response.success()) {
    printf("failed: %s\n", OneLine(response.errormessage()).c_str());
    return 1;
  }
  printf("%s %s\n", hold ? "held" : "released", HoldLine(response.hold()).c_str());
  return 0;
}

int Holds(const std::vector<std::string>& args) {
  if (!args.empty()) return Usage();
  std::string answer;
  if (!OperatorCall("listHolds", CZEVListHoldsRequest().SerializeAsString(), 30000, &answer)) return 1;
  CZEVListHoldsResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the listHolds answer does not parse\n");
    return 1;
  }
  if (!response.success()) {
    printf("failed: %s\n", OneLine(response.errormessage()).c_str());
    return 1;
  }
  for (const CZEVHold& hold : response.holds()) printf("%s\n", HoldLine(hold).c_str());
  return 0;
}

}  // namespace zev::ctl
