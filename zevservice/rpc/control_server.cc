#include "rpc/control_server.h"

#include <exception>
#include <iterator>
#include <utility>

#include "base/log.h"
#include "platform/text.h"
#include "rpc/component_peer.h"

namespace zev {

namespace {

const char kGetFailedText[] = "get ComponentContext failed.";
const char kNotFoundText[] = "not find component in process";

// The stored half of a registration from `info`.
void TakeHalf(PortInfoKind kind, const ComponentPortInfo& info, ComponentPortInfo* entry) {
  if (kind == PortInfoKind::kPort) {
    entry->port = info.port;
    entry->portTie = info.portTie;
  } else {
    entry->pipeName = info.pipeName;
    entry->pipeTie = info.pipeTie;
  }
}

// The entry point as a path below the install folder: "\" becomes "/";
// empty, absolute, NUL-holding and ".."-climbing entry points give false,
// since clients load what this answer names.
bool RelativeEntryPoint(const std::string& entry_point, std::string* relative) {
  std::string path = entry_point;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start == 2 && path.compare(start, 2, "..") == 0) return false;
    start = end + 1;
  }
  *relative = path;
  return true;
}

bool checkTime(const CZEVExecParams& params, Clock* clock) {
  const int64_t now = static_cast<int64_t>(clock->WallSeconds());
  const int64_t trigger = params.triggertime() / 1000;
  const int64_t expired = params.expiredtime() / 1000;
  if (trigger <= now && now <= expired) return true;
  LogWrite(kLogError, "checkTime false: curtime: %s, triggertime: %s, expiredtime: %s", std::to_string(now).c_str(),
           std::to_string(trigger).c_str(), std::to_string(expired).c_str());
  return false;
}

// Why a registration's texts cannot be stored, or empty when they can.
std::string CheckRegistrationTexts(const CZEVComponentContext& context, const std::string& pipe_name) {
  const size_t total =
      context.componentid().size() + context.appcode().size() + context.version().size() + pipe_name.size();
  if (total > kMaxRegistrationText) {
    return "registration too long (" + std::to_string(total) + " bytes; at most " +
           std::to_string(kMaxRegistrationText) + ")";
  }
  // Stored texts come back in answers, whose string fields must hold UTF-8
  // for clients to parse them.
  if (!IsValidUtf8(context.componentid()) || !IsValidUtf8(context.appcode()) || !IsValidUtf8(context.version()) ||
      !IsValidUtf8(pipe_name)) {
    return "registration texts must be UTF-8";
  }
  return std::string();
}

// The record a registration stores: the request's context without its
// manifest, which no answer reads and which would let one registration hold
// unbounded memory.
ComponentPortInfo RecordFrom(const CZEVComponentContext& context, int32_t port, const std::string& pipe_name) {
  ComponentPortInfo info;
  info.port = port;
  info.pipeName = pipe_name;
  info.context.set_appcode(context.appcode());
  info.context.set_componentid(context.componentid());
  info.context.set_version(context.version());
  return info;
}

struct RegisterOutcome {
  bool success = false;
  std::string errorMessage = "ok";
};

