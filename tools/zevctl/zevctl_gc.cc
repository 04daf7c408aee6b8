// zevctl gc: the old versions of the download folder, asked of the running
// service over its local socket ("collectVersions"). With --dry-run it lists
// them and the bytes they hold; without, the service removes them, which it
// does only for root or its own user.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVControlIntfs.pb.h"
#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/names.h"
#include "tools/zevctl/zevctl.h"

namespace zev::ctl {

int Gc(const std::vector<std::string>& args) {
  bool dry_run = false;
  for (const std::string& a : args) {
    if (a != "--dry-run") return Usage();
    dry_run = true;
  }
  CZEVCollectVersionsRequest request;
  request.set_dryrun(dry_run);
  CallOptions options;
  options.pipe = true;
  options.limit_ms = 300000;  // a large folder takes a while to remove
  std::string exr, answer, error;
  if (!PostCall(options, kControlServerId, "collectVersions", request.SerializeAsString(), &exr, &answer, &error)) {
    fprintf(stderr, "zevctl: %s\n", error.c_str());
    return 1;
  }
  if (exr != "0") {
    CZEVRPCExceptionResponse e;
    printf("exception %s\n", e.ParseFromString(answer) ? OneLine(e.code() + ": " + e.message()).c_str() : "");
    return 1;
  }
  CZEVCollectVersionsResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the collectVersions answer does not parse\n");
    return 1;
  }
  for (const CZEVCollectedVersion& v : response.versions()) {
    printf("%s %s %s %s %" PRId64 " bytes\n", dry_run ? "would remove" : "removed", OneLine(v.appcode()).c_str(),
           OneLine(v.componentid()).c_str(), OneLine(v.version()).c_str(), v.bytes());
  }
  printf("%d versions, %" PRId64 " bytes %s\n", response.versions_size(), response.bytes(),
         dry_run ? "would be freed" : "freed");
  if (!response.success()) {
    printf("failed: %s\n", OneLine(response.errormessage()).c_str());
    return 1;
  }
  return 0;
}

}  // namespace zev::ctl
