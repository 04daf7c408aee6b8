// The library's only exports (see zevrpc.map). The library keeps no
// registry of call centers: each belongs to whoever made it, so
// PUB_ShutDown has nothing to free and answers kS_OK. Uninitializing from
// inside one of the call center's own callbacks cannot wait for that
// callback; it answers kE_FAIL and leaves the call center as it was.
#include <string>

#include "bus/bus_abi.h"
#include "platform/paths.h"
#include "tools/zevrpc/call_center.h"

#define ZEVRPC_EXPORT extern "C" __attribute__((visibility("default")))

ZEVRPC_EXPORT pubsdk::IBusCallCenter* PUB_InitializeCallCenter(const char* call_center_name, const char* data_dir,
                                                               int32_t version) {
  if (call_center_name == nullptr || data_dir == nullptr || version != pubsdk::kBusAbiVersion) return nullptr;
  return zev::rpc::CallCenter::Create(call_center_name, data_dir);
}

ZEVRPC_EXPORT pubsdk::HRESULT PUB_UninitializeCallCenter(pubsdk::IBusCallCenter* call_center) {
  if (call_center == nullptr) return pubsdk::kE_POINTER;
  // Only this library makes call centers, so the object is ours.
  auto* ours = static_cast<zev::rpc::CallCenter*>(call_center);
  pubsdk::HRESULT closed = ours->CloseAll();
  if (closed != pubsdk::kS_OK) return closed;
  ours->Release();
  return pubsdk::kS_OK;
}

ZEVRPC_EXPORT pubsdk::IBusCallCenter* PUB_AllocateCallCenter(const char* call_center_name) {
  if (call_center_name == nullptr) return nullptr;
  // The host may have moved its data folder since the last call; follow it.
  zev::ForgetCommonDataDir();
  std::string data_dir = zev::GetCommonDataDir();
  if (data_dir.empty()) return nullptr;
  return PUB_InitializeCallCenter(call_center_name, data_dir.c_str(), pubsdk::kBusAbiVersion);
}

ZEVRPC_EXPORT pubsdk::HRESULT PUB_FreeCallCenter(pubsdk::IBusCallCenter* call_center) {
  return PUB_UninitializeCallCenter(call_center);
}

ZEVRPC_EXPORT pubsdk::HRESULT PUB_ShutDown() { return pubsdk::kS_OK; }
