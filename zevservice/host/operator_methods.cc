#include "host/operator_methods.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "common/zevclasses/ZEVControlIntfs.pb.h"
#include "contract/strategy_status.h"
#include "model/catalogue.h"
#include "platform/annotated_mutex.h"
#include "rpc/control_server.h"
#include "rpc/rpc_method.h"
#include "strategy/bad_versions.h"
#include "strategy/holds.h"

namespace zev {

namespace {

// Why `caller` may not change what operators change; empty when it may.
std::string Refusal(const RpcCaller& caller, const char* what) {
  if (caller.Privileged()) return std::string();
  const std::optional<uid_t> uid = caller.Uid();
  const std::string who = uid ? "uid " + std::to_string(*uid) : std::string("an unknown user");
  LogWrite(kLogWarning, "%s refused to %s", what, caller.Describe().c_str());
  return std::string(what) + " is for root or the service's user only, not " + who;
}

CZEVHold ToMessage(const Hold& hold) {
  CZEVHold out;
  out.set_appcode(hold.app);
  out.set_componentid(hold.component);
  out.set_version(hold.version);
  return out;
}

// The highest version of (app, component) that is loaded now; empty when
// none is.
std::string LoadedVersion(const LoadedComponentsSource& loaded, const std::string& app, const std::string& component) {
  std::string best;
  LoadedComponentsSnapshot snapshot = loaded ? loaded() : nullptr;
  if (!snapshot) return best;
  for (const auto& [key, entry] : *snapshot) {
    if (std::get<0>(key) != app || std::get<1>(key) != component) continue;
    if (best.empty() || CompareVersion(std::get<2>(key), best) > 0) best = std::get<2>(key);
  }
  return best;
}

class UpdateNowMethod
    : public CZEVRPCMethod<CZEVControlServer, CZEVUpdateNowRequest, CZEVUpdateNowResponse> {
 public:
  explicit UpdateNowMethod(std::shared_ptr<const OperatorDeps> deps)
      : CZEVRPCMethod("updateNow"), deps_(std::move(deps)) {}
  void handle(CZEVControlServer& server, const CZEVUpdateNowRequest& request,
              CZEVUpdateNowResponse& response) override {
    const std::string refused = Refusal(server.caller(), "updateNow");
    std::shared_ptr<CZEVStrategyManager> strategies = deps_->strategies ? deps_->strategies() : nullptr;
    if (!refused.empty() || !strategies) {
      response.set_errormessage(refused.empty() ? "the strategies are not running" : refused);
      return;
    }
    int64_t wait_s = request.waitseconds() > 0 ? request.waitseconds() : kUpdateNowWaitDefaultSeconds;
    wait_s = std::min(wait_s, kUpdateNowWaitLimitSeconds);
    LogWrite(kLogInfo, "Update now, asked by %s", server.caller().Describe().c_str());
    const int64_t start = deps_->clock->MonotonicMillis();
    StrategyStatus status;
    const bool ended = strategies->UpdateNow(wait_s * 1000, &status);
    response.set_tookms(deps_->clock->MonotonicMillis() - start);
    if (!ended) {
      response.set_errormessage("the pass did not end within " + std::to_string(wait_s) + " s");
      return;
    }
    response.set_success(true);
    response.set_result(status.result);
    response.set_servererror(status.error);
    response.set_listed(status.listed);
    response.set_installed(status.installed);
    response.set_failed(status.failed);
  }

 private:
  const std::shared_ptr<const OperatorDeps> deps_;
};

// "hold" and "unhold": one change of the stored holds, then a reload.
class HoldMethod : public CZEVRPCMethod<CZEVControlServer, CZEVHoldRequest, CZEVHoldResponse> {
 public:
  HoldMethod(std::shared_ptr<const OperatorDeps> deps, bool hold)
      : CZEVRPCMethod(hold ? "hold" : "unhold"), deps_(std::move(deps)), hold_(hold) {}
  void handle(CZEVControlServer& server, const CZEVHoldRequest& request, CZEVHoldResponse& response) override {
    const char* name = hold_ ? "hold" : "unhold";
    const std::string refused = Refusal(server.caller(), name);
    if (!refused.empty()) {
      response.set_errormessage(refused);
      return;
    }
    Hold hold{request.hold().appcode(), request.hold().componentid(), hold_ ? request.hold().version() : ""};
    if (hold.app.empty() || hold.component.empty()) {
      response.set_errormessage("an application code and a componentID are required");
      return;
    }
    if (hold_ && hold.version.empty()) {
      hold.version = LoadedVersion(deps_->loaded, hold.app, hold.component);
      if (hold.version.empty()) {
        response.set_errormessage("no version of " + hold.app + " " + hold.component + " is loaded: give one");
        return;
      }
    }
    std::vector<Hold> holds;
    {
      // One change at a time: read, change and write the value.
      MutexLock lock(&mu_);
      if (!ReadHolds(deps_->registry, &holds)) {
        response.set_errormessage("the holds cannot be read: " + RegLastError());
        return;
      }
      const Hold* held = FindHold(holds, hold.app, hold.component);
      // Unhold also clears the mark of a version rolled back, which may then
      // be started again.
      BadVersion bad;
      const bool cleared = !hold_ && ClearBadVersion(deps_->registry, hold.app, hold.component, &bad);
      if (cleared) {
        LogWrite(kLogInfo, "The bad mark on %s %s %s is cleared, by %s", hold.app.c_str(), hold.component.c_str(),
                 bad.version.c_str(), server.caller().Describe().c_str());
      }
      if (!hold_ && held == nullptr && !cleared) {
        response.set_errormessage("no hold on " + hold.app + " " + hold.component);
        return;
      }
      if (!hold_) {
        *response.mutable_hold() = held != nullptr ? ToMessage(*held) : ToMessage({hold.app, hold.component, bad.version});
      }
      if (SetHold(&holds, hold) && !WriteHolds(deps_->registry, holds)) {
        response.set_errormessage("the holds cannot be written: " + RegLastError());
        return;
      }
    }
    LogWrite(kLogInfo, "%s %s %s %s, by %s", name, hold.app.c_str(), hold.component.c_str(), hold.version.c_str(),
             server.caller().Describe().c_str());
    response.set_success(true);
    if (hold_) *response.mutable_hold() = ToMessage(hold);
    std::shared_ptr<CZEVStrategyManager> strategies = deps_->strategies ? deps_->strategies() : nullptr;
    if (strategies) strategies->HoldsChanged();
  }

