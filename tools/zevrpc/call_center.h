// The call center: the bus folder of one data folder and the endpoints
// opened through it.
#ifndef ZEV_TOOLS_ZEVRPC_CALL_CENTER_H_
#define ZEV_TOOLS_ZEVRPC_CALL_CENTER_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "bus/bus_abi.h"

namespace zev::rpc {

class BusEndpoint;

class CallCenter final : public pubsdk::IBusCallCenter {
 public:
  // A call center with one reference for the bus below `data_dir`
  // (<data_dir>/run/bus, see PrepareBusFolder); null when the folder cannot
  // be made ready. `name` only labels it.
  static CallCenter* Create(const std::string& name, const std::string& data_dir);

  CallCenter(const CallCenter&) = delete;
  CallCenter& operator=(const CallCenter&) = delete;

  // Closes and releases every endpoint still open. kE_FAIL when called
  // from the callback of one of them (nothing is closed then).
  pubsdk::HRESULT CloseAll() EXCLUDES(mu_);

  pubsdk::HRESULT QueryInterface(const pubsdk::GUID& iid, void** out) override;
  uint32_t AddRef() override;
  // At zero: CloseAll, then the call center is deleted.
  uint32_t Release() override;
  pubsdk::HRESULT Reserved3() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved4() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved5() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved6() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved7() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved8() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved9() override { return pubsdk::kE_NOTIMPL; }
  // See bus_abi.h and BusEndpoint::Open. The endpoint stays owned by the
  // call center; the caller's pointer is good until ReleaseEndpoint or
  // CloseAll. Thread-safe.
  pubsdk::IBusEndpoint* OpenEndpoint(uint32_t node_id, uint32_t channel, pubsdk::IMessageCallBack* callback) override;
  pubsdk::HRESULT Reserved11() override { return pubsdk::kE_NOTIMPL; }
  // kS_OK after closing; kE_POINTER for null; kE_INVALIDARG for an endpoint
  // this call center did not open (or already released); kE_FAIL when
  // called from that endpoint's own callback (it stays open). Thread-safe.
  pubsdk::HRESULT ReleaseEndpoint(pubsdk::IBusEndpoint* endpoint) override;

  const std::string& folder() const { return folder_; }

 private:
  CallCenter(const std::string& name, const std::string& folder);
  ~CallCenter();

  const std::string name_;
  const std::string folder_;
  std::atomic<uint32_t> refs_{1};

  Mutex mu_;
  std::vector<BusEndpoint*> endpoints_ GUARDED_BY(mu_);  // one reference each
};

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_CALL_CENTER_H_
