#include "bus/rpc_term.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "bus/envelope.h"
#include "bus/msg_pack.h"
#include "bus/runtime_log.h"
#include "platform/paths.h"
#include "xson/xsonv.h"

namespace pubsdk {

namespace {

constexpr char kLibraryName[] = "libzevrpc.so";

// Texts of the name exchange carry their terminating NUL in the length.
std::string MessageText(const uint8_t* data, uint32_t length) {
  std::string text(reinterpret_cast<const char*>(data), length);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

}  // namespace

CProcRpcHelp::CProcRpcHelp(std::string path) : path_(std::move(path)) {}

CProcRpcHelp::~CProcRpcHelp() { Release(); }

int CProcRpcHelp::Load() {
  if (handle_ != nullptr) return load_result_;
  std::string path = path_.empty() ? zev::JoinPath(zev::GetModuleDir(), kLibraryName) : path_;
  // dlopen counts references, so a library that is already in the process
  // is simply opened once more and owned like any other.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error_ = why ? why : path + ": cannot be loaded";
    load_result_ = -1;
    return load_result_;
  }
  flags_ = 2;
  struct Export {
    const char* name;
    void** slot;
  };
  const Export exports[] = {
      {"PUB_InitializeCallCenter", reinterpret_cast<void**>(&initialize_)},
      {"PUB_UninitializeCallCenter", reinterpret_cast<void**>(&uninitialize_)},
      {"PUB_AllocateCallCenter", reinterpret_cast<void**>(&allocate_)},
      {"PUB_FreeCallCenter", reinterpret_cast<void**>(&free_)},
      {"PUB_ShutDown", reinterpret_cast<void**>(&shut_down_)},
  };
  load_result_ = 0;
  for (const Export& e : exports) {
    *e.slot = dlsym(handle_, e.name);
    if (*e.slot == nullptr) {
      error_ = path + ": no export " + e.name;
      load_result_ = 1;
      break;
    }
  }
  return load_result_;
}

void CProcRpcHelp::Release() {
  if (handle_ != nullptr && flags_ == 2) dlclose(handle_);
  handle_ = nullptr;
  initialize_ = nullptr;
  uninitialize_ = nullptr;
  allocate_ = nullptr;
  free_ = nullptr;
  shut_down_ = nullptr;
  load_result_ = -1;
}

void* CProcRpcHelp::Detach() {
  void* handle = handle_;
  flags_ = 0;
  Release();
  return handle;
}

CRpcTermHelper::CRpcTermHelper() = default;

CRpcTermHelper::~CRpcTermHelper() {
  Uninit();
  if (receiver_) receiver_->Release();
  if (second_receiver_) second_receiver_->Release();
}

void CRpcTermHelper::SetLibraryPath(const std::string& path) {
  zev::MutexLock lock(&mu_);
  module_.SetPath(path);
}

void CRpcTermHelper::SetDataDir(const std::string& dir) {
  zev::MutexLock lock(&mu_);
  data_dir_ = dir;
}

HRESULT CRpcTermHelper::QueryInterface(const GUID& iid, void** out) {
  if (out == nullptr) return kE_POINTER;
  if (iid == IID_IUnknown || iid == IID_IRpcTerm || iid == IID_IRpcTermEx) {
    *out = static_cast<IRpcTermEx*>(this);
  } else if (iid == IID_IMessageCallBack) {
    *out = static_cast<IMessageCallBack*>(this);
  } else if (iid == IID_IPUBPlugin) {
    *out = static_cast<IPUBPlugin*>(this);
  } else if (iid == IID_IPUBPluginRun) {
    *out = static_cast<IPUBPluginRun*>(this);
  } else {
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  AddRefImpl();
  return kS_OK;
}

HRESULT CRpcTermHelper::SetReceiver(IReceiver* receiver) {
  if (receiver == nullptr) return kE_FAIL;
  receiver->AddRef();
  IReceiver* old;
  {
    zev::MutexLock lock(&mu_);
    old = receiver_;
    receiver_ = receiver;
  }
  if (old) old->Release();
  return kS_OK;
}

HRESULT CRpcTermHelper::SetSecondReceiver(IUnknownBase* receiver) {
  if (receiver == nullptr) return kE_FAIL;
  void* queried = nullptr;
  if (receiver->QueryInterface(IID_IMsgReceiver, &queried) < 0 || queried == nullptr) return kE_FAIL;
  IMsgReceiver* old;
  {
    zev::MutexLock lock(&mu_);
    old = second_receiver_;
    second_receiver_ = static_cast<IMsgReceiver*>(queried);
  }
  if (old) old->Release();
  return kS_OK;
}

HRESULT CRpcTermHelper::Send(uint32_t destination, uint32_t word_a, uint32_t word_b, const void* data,
                             uint32_t length) {
  std::shared_lock<std::shared_mutex> lock(endpoint_mu_);
  if (endpoint_ == nullptr) return kE_FAIL;
  HRESULT hr = endpoint_->Send(destination, word_a, word_b, data, length, kSendTimeoutMs);
  return hr >= 0 ? kS_OK : kE_FAIL;
}

HRESULT CRpcTermHelper::SendToAll(uint32_t word_a, uint32_t word_b, const void* data, uint32_t length) {
  if (RefreshNodes() < 0) return kE_FAIL;
  std::vector<uint32_t> ids;
  {
    zev::MutexLock lock(&mu_);
    for (const auto& node : nodes_) ids.push_back(node.first);
  }
  HRESULT result = kS_OK;
  for (uint32_t id : ids) {
    if (Send(id, word_a, word_b, data, length) != kS_OK) result = kE_FAIL;
  }
  return result;
}

HRESULT CRpcTermHelper::RefreshNodes() {
  std::map<uint32_t, BusNodeRecord> fresh;
  {
    std::shared_lock<std::shared_mutex> lock(endpoint_mu_);
    if (endpoint_ == nullptr) return kE_FAIL;
    uint64_t cursor = 0;
    if (endpoint_->BeginNodes(&cursor) >= 0) {
      for (;;) {
        BusNodeRecord record;
        std::memset(&record, 0, sizeof(record));
        if (endpoint_->GetNode(cursor, &record) != 0) break;
        fresh[record.node_id] = record;
        if (endpoint_->NextNode(&cursor) != 0) break;
      }
    }
  }
  // The table holds the live nodes only: a host that died and came back
  // under a new id must not leave its old id behind.
  zev::MutexLock lock(&mu_);
  nodes_.swap(fresh);
  return kS_OK;
}

HRESULT CRpcTermHelper::BeginNodeIteration() {
  zev::MutexLock lock(&mu_);
  iteration_.clear();
  for (const auto& node : nodes_) iteration_.push_back(node.first);
  iteration_next_ = 0;
  return kS_OK;
}

HRESULT CRpcTermHelper::NextNodeId(uint32_t* node_id) {
  zev::MutexLock lock(&mu_);
  if (node_id == nullptr || iteration_next_ >= iteration_.size()) return kE_FAIL;
  *node_id = iteration_[iteration_next_++];
  return kS_OK;
}

HRESULT CRpcTermHelper::GetNodeRecord(uint32_t node_id, BusNodeRecord* record) {
  zev::MutexLock lock(&mu_);
  auto it = nodes_.find(node_id);
  if (record == nullptr || it == nodes_.end()) return kE_FAIL;
  *record = it->second;
  return kS_OK;
}

HRESULT CRpcTermHelper::GetNodeIdByName(const char* name, uint32_t* node_id) {
  zev::MutexLock lock(&mu_);
  if (name == nullptr || node_id == nullptr) return kE_FAIL;
  auto it = id_by_name_.find(name);
  if (it == id_by_name_.end()) return kE_FAIL;
  *node_id = it->second;
  return kS_OK;
}

HRESULT CRpcTermHelper::GetNameByNodeId(uint32_t node_id, std::string* name) {
  zev::MutexLock lock(&mu_);
  auto it = name_by_id_.find(node_id);
  if (name == nullptr || it == name_by_id_.end()) return kE_FAIL;
  *name = it->second;
  return kS_OK;
}

bool CRpcTermHelper::HasNameForNodeId(uint32_t node_id) {
  zev::MutexLock lock(&mu_);
  return name_by_id_.count(node_id) != 0;
}

bool CRpcTermHelper::HasNodeIdForName(const char* name) {
  zev::MutexLock lock(&mu_);
  return name != nullptr && id_by_name_.count(name) != 0;
}

HRESULT CRpcTermHelper::RefreshAndAskNames() {
  if (RefreshNodes() < 0) return kE_FAIL;
  std::vector<uint32_t> unnamed;
  {
    zev::MutexLock lock(&mu_);
    for (const auto& node : nodes_) {
      if (name_by_id_.count(node.first) == 0) unnamed.push_back(node.first);
    }
  }
  for (uint32_t id : unnamed) SendNameMessage(id, "get_client_info");
  return kS_OK;
}

HRESULT CRpcTermHelper::SendNameMessage(uint32_t destination, const char* msgtype) {
  std::string text;
  {
    zev::MutexLock lock(&mu_);
    text = BuildNameMessage(msgtype, node_id_, node_name_);
  }
  return Send(destination, kChannel, kMessageNumber, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

HRESULT CRpcTermHelper::SetNodeName(const char* name) {
  if (name == nullptr) return kE_FAIL;
  zev::MutexLock lock(&mu_);
  node_name_ = name;
  return kS_OK;
}

HRESULT CRpcTermHelper::SetNodeId(uint32_t node_id) {
  zev::MutexLock lock(&mu_);
  node_id_ = node_id;
  return kS_OK;
}

HRESULT CRpcTermHelper::SetServiceId(uint32_t service_id) {
  zev::MutexLock lock(&mu_);
  service_id_ = service_id;
  return kS_OK;
}

HRESULT CRpcTermHelper::SetCallCenterName(const char* name) {
  if (name == nullptr) return kE_FAIL;
  zev::MutexLock lock(&mu_);
  call_center_name_ = name;
  return kS_OK;
}

void CRpcTermHelper::RecordName(uint32_t node_id, const std::string& name) {
  zev::MutexLock lock(&mu_);
  auto old = name_by_id_.find(node_id);
  if (old != name_by_id_.end() && old->second != name) id_by_name_.erase(old->second);
  name_by_id_[node_id] = name;
  id_by_name_[name] = node_id;
}

HRESULT CRpcTermHelper::OnMessage(IBusMessage* message) {
  BusMessageHeader header;
  std::memset(&header, 0, sizeof(header));
  if (message == nullptr || message->GetHeader(&header) < 0) return kE_FAIL;
  if (header.data == nullptr || header.length == 0) return kS_OK;

  {
    CSinkDbgDirect sink;
    sink.Write("%.*s", static_cast<int>(std::min<uint32_t>(header.length, 10239)),
               reinterpret_cast<const char*>(header.data));
  }
  std::string text = MessageText(header.data, header.length);

  IMsgReceiver* second = nullptr;
  {
    zev::MutexLock lock(&mu_);
    if (second_receiver_) {
      second = second_receiver_;
      second->AddRef();
    }
  }
  if (second) {
    CMsgPack* pack = new CMsgPack(text.c_str());
    second->OnMessage(pack);
    pack->Release();
    second->Release();
    return kS_OK;
  }

  xson::xsonv_t object;
  if (!object.from_json(text) || object.type() != xson::vtObject) return kS_OK;
  std::string msgtype, clientname;
  int64_t clientid = 0;
  {
    xson::xsonv_t member;
    if (object.object()->Get("msgtype", member.get()) && member.type() == xson::vtString8) msgtype = member.string();
  }
  {
    xson::xsonv_t member;
    if (object.object()->Get("clientname", member.get()) && member.type() == xson::vtString8) {
      clientname = member.string();
    }
  }
  {
    xson::xsonv_t member;
    if (object.object()->Get("clientid", member.get()) && member.type() == xson::vtInteger) clientid = member.integer();
  }
  uint32_t sender = static_cast<uint32_t>(clientid);
  if (msgtype == "get_client_info") {
    RecordName(sender, clientname);
    SendNameMessage(header.source, "anw_client_info");
  } else if (msgtype == "anw_client_info") {
    RecordName(sender, clientname);
  }

  std::string name;
  IReceiver* receiver = nullptr;
  {
    zev::MutexLock lock(&mu_);
    auto it = name_by_id_.find(sender);
    if (it != name_by_id_.end()) name = it->second;
    if (receiver_) {
      receiver = receiver_;
      receiver->AddRef();
    }
  }
  if (receiver) {
    receiver->OnInput(name.c_str(), header.length, reinterpret_cast<const char*>(header.data));
    receiver->Release();
  }
  return kS_OK;
}

HRESULT CRpcTermHelper::Init(int32_t /*flags*/) {
  std::string call_center_name, node_name, data_dir;
  uint32_t node_id;
  PUB_InitializeCallCenterFn initialize;
  PUB_UninitializeCallCenterFn uninitialize;
  {
    zev::MutexLock lock(&mu_);
    int loaded = module_.Load();
    if (loaded != 0 || module_.initialize() == nullptr || module_.uninitialize() == nullptr) {
      RuntimeLog("CRpcTermHelper Init: %s", module_.error().c_str());
      return kE_FAIL;
    }
    if (data_dir_.empty()) {
      RuntimeLog("CRpcTermHelper Init: no common application-data folder");
      return kE_FAIL;
    }
    data_dir = data_dir_;
    call_center_name = call_center_name_;
    node_name = node_name_;
    node_id = node_id_;
    initialize = module_.initialize();
    uninitialize = module_.uninitialize();
  }
  std::unique_lock<std::shared_mutex> lock(endpoint_mu_);
  if (endpoint_ != nullptr) return kS_OK;
  if (call_center_ == nullptr) {
    call_center_ = initialize(call_center_name.c_str(), data_dir.c_str(), kBusAbiVersion);
    if (call_center_ == nullptr) {
      RuntimeLog("CRpcTermHelper Init: no call center for %s", data_dir.c_str());
      return kE_FAIL;
    }
  }
  endpoint_ = call_center_->OpenEndpoint(node_id, kChannel, static_cast<IMessageCallBack*>(this));
  if (endpoint_ == nullptr) {
    RuntimeLog("CRpcTermHelper Init: node %08X (%s) cannot join the bus", node_id, node_name.c_str());
    uninitialize(call_center_);
    call_center_ = nullptr;
    return kE_FAIL;
  }
  lock.unlock();
  RecordName(node_id, node_name);
  RefreshAndAskNames();
  return kS_OK;
}

HRESULT CRpcTermHelper::Uninit() {
  IBusCallCenter* call_center;
  IBusEndpoint* endpoint;
  {
    // Sends in flight finish first; later ones find no endpoint.
    std::unique_lock<std::shared_mutex> lock(endpoint_mu_);
    call_center = call_center_;
    endpoint = endpoint_;
    call_center_ = nullptr;
    endpoint_ = nullptr;
  }
  if (call_center == nullptr) return kE_FAIL;
  // Closing the endpoint joins the library's threads; a callback running
  // now may still try to send, which is why endpoint_mu_ is not held here.
  if (endpoint) call_center->ReleaseEndpoint(endpoint);
  PUB_UninitializeCallCenterFn uninitialize;
  {
    zev::MutexLock lock(&mu_);
    uninitialize = module_.uninitialize();
  }
  if (uninitialize) uninitialize(call_center);
  return kS_OK;
}

}  // namespace pubsdk
