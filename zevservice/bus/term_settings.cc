#include "bus/term_settings.h"

#include "bus/envelope.h"
#include "bus/receiver.h"
#include "bus/rpc_term.h"
#include "bus/runtime_log.h"

namespace pubsdk {

const char kDefaultCallCenterName[] = "zev-{04117021-9089-42CD-856C-60BB8CF00BEB}";
const char kDefaultServiceName[] = "zev-service-{013715CC-EE63-44CC-AE79-948EACA61C52}";

CRpcTermSettings::CRpcTermSettings(std::string data_dir)
    : call_center_name_(kDefaultCallCenterName), service_name_(kDefaultServiceName), data_dir_(std::move(data_dir)) {}

CRpcTermSettings::~CRpcTermSettings() { Leave(); }

bool CRpcTermSettings::Join(const std::string& node_name, IReceiver* receiver) {
  Leave();
  node_name_ = node_name;
  service_id_ = NameCrc(service_name_);
  node_id_ = NameCrc(node_name_);
  term_ = new CRpcTermHelper();
  if (!library_path_.empty()) term_->SetLibraryPath(library_path_);
  term_->SetDataDir(data_dir_);
  term_->SetCallCenterName(call_center_name_.c_str());
  term_->SetServiceId(service_id_);
  term_->SetNodeId(node_id_);
  term_->SetNodeName(node_name_.c_str());
  // The receiver is in place before the node joins, so that a message sent
  // to it right after it appears on the bus is not dropped.
  if (receiver != nullptr) {
    receiver_ = new CReceiverImpAsync(receiver);
    term_->SetReceiver(receiver_);
  }
  joined_ = term_->Init(0) >= 0;
  if (!joined_) {
    RuntimeLog("CRpcTermSettings: %s could not join the bus", node_name_.c_str());
    return false;
  }
  term_->RefreshNodes();
  return true;
}

void CRpcTermSettings::Leave() {
  if (term_ != nullptr) {
    term_->Uninit();
    term_->Release();
    term_ = nullptr;
  }
  if (receiver_ != nullptr) {
    receiver_->Stop();
    receiver_->Release();
    receiver_ = nullptr;
  }
  joined_ = false;
}

bool CRpcTermSettings::Send(const std::string& destination, const std::string& msgtype, const std::string& payload,
                            uint32_t tick) {
  std::lock_guard<std::mutex> lock(send_mu_);
  if (term_ == nullptr) return false;
  std::string text = BuildEnvelope(node_name_, destination, msgtype, payload, tick);
  return term_->Send(NameCrc(destination), service_id_, MessageId(msgtype, tick), text.data(),
                     static_cast<uint32_t>(text.size())) == kS_OK;
}

IRpcTermEx* CRpcTermSettings::term() const { return term_; }

}  // namespace pubsdk