// The algorithm both registration methods share; `kind` tells which of them
// runs. rt_type: 0 register, 1 unregister. `port` and `pipe_name` are the
// request's.
RegisterOutcome Register(ControlServerState* state, const RpcCaller& caller, PortInfoKind kind, int rt_type,
                         const CZEVComponentContext& context, int32_t port, const std::string& pipe_name) {
  RegisterOutcome out;
  try {
    const std::string& id = context.componentid();
    if (id.empty()) {
      out.errorMessage = "componentID in ComponentContext is empty.";
      LogWrite(kLogError, "[ERROR]:componentID in PortRegisterRequest is empty.");
      return out;
    }
    if (rt_type == 0 || rt_type == 1) {
      std::string why;
      if (!MayChangeRegistration(caller, id, &why)) {
        out.errorMessage = "not allowed: " + why;
        LogWrite(kLogWarning, "Refused to %s %s of component %s for %s: %s", rt_type == 0 ? "register" : "withdraw",
                 kind == PortInfoKind::kPort ? "the port" : "the pipe name", id.c_str(), caller.Describe().c_str(),
                 why.c_str());
        return out;
      }
    }
    if (rt_type == 0) {
      std::string refusal;
      if (kind == PortInfoKind::kPort && (port <= 0 || port > 65535)) {
        refusal = "port out of range: " + std::to_string(port);
      } else if (kind == PortInfoKind::kPipeName && pipe_name.empty()) {
        refusal = "pipeName in request is empty.";
      } else {
        refusal = CheckRegistrationTexts(context, kind == PortInfoKind::kPipeName ? pipe_name : "");
      }
      if (!refusal.empty()) {
        out.errorMessage = refusal;
        LogWrite(kLogError, "[ERROR]:%s", refusal.c_str());
        return out;
      }
      ComponentPortInfo info =
          kind == PortInfoKind::kPort ? RecordFrom(context, port, "") : RecordFrom(context, 0, pipe_name);
      if (!caller.Privileged()) info.owner = caller.Uid();
      uint64_t tie = 0;
      std::string error;
      if (!TieRegistration(caller, &state->leaders, &tie, &error)) {
        out.errorMessage = error;
        LogWrite(kLogWarning, "Did not register component %s for %s: %s", id.c_str(), caller.Describe().c_str(),
                 error.c_str());
        return out;
      }
      (kind == PortInfoKind::kPort ? info.portTie : info.pipeTie) = tie;
      out.success = state->store.registerComponentPortInfo(id, kind, info, &error);
      if (!out.success) {
        out.errorMessage = error;
        LogWrite(kLogWarning, "Refused to register component %s for %s: %s", id.c_str(), caller.Describe().c_str(),
                 error.c_str());
      } else if (tie != 0 && !state->leaders.Watching(tie)) {
        // The group's leader ended before the registration was stored: its
        // watch may have fired too early to find it.
        state->store.withdrawTied(tie);
        out.success = false;
        out.errorMessage = "the calling component's process has ended";
        LogWrite(kLogInfo, "Did not keep the registration of component %s for %s: %s", id.c_str(),
                 caller.Describe().c_str(), out.errorMessage.c_str());
        return out;
      }
      if (kind == PortInfoKind::kPort) {
        LogWrite(kLogInfo, "registerPort: componentID:%s, Port:%d ", id.c_str(), port);
      } else {
        LogWrite(kLogInfo, "Register Pipe: componentID:%s, pipeName:%s ", id.c_str(), pipe_name.c_str());
      }
    } else if (rt_type == 1) {
      // A withdrawal of an id that never registered answers false with "ok".
      // A port withdrawal naming port 0, or a pipe withdrawal naming no pipe,
      // withdraws both halves: components withdraw everything that way.
      out.success = state->store.removeComponentPortInfo(
          id, kind == PortInfoKind::kPort ? RecordFrom(context, port, "") : RecordFrom(context, 0, pipe_name));
      if (kind == PortInfoKind::kPort) {
        LogWrite(kLogInfo, "UnregisterPort: componentID:%s", id.c_str());
      } else {
        LogWrite(kLogInfo, "UnRegister Pipe: componentID:%s", id.c_str());
      }
    } else {
      out.errorMessage = "do not find rtType: " + std::to_string(rt_type);
      LogWrite(kLogError, "[ERROR]:do not find rtType:%d", rt_type);
    }
  } catch (const std::exception& e) {
    out.success = false;
    out.errorMessage = e.what();
    LogWrite(kLogError, "[ERROR]:registerPort: catch error: %s", e.what());
  } catch (...) {
    out.success = false;
    out.errorMessage = "unknown error";
    LogWrite(kLogError, "[ERROR]:registerPort: catch error: %s", "unknown error");
  }
  return out;
}

}  // namespace

bool CZEVComponentPortStore::getComponentPortInfo(const std::string& componentID, ComponentPortInfo* info,
                                                  std::string* error) const {
  try {
    MutexLock lock(&mu_);
    auto it = entries_.find(componentID);
    if (it == entries_.end()) {
      *error = kGetFailedText;
      LogWrite(kLogError, "getComponentData: get ComponentContext failed.");
      return false;
    }
    *info = it->second;
    return true;
  } catch (const std::exception& e) {
    LogWrite(kLogInfo, "getComponentPortInfo failed:%s", e.what());
    return false;
  }
}

bool CZEVComponentPortStore::hasComponentPortInfo(const std::string& componentID) const {
  MutexLock lock(&mu_);
  return entries_.count(componentID) != 0;
}

