// The control server: where components announce the TCP port or the pipe
// name they serve on ("registerPort", "registerPipeName"), and where clients
// ask for a component's port, pipe name, version, a short description or the
// path of its main entry point ("getComponentData").
//
// Registrations live in a CZEVComponentPortStore that the three executors
// share; main entry points are looked up in the component manager's latest
// loaded-components snapshot. Both are handed to RegisterControlMethods by
// the composition root.
#ifndef ZEV_RPC_CONTROL_SERVER_H_
#define ZEV_RPC_CONTROL_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "common/zevclasses/ZEVControlIntfs.pb.h"
#include "contract/names.h"
#include "model/loaded_components.h"
#include "platform/process_end_watch.h"
#include "rpc/rpc_method.h"

namespace zev {

// kControlServerId is in contract/names.h.

// One component's registration.
struct ComponentPortInfo {
  int32_t port = 0;      // 0: no port registered
  std::string pipeName;  // empty: no pipe name registered
  // The context of the registration that created the entry (appCode,
  // componentID, version; the manifest is not kept).
  CZEVComponentContext context;
  // The user the entry counts against: the one that created it, unless that
  // was root or the service's own user (unset).
  std::optional<uid_t> owner;
  // The process watch each half is tied to (0: none): a half that a process
  // of a component's process group registered goes when the group's leader
  // ends. A registration of the half by anyone else unties it.
  uint64_t portTie = 0;
  uint64_t pipeTie = 0;
};

// Which half of a registration an update or a withdrawal touches.
enum class PortInfoKind { kPort, kPipeName };

// componentID (compared exactly) -> registration, for at most `capacity`
// components, of which one owner (ComponentPortInfo::owner) may hold at most
// kMaxPerOwner. Every operation holds the store's mutex for its whole run, so
// none of them can interleave with another; safe from any thread.
class CZEVComponentPortStore {
 public:
  static constexpr size_t kDefaultCapacity = 4096;
  static constexpr size_t kMaxPerOwner = 64;

  explicit CZEVComponentPortStore(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
  CZEVComponentPortStore(const CZEVComponentPortStore&) = delete;
  CZEVComponentPortStore& operator=(const CZEVComponentPortStore&) = delete;

  // Copies the registration of `componentID` into *info. Absent: false with
  // *error = "get ComponentContext failed." (logged at level 3).
  bool getComponentPortInfo(const std::string& componentID, ComponentPortInfo* info, std::string* error) const;
  bool hasComponentPortInfo(const std::string& componentID) const;
  // Stores the whole record, creating the entry when absent. False, with
  // the cap text in *error (when given), for a new id while the store is
  // full or its owner holds kMaxPerOwner ids.
  bool setComponentPortInfo(const std::string& componentID, const ComponentPortInfo& info,
                            std::string* error = nullptr);
  // Sets the port (kPort) or the pipe name (kPipeName) of the entry from
  // `info`, creating an entry with an empty context when absent; the other
  // half and the stored context are left alone. False as
  // setComponentPortInfo for a new id beyond the cap, and on any exception.
  bool upSertComponentPortInfo(const std::string& componentID, PortInfoKind kind, const ComponentPortInfo& info,
                               std::string* error = nullptr);
  // A registration in one step: a new id stores the whole record (subject
  // to the cap), a known id takes only the half that `kind` names, as
  // upSertComponentPortInfo does. Concurrent registrations of both halves
  // of a new id therefore both land.
  bool registerComponentPortInfo(const std::string& componentID, PortInfoKind kind, const ComponentPortInfo& info,
                                 std::string* error = nullptr);
  // Withdraws what `withdrawn` (the record a withdrawal request makes)
  // does not name: a record without a pipe name clears the port, one with
  // port 0 clears the pipe name, so a record naming neither clears both. The
  // entry is erased once neither is left. True when the entry existed.
  bool removeComponentPortInfo(const std::string& componentID, const ComponentPortInfo& withdrawn);
  // Withdraws every half tied to `tie` (not 0), erasing entries left with
  // neither; the ids it touched go to *ids when given. How many halves went.
  size_t withdrawTied(uint64_t tie, std::vector<std::string>* ids = nullptr);

  size_t size() const;
  size_t capacity() const { return capacity_; }
  // How many entries count against `owner`.
  size_t heldBy(uid_t owner) const;
  // "too many registered components (<capacity>)"
  std::string CapacityErrorText() const;

 private:
  // The entry of `componentID`, created with `info` when absent and there is
  // room; null otherwise, with the reason in *error when given (*created
  // tells which). Called with mu_ held.
  ComponentPortInfo* FindOrCreateLocked(const std::string& componentID, const ComponentPortInfo& info,
                                        bool* created, std::string* error) REQUIRES(mu_);
  void EraseLocked(std::map<std::string, ComponentPortInfo>::iterator it) REQUIRES(mu_);

  const size_t capacity_;
  mutable Mutex mu_;
  std::map<std::string, ComponentPortInfo> entries_ GUARDED_BY(mu_);
  std::map<uid_t, size_t> held_ GUARDED_BY(mu_);  // owners with entries only
};

class CZEVControlServer : public CZEVRPCServer {
 public:
  using CZEVRPCServer::CZEVRPCServer;
  std::string getServerId() const override { return kControlServerId; }
};

// What the control methods work on, shared by the three executors of one
// registry. Read-only after construction apart from the store and the
// watch, which lock for themselves.
struct ControlServerState {
  CZEVComponentPortStore store;
  LoadedComponentsSource loaded;  // may be empty: nothing is loaded
  Clock* clock;                   // not owned; outlives the executors
  // The leaders of the component groups whose registrations are tied to
  // them; an ending withdraws what is tied to it. Ends before the store.
  ProcessEndWatch leaders;