 private:
  const std::shared_ptr<const OperatorDeps> deps_;
  const bool hold_;
  static Mutex mu_;
};

Mutex HoldMethod::mu_;

class ListHoldsMethod
    : public CZEVRPCMethod<CZEVControlServer, CZEVListHoldsRequest, CZEVListHoldsResponse> {
 public:
  explicit ListHoldsMethod(std::shared_ptr<const OperatorDeps> deps)
      : CZEVRPCMethod("listHolds"), deps_(std::move(deps)) {}
  void handle(CZEVControlServer&, const CZEVListHoldsRequest&, CZEVListHoldsResponse& response) override {
    std::vector<Hold> holds;
    if (!ReadHolds(deps_->registry, &holds)) {
      response.set_errormessage("the holds cannot be read: " + RegLastError());
      return;
    }
    for (const Hold& hold : holds) *response.add_holds() = ToMessage(hold);
    response.set_success(true);
  }

 private:
  const std::shared_ptr<const OperatorDeps> deps_;
};

}  // namespace

bool RegisterOperatorMethods(CZEVMethodRegistry* methods, OperatorDeps deps) {
  auto shared = std::make_shared<const OperatorDeps>(std::move(deps));
  bool ok = methods->registerMethod(std::make_unique<UpdateNowMethod>(shared), MethodEffect::kChangesState);
  ok = methods->registerMethod(std::make_unique<HoldMethod>(shared, true), MethodEffect::kChangesState) && ok;
  ok = methods->registerMethod(std::make_unique<HoldMethod>(shared, false), MethodEffect::kChangesState) && ok;
  return methods->registerMethod(std::make_unique<ListHoldsMethod>(shared)) && ok;
}

}  // namespace zev
