// CRpcTermHelper: one node on the message bus. It loads the bus library,
// joins the bus under its node id (IPUBPlugin::Init), keeps the table of live
// nodes and the names they go by, sends messages and delivers incoming ones
// to its receivers.
//
// Threads: the library calls OnMessage on one of its threads, one message at
// a time; the other
// operations may be called from any thread. The maps, the node table and the
// receivers are guarded by mu_; the endpoint by endpoint_mu_ (shared for
// sends, exclusive to drop it).
//
// Life: the endpoint holds a reference to the term (its message callback)
// until Uninit, so an owner calls Uninit before its last Release.
#ifndef ZEV_BUS_RPC_TERM_H_
#define ZEV_BUS_RPC_TERM_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "bus/ref_count.h"
#include "bus/term_interfaces.h"

namespace pubsdk {

// The bus library as a loaded module: its file, handle and the addresses of
// its exports.
class CProcRpcHelp {
 public:
  // `path` empty: libzevrpc.so in the directory of the running program.
  explicit CProcRpcHelp(std::string path = std::string());
  ~CProcRpcHelp();  // Release
  CProcRpcHelp(const CProcRpcHelp&) = delete;
  CProcRpcHelp& operator=(const CProcRpcHelp&) = delete;

  // 0 loaded with every export; 1 loaded but an export is missing (the
  // lookup stops at the first missing one); -1 the file could not be loaded.
  // Already loaded: the same answer as the first time.
  int Load();
  bool IsLoaded() const { return handle_ != nullptr; }
  // Unloads when owned and forgets the handle.
  void Release();
  // Releases the module and takes another file for the next Load.
  void SetPath(const std::string& path) {
    Release();
    path_ = path;
  }
  // Gives the handle away: it is no longer unloaded here.
  void* Detach();

  // Null until Load found them.
  PUB_InitializeCallCenterFn initialize() const { return initialize_; }
  PUB_UninitializeCallCenterFn uninitialize() const { return uninitialize_; }

  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  int flags_ = 2;  // 2: owned; 0: detached
  int load_result_ = -1;
  std::string error_;
  PUB_InitializeCallCenterFn initialize_ = nullptr;
  PUB_UninitializeCallCenterFn uninitialize_ = nullptr;
  PUB_AllocateCallCenterFn allocate_ = nullptr;
  PUB_FreeCallCenterFn free_ = nullptr;
  PUB_ShutDownFn shut_down_ = nullptr;
};

class CRpcTermHelper : public IRpcTermEx,
                       public IMessageCallBack,
                       public IPUBPlugin,
                       public IPUBPluginRun,
                       public CRefCountBase {
 public:
  static constexpr uint32_t kChannel = 1;
  static constexpr uint32_t kMessageNumber = 10020;
  static constexpr uint32_t kSendTimeoutMs = 1000;

  CRpcTermHelper();

  // The bus library to load instead of libzevrpc.so beside the program;
  // before Init.
  void SetLibraryPath(const std::string& path);
  // The common data folder by which every process on the bus finds the call
  // center; before Init, which fails without one.
  void SetDataDir(const std::string& dir);

  HRESULT QueryInterface(const GUID& iid, void** out) override;
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }

  // IRpcTerm / IRpcTermEx
  HRESULT SetReceiver(IReceiver* receiver) override;
  HRESULT Send(uint32_t destination, uint32_t word_a, uint32_t word_b, const void* data, uint32_t length) override;
  HRESULT SendToAll(uint32_t word_a, uint32_t word_b, const void* data, uint32_t length) override;
  HRESULT RefreshNodes() override;
  HRESULT BeginNodeIteration() override;
  HRESULT NextNodeId(uint32_t* node_id) override;
  HRESULT GetNodeRecord(uint32_t node_id, BusNodeRecord* record) override;
  HRESULT GetNodeIdByName(const char* name, uint32_t* node_id) override;
  HRESULT GetNameByNodeId(uint32_t node_id, std::string* name) override;
  bool HasNameForNodeId(uint32_t node_id) override;
  bool HasNodeIdForName(const char* name) override;
  HRESULT RefreshAndAskNames() override;
  uint32_t GetChannel() override { return kChannel; }
  uint32_t GetMessageNumber() override { return kMessageNumber; }
  HRESULT SetNodeName(const char* name) override;
  HRESULT SetNodeId(uint32_t node_id) override;
  HRESULT SetServiceId(uint32_t service_id) override;
  HRESULT SetCallCenterName(const char* name) override;
  HRESULT CheckNonZero(uint32_t value) override { return value == 0 ? kE_FAIL : kS_OK; }
  HRESULT SetSecondReceiver(IUnknownBase* receiver) override;

  // IMessageCallBack
  HRESULT OnMessage(IBusMessage* message) override;

  // IPUBPlugin: Init loads the library and joins the bus (E_FAIL when the
  // library, its exports, the call center or the endpoint is missing);
  // Uninit leaves it (E_FAIL when it was never joined).
  HRESULT Init(int32_t flags) override;
  HRESULT Uninit() override;

  // IPUBPluginRun: nothing to do.
  HRESULT Start() override { return kS_OK; }
  HRESULT Stop() override { return kS_OK; }

 private:
  ~CRpcTermHelper() override;

  void RecordName(uint32_t node_id, const std::string& name) EXCLUDES(mu_);
  HRESULT SendNameMessage(uint32_t destination, const char* msgtype) EXCLUDES(mu_);

  zev::Mutex mu_;
  std::map<uint32_t, std::string> name_by_id_ GUARDED_BY(mu_);
  std::map<std::string, uint32_t> id_by_name_ GUARDED_BY(mu_);
  std::map<uint32_t, BusNodeRecord> nodes_ GUARDED_BY(mu_);
  std::vector<uint32_t> iteration_ GUARDED_BY(mu_);
  size_t iteration_next_ GUARDED_BY(mu_) = 0;
  CProcRpcHelp module_ GUARDED_BY(mu_);
  std::string data_dir_ GUARDED_BY(mu_);
  std::string call_center_name_ GUARDED_BY(mu_);
  std::string node_name_ GUARDED_BY(mu_);
  IReceiver* receiver_ GUARDED_BY(mu_) = nullptr;  // one reference
  IMsgReceiver* second_receiver_ GUARDED_BY(mu_) = nullptr;  // one reference
  uint32_t node_id_ GUARDED_BY(mu_) = 0;
  uint32_t service_id_ GUARDED_BY(mu_) = 0;

  std::shared_mutex endpoint_mu_;
  IBusCallCenter* call_center_ = nullptr;  // guarded by endpoint_mu_
  IBusEndpoint* endpoint_ = nullptr;       // guarded by endpoint_mu_
};

}  // namespace pubsdk

#endif  // ZEV_BUS_RPC_TERM_H_