  ControlServerState(LoadedComponentsSource source, Clock* c, size_t capacity);
};

class CZEVControlServergetComponentData
    : public CZEVRPCMethod<CZEVControlServer, CZEVGetComponentDataRequest, CZEVGetComponentDataResponse> {
 public:
  explicit CZEVControlServergetComponentData(std::shared_ptr<ControlServerState> state)
      : CZEVRPCMethod("getComponentData"), state_(std::move(state)) {}
  void handle(CZEVControlServer& server, const CZEVGetComponentDataRequest& request,
              CZEVGetComponentDataResponse& response) override;
  // Every question but the main entry point's, which checks the component's
  // files, is answered from memory.
  bool isQuick(const std::string& request) const override;

 private:
  const std::shared_ptr<ControlServerState> state_;
};

class CZEVControlServerregisterPort
    : public CZEVRPCMethod<CZEVControlServer, CZEVRegisterPortRequest, CZEVRegisterPortResponse> {
 public:
  explicit CZEVControlServerregisterPort(std::shared_ptr<ControlServerState> state)
      : CZEVRPCMethod("registerPort"), state_(std::move(state)) {}
  void handle(CZEVControlServer& server, const CZEVRegisterPortRequest& request,
              CZEVRegisterPortResponse& response) override;

 private:
  const std::shared_ptr<ControlServerState> state_;
};

class CZEVControlServerregisterPipeName
    : public CZEVRPCMethod<CZEVControlServer, CZEVRegisterPipeRequest, CZEVRegisterPipeResponse> {
 public:
  explicit CZEVControlServerregisterPipeName(std::shared_ptr<ControlServerState> state)
      : CZEVRPCMethod("registerPipeName"), state_(std::move(state)) {}
  void handle(CZEVControlServer& server, const CZEVRegisterPipeRequest& request,
              CZEVRegisterPipeResponse& response) override;

 private:
  const std::shared_ptr<ControlServerState> state_;
};

// Largest sum of the bytes of componentID, appCode, version and pipeName
// that one registration may store.
constexpr size_t kMaxRegistrationText = 4096;

// The main entry point of the first loaded inner component `componentID`
// of `bits` (32 or 64) whose files are intact and whose validity window
// holds the clock's time: install folder + "/" + the manifest's entryPoint.
// False with "not find component in process" when there is none. Entries
// without a version, and entry points that are absolute or climb with "..",
// are passed over.
bool findMainEntryPoint(const LoadedComponentsSource& loaded, Clock* clock, const std::string& componentID,
                        int32_t bits, std::string* data);

// What a registration by `caller` is tied to: over the socket, a process of
// a component's process group (its leader a child of one of the caller's
// component hosts) ties it to the group's leader, whose watch in `leaders`
// comes back in *tie; everyone else, and every call over HTTP or made
// inside the service, ties nothing (*tie 0). False when the registration
// must not be kept: the caller or its component group has ended, or the
// leader cannot be watched (*why tells).
bool TieRegistration(const RpcCaller& caller, ProcessEndWatch* leaders, uint64_t* tie, std::string* why);

// Whether `caller` may register or withdraw the registrations of `id`: root,
// the service's own user, and a process of the component's own process group
// (as the caller's component check tells) may. False with the reason in
// *why.
bool MayChangeRegistration(const RpcCaller& caller, const std::string& id, std::string* why);

// Registers "getComponentData", "registerPort" and "registerPipeName" (the
// latter two as changing state) in `methods`, sharing one new port store of
// `capacity` components. `loaded`
// answers the component manager's latest snapshot; `clock` (not owned) must
// outlive `methods`. False when `methods` is null or a method was taken.
bool RegisterControlMethods(CZEVMethodRegistry* methods, LoadedComponentsSource loaded,
                            Clock* clock, size_t capacity = CZEVComponentPortStore::kDefaultCapacity);

}  // namespace zev

#endif  // ZEV_RPC_CONTROL_SERVER_H_
