// The owner's side of the host-messaging layer: the settings a node keeps
// (names, ids, the term, its asynchronous receiver) and the two things an
// owner does with them, joining the bus and sending envelopes. The monitor
// and the host program both use it.
//
// Thread-safety: Join and Leave from one thread; Send from any thread
// (sends are serialised by an internal lock).
#ifndef ZEV_BUS_TERM_SETTINGS_H_
#define ZEV_BUS_TERM_SETTINGS_H_

#include <cstdint>
#include <mutex>
#include <string>

#include "bus/term_interfaces.h"

namespace pubsdk {

class CRpcTermHelper;
class CReceiverImpAsync;

extern const char kDefaultCallCenterName[];  // "zev-{04117021-...}"
extern const char kDefaultServiceName[];     // "zev-service-{013715CC-...}"

class CRpcTermSettings {
 public:
  // The bus's call center is found by `data_dir`, the common data folder
  // that every process on the bus shares; empty: Join fails.
  explicit CRpcTermSettings(std::string data_dir);
  ~CRpcTermSettings();  // Leaves the bus when joined.
  CRpcTermSettings(const CRpcTermSettings&) = delete;
  CRpcTermSettings& operator=(const CRpcTermSettings&) = delete;

  // Names to use instead of the defaults; set before Join.
  void SetCallCenterName(const std::string& name) { call_center_name_ = name; }
  void SetServiceName(const std::string& name) { service_name_ = name; }
  // The bus library to load instead of libzevrpc.so beside the program.
  void SetLibraryPath(const std::string& path) { library_path_ = path; }

  // Creates the term under `node_name`, joins the bus and delivers every
  // incoming message to `receiver` through an asynchronous receiver (so
  // `receiver` is called on that receiver's thread, never on the library's).
  // `receiver` must outlive Leave. True when the bus was joined; on false the
  // term still exists and every Send fails.
  bool Join(const std::string& node_name, IReceiver* receiver);
  // Leaves the bus, stops the receiver's thread and drops the term. After it
  // returns no message reaches the receiver.
  void Leave();

  bool joined() const { return joined_; }
  const std::string& node_name() const { return node_name_; }
  uint32_t node_id() const { return node_id_; }
  uint32_t service_id() const { return service_id_; }

  // Sends the envelope of (msgtype, payload) to the node named `destination`,
  // with the tick count `tick` in its msgid. True when the term answers S_OK.
  bool Send(const std::string& destination, const std::string& msgtype, const std::string& payload, uint32_t tick);

  // The term, for the operations of IRpcTermEx; null before Join.
  IRpcTermEx* term() const;

 private:
  uint32_t service_id_ = 0;
  uint32_t node_id_ = 0;
  std::string call_center_name_;
  std::string service_name_;
  std::string node_name_;
  std::string library_path_;
  const std::string data_dir_;
  CRpcTermHelper* term_ = nullptr;          // owned (one reference)
  CReceiverImpAsync* receiver_ = nullptr;  // owned (one reference)
  bool joined_ = false;
  std::mutex send_mu_;
};

}  // namespace pubsdk

#endif  // ZEV_BUS_TERM_SETTINGS_H_