ComponentPortInfo* CZEVComponentPortStore::FindOrCreateLocked(const std::string& componentID,
                                                              const ComponentPortInfo& info, bool* created,
                                                              std::string* error) {
  *created = false;
  auto it = entries_.find(componentID);
  if (it != entries_.end()) return &it->second;
  if (entries_.size() >= capacity_) {
    if (error != nullptr) *error = CapacityErrorText();
    return nullptr;
  }
  auto held = info.owner ? held_.find(*info.owner) : held_.end();
  if (held != held_.end() && held->second >= kMaxPerOwner) {
    if (error != nullptr) {
      *error = "uid " + std::to_string(*info.owner) + " holds " + std::to_string(kMaxPerOwner) +
               " registered components, its limit";
    }
    return nullptr;
  }
  *created = true;
  if (info.owner) ++held_[*info.owner];
  return &entries_.emplace(componentID, info).first->second;
}

void CZEVComponentPortStore::EraseLocked(std::map<std::string, ComponentPortInfo>::iterator it) {
  if (it->second.owner) {
    auto held = held_.find(*it->second.owner);
    if (held != held_.end() && --held->second == 0) held_.erase(held);
  }
  entries_.erase(it);
}

size_t CZEVComponentPortStore::heldBy(uid_t owner) const {
  MutexLock lock(&mu_);
  auto it = held_.find(owner);
  return it == held_.end() ? 0 : it->second;
}

std::string CZEVComponentPortStore::CapacityErrorText() const {
  return "too many registered components (" + std::to_string(capacity_) + ")";
}

bool CZEVComponentPortStore::setComponentPortInfo(const std::string& componentID, const ComponentPortInfo& info,
                                                  std::string* error) {
  MutexLock lock(&mu_);
  bool created = false;
  ComponentPortInfo* entry = FindOrCreateLocked(componentID, info, &created, error);
  if (entry == nullptr) return false;
  if (!created) {
    // The entry keeps counting against whoever created it.
    std::optional<uid_t> owner = entry->owner;
    *entry = info;
    entry->owner = owner;
  }
  return true;
}

bool CZEVComponentPortStore::upSertComponentPortInfo(const std::string& componentID, PortInfoKind kind,
                                                     const ComponentPortInfo& info, std::string* error) {
  try {
    MutexLock lock(&mu_);
    bool created = false;
    ComponentPortInfo fresh;
    fresh.owner = info.owner;
    ComponentPortInfo* entry = FindOrCreateLocked(componentID, fresh, &created, error);
    if (entry == nullptr) return false;
    TakeHalf(kind, info, entry);
    return true;
  } catch (...) {
    return false;
  }
}

bool CZEVComponentPortStore::registerComponentPortInfo(const std::string& componentID, PortInfoKind kind,
                                                       const ComponentPortInfo& info, std::string* error) {
  MutexLock lock(&mu_);
  bool created = false;
  ComponentPortInfo* entry = FindOrCreateLocked(componentID, info, &created, error);
  if (entry == nullptr) return false;
  if (!created) TakeHalf(kind, info, entry);
  return true;
}

bool CZEVComponentPortStore::removeComponentPortInfo(const std::string& componentID,
                                                     const ComponentPortInfo& withdrawn) {
  try {
    MutexLock lock(&mu_);
    auto it = entries_.find(componentID);
    if (it == entries_.end()) return false;
    if (withdrawn.pipeName.empty()) {
      it->second.port = 0;
      it->second.portTie = 0;
    }
    if (withdrawn.port == 0) {
      it->second.pipeName.clear();
      it->second.pipeTie = 0;
    }
    if (it->second.port == 0 && it->second.pipeName.empty()) EraseLocked(it);
    return true;
  } catch (const std::exception& e) {
    LogWrite(kLogInfo, "removeComponentPortInfo failed:%s", e.what());
    return false;
  }
}

size_t CZEVComponentPortStore::withdrawTied(uint64_t tie, std::vector<std::string>* ids) {
  if (tie == 0) return 0;
  MutexLock lock(&mu_);
  size_t withdrawn = 0;
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto next = std::next(it);
    ComponentPortInfo& entry = it->second;
    const size_t before = withdrawn;
    if (entry.portTie == tie) {
      entry.port = 0;
      entry.portTie = 0;
      ++withdrawn;
    }
    if (entry.pipeTie == tie) {
      entry.pipeName.clear();
      entry.pipeTie = 0;
      ++withdrawn;
    }
    if (withdrawn != before && ids != nullptr) ids->push_back(it->first);
    if (entry.port == 0 && entry.pipeName.empty()) EraseLocked(it);
    it = next;
  }
  return withdrawn;
}

