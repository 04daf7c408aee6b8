#include "tools/zevrpc/call_center.h"

#include <algorithm>

#include "tools/zevrpc/bus_folder.h"
#include "tools/zevrpc/endpoint.h"

namespace zev::rpc {

CallCenter* CallCenter::Create(const std::string& name, const std::string& data_dir) {
  std::string folder = PrepareBusFolder(data_dir);
  if (folder.empty()) return nullptr;
  return new CallCenter(name, folder);
}

CallCenter::CallCenter(const std::string& name, const std::string& folder) : name_(name), folder_(folder) {}

CallCenter::~CallCenter() { CloseAll(); }

pubsdk::HRESULT CallCenter::CloseAll() {
  std::vector<BusEndpoint*> open;
  {
    MutexLock lock(&mu_);
    open.swap(endpoints_);
  }
  // Closed outside mu_: closing joins an endpoint's threads, whose callback
  // may be inside OpenEndpoint or ReleaseEndpoint of this very call center.
  pubsdk::HRESULT result = pubsdk::kS_OK;
  std::vector<BusEndpoint*> refused;
  for (BusEndpoint* endpoint : open) {
    if (endpoint->Close() != pubsdk::kS_OK) {
      refused.push_back(endpoint);
      result = pubsdk::kE_FAIL;
      continue;
    }
    endpoint->Release();
  }
  if (!refused.empty()) {
    MutexLock lock(&mu_);
    endpoints_.insert(endpoints_.end(), refused.begin(), refused.end());
  }
  return result;
}

pubsdk::HRESULT CallCenter::QueryInterface(const pubsdk::GUID& iid, void** out) {
  if (out == nullptr) return pubsdk::kE_POINTER;
  if (iid == pubsdk::IID_IUnknown || iid == pubsdk::IID_IBusCallCenter) {
    AddRef();
    *out = static_cast<pubsdk::IBusCallCenter*>(this);
    return pubsdk::kS_OK;
  }
  *out = nullptr;
  return pubsdk::kE_NOINTERFACE;
}

uint32_t CallCenter::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t CallCenter::Release() {
  uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

pubsdk::IBusEndpoint* CallCenter::OpenEndpoint(uint32_t node_id, uint32_t channel,
                                               pubsdk::IMessageCallBack* callback) {
  BusEndpoint* endpoint = BusEndpoint::Open(folder_, node_id, channel, callback);
  if (endpoint == nullptr) return nullptr;
  MutexLock lock(&mu_);
  endpoints_.push_back(endpoint);
  return endpoint;
}

pubsdk::HRESULT CallCenter::ReleaseEndpoint(pubsdk::IBusEndpoint* endpoint) {
  if (endpoint == nullptr) return pubsdk::kE_POINTER;
  BusEndpoint* found = nullptr;
  {
    MutexLock lock(&mu_);
    auto it = std::find_if(endpoints_.begin(), endpoints_.end(), [endpoint](BusEndpoint* e) {
      return static_cast<pubsdk::IBusEndpoint*>(e) == endpoint;
    });
    if (it == endpoints_.end()) return pubsdk::kE_INVALIDARG;
    found = *it;
    endpoints_.erase(it);
  }
  if (found->Close() != pubsdk::kS_OK) {
    MutexLock lock(&mu_);
    endpoints_.push_back(found);
    return pubsdk::kE_FAIL;
  }
  found->Release();
  return pubsdk::kS_OK;
}

}  // namespace zev::rpc
