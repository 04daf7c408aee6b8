#include "host/collect_method.h"

#include <memory>
#include <utility>

#include "base/log.h"
#include "common/zevclasses/ZEVControlIntfs.pb.h"
#include "rpc/control_server.h"
#include "rpc/rpc_method.h"
#include "strategy/local_database.h"
#include "strategy/version_collection.h"

namespace zev {

namespace {

class CollectVersionsMethod
    : public CZEVRPCMethod<CZEVControlServer, CZEVCollectVersionsRequest, CZEVCollectVersionsResponse> {
 public:
  explicit CollectVersionsMethod(CollectMethodDeps deps) : CZEVRPCMethod("collectVersions"), deps_(std::move(deps)) {}

  void handle(CZEVControlServer& server, const CZEVCollectVersionsRequest& request,
              CZEVCollectVersionsResponse& response) override {
    const RpcCaller& caller = server.caller();
    if (!request.dryrun() && !caller.Privileged()) {
      response.set_errormessage("not allowed: only root or the service's user may remove versions");
      LogWrite(kLogWarning, "Refused to collect old versions for %s: not root or the service's user",
               caller.Describe().c_str());
      return;
    }
    if (deps_.download_dir.empty() || deps_.registry == nullptr) {
      response.set_errormessage("the service has no download folder");
      return;
    }
    LogWrite(kLogInfo, "%s of old versions for %s", request.dryrun() ? "A dry run of the collection" : "A collection",
             caller.Describe().c_str());
    LocalComponentDatabase database(deps_.database_key.empty() ? MakeDatabaseKey() : deps_.database_key,
                                    deps_.registry);
    GcResult result = CollectOldVersions(deps_.download_dir, &database, deps_.loaded, deps_.registry, request.dryrun());
    response.set_success(result.ok);
    response.set_errormessage(result.error);
    response.set_bytes(static_cast<int64_t>(result.bytes));
    for (const FoundVersion& item : result.items) {
      CZEVCollectedVersion* out = response.add_versions();
      out->set_appcode(std::get<0>(item.version));
      out->set_componentid(std::get<1>(item.version));
      out->set_version(std::get<2>(item.version));
      out->set_bytes(static_cast<int64_t>(item.bytes));
    }
  }

 private:
  const CollectMethodDeps deps_;
};

}  // namespace

bool RegisterCollectMethod(CZEVMethodRegistry* methods, CollectMethodDeps deps) {
  if (methods == nullptr) return false;
  return methods->registerMethod(std::make_unique<CollectVersionsMethod>(std::move(deps)),
                                 MethodEffect::kChangesState);
}

}  // namespace zev