size_t CZEVComponentPortStore::size() const {
  MutexLock lock(&mu_);
  return entries_.size();
}

bool findMainEntryPoint(const LoadedComponentsSource& loaded, Clock* clock, const std::string& componentID,
                        int32_t bits, std::string* data) {
  *data = kNotFoundText;
  LogWrite(kLogInfo, "find rpc cmpntId in process,bits:%d, cmpntId: %s", bits, componentID.c_str());
  // The snapshot is immutable and shared: holding it is the copy.
  LoadedComponentsSnapshot snapshot = loaded ? loaded() : nullptr;
  if (snapshot == nullptr) return false;
  for (const auto& item : *snapshot) {
    const CZEVComponentProxy& entry = item.second;
    CZEVManifest manifest;
    if (!entry.GetManifest(&manifest)) {
      // One entry without a version must not hide the entries after it.
      LogWrite(kLogWarning, "%s getManifest error", entry.GetComponentID().c_str());
      continue;
    }
    if (manifest.loadmode() != lmInnerComponent || entry.GetComponentID() != componentID ||
        entry.GetBits() != bits) {
      continue;
    }
    std::string error;
    if (entry.CheckInstalledFiles(&error) != 0) {
      LogWrite(kLogError, "Hash check failed ,%s", error.c_str());
      continue;
    }
    if (!checkTime(manifest.params(), clock)) continue;
    std::string relative;
    if (!RelativeEntryPoint(manifest.entrypoint(), &relative)) {
      LogWrite(kLogError, "%s: entry point '%s' is not a path inside the component", componentID.c_str(),
               manifest.entrypoint().c_str());
      continue;
    }
    *data = entry.GetInstallDir() + "/" + relative;
    LogWrite(kLogInfo, "find component in process,bits:%d, path: %s", bits, data->c_str());
    return true;
  }
  return false;
}

void CZEVControlServergetComponentData::handle(CZEVControlServer& /*server*/,
                                               const CZEVGetComponentDataRequest& request,
                                               CZEVGetComponentDataResponse& response) {
  std::string data;
  bool success = false;
  try {
    const std::string& id = request.componentid();
    const int32_t bits = request.bits();
    const int data_type = request.datatype();
    if (id.empty()) {
      data = "componentID in request is empty.";
      LogWrite(kLogError, "[ERROR]:%s", data.c_str());
    } else if (bits != 32 && bits != 64) {
      data = "component bits error: " + std::to_string(bits);
      LogWrite(kLogError, "[ERROR]:%s", data.c_str());
    } else if (data_type == qMainEntryPoint) {
      success = findMainEntryPoint(state_->loaded, state_->clock, id, bits, &data);
    } else {
      ComponentPortInfo info;
      std::string error;
      if (!state_->store.getComponentPortInfo(id, &info, &error)) {
        data = error;
        LogWrite(kLogError, "[ERROR]:%s.", data.c_str());
      } else {
        success = true;
        switch (data_type) {
          case qPort:
            data = std::to_string(info.port);
            LogWrite(kLogInfo, "getComponentData: componentID:%s, Port:%s ", id.c_str(), data.c_str());
            break;
          case qVersion:
            data = info.context.version();
            LogWrite(kLogInfo, "getComponentData: componentID:%s, Version:%s ", id.c_str(), data.c_str());
            break;
          case qDesc:
            data = "port:" + std::to_string(info.port) + "\nversion:" + info.context.version();
            LogWrite(kLogInfo, "getComponentData: componentID:%s, Desc:%s ", id.c_str(), data.c_str());
            break;
          case qPipeName:
            data = info.pipeName;
            LogWrite(kLogInfo, "getComponentData: componentID:%s, pipeName:%s ", id.c_str(), data.c_str());
            break;
          default:
            success = false;
            data = "Undefined dataType: " + std::to_string(data_type);
            LogWrite(kLogInfo, "getComponentData: componentID:%s, failed:%s ", id.c_str(), data.c_str());
            break;
        }
      }
    }
  } catch (const std::exception& e) {
    success = false;
    data = e.what();
    LogWrite(kLogError, "[ERROR]:getComponentData catch error: %s.", e.what());
  } catch (...) {
    success = false;
    data = "unknown error";
    LogWrite(kLogError, "[ERROR]:getComponentData catch error: %s.", data.c_str());
  }
  response.set_data(data);
  response.set_success(success);
}

bool CZEVControlServergetComponentData::isQuick(const std::string& request) const {
  CZEVGetComponentDataRequest parsed;
  (void)parsed.ParseFromString(request);  // as handle reads it
  return parsed.datatype() != qMainEntryPoint;
}

ControlServerState::ControlServerState(LoadedComponentsSource source, Clock* c, size_t capacity)
    : store(capacity), loaded(std::move(source)), clock(c), leaders([this](uint64_t watch) {
        std::vector<std::string> ids;
        if (store.withdrawTied(watch, &ids) == 0) return;
        std::string list;
        for (const std::string& id : ids) list += (list.empty() ? "" : ", ") + id;
        LogWrite(kLogInfo, "A component's process ended: withdrew the registrations it made for %s", list.c_str());
      }) {}

bool TieRegistration(const RpcCaller& caller, ProcessEndWatch* leaders, uint64_t* tie, std::string* why) {
  *tie = 0;
  if (caller.via != RpcCaller::Via::kSocket || caller.pid <= 0 || !caller.component_hosts) return true;
  pid_t leader = 0;
  int pidfd = -1;
  switch (TieToComponentGroup(caller.pid, caller.component_hosts(), &leader, &pidfd)) {
    case GroupTie::kNone:
      return true;
    case GroupTie::kEnded:
      *why = "the calling process or its component has ended";
      return false;
    case GroupTie::kLeader:
      *tie = leaders->Watch(leader, pidfd);
      if (*tie != 0) return true;
      *why = "cannot watch the component's process " + std::to_string(leader);
      return false;
  }
  return true;
}

bool MayChangeRegistration(const RpcCaller& caller, const std::string& id, std::string* why) {
  if (caller.Privileged()) return true;
  std::optional<uid_t> uid = caller.Uid();
  if (!uid) {
    *why = caller.via == RpcCaller::Via::kHttp
               ? "the caller's user is not known: only loopback peers may change registrations over HTTP"
               : "the caller's user is not known";
    return false;
  }
  if (caller.pid > 0 && caller.component_check && caller.component_check(caller.pid, id)) return true;
  *why = "uid " + std::to_string(*uid) + " is neither root nor a process of component " + id;
  return false;
}

void CZEVControlServerregisterPort::handle(CZEVControlServer& server, const CZEVRegisterPortRequest& request,
                                           CZEVRegisterPortResponse& response) {
  RegisterOutcome out = Register(state_.get(), server.caller(), PortInfoKind::kPort, request.rttype(),
                                 request.context(), request.port(), "");
  response.set_rttype(request.rttype());
  response.set_success(out.success);
  response.set_errormessage(out.errorMessage);
}

void CZEVControlServerregisterPipeName::handle(CZEVControlServer& server, const CZEVRegisterPipeRequest& request,
                                               CZEVRegisterPipeResponse& response) {
  RegisterOutcome out =
      Register(state_.get(), server.caller(), PortInfoKind::kPipeName, request.rttype(), request.context(), 0,
               request.pipename());
  response.set_rttype(request.rttype());
  response.set_success(out.success);
  response.set_errormessage(out.errorMessage);
}

bool RegisterControlMethods(CZEVMethodRegistry* methods, LoadedComponentsSource loaded, Clock* clock,
                            size_t capacity) {
  if (methods == nullptr) return false;
  auto state = std::make_shared<ControlServerState>(std::move(loaded), clock, capacity);
  bool ok = methods->registerMethod(std::make_unique<CZEVControlServergetComponentData>(state));
  ok = methods->registerMethod(std::make_unique<CZEVControlServerregisterPort>(state), MethodEffect::kChangesState) &&
       ok;
  ok = methods->registerMethod(std::make_unique<CZEVControlServerregisterPipeName>(state),
                               MethodEffect::kChangesState) &&
       ok;
  return ok;
}

}  // namespace zev
