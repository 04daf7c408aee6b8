#include "tools/zevhost/host_message.h"

#include "bus/envelope.h"

namespace zev {

namespace {

// The context's names become folder names below the install root, so none
// may climb out of it or add levels.
bool IsFolderName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

bool CheckHostMessage(const char* data, size_t length, const std::string& node_name, HostMessage* out,
                      std::string* why) {
  pubsdk::Envelope envelope;
  if (data == nullptr || !pubsdk::ParseEnvelope(std::string(data, length), &envelope)) {
    *why = "not an envelope";
    return false;
  }
  std::string payload;
  if (!pubsdk::OpenEnvelope(envelope, node_name, &payload, why)) return false;
  out->sender = envelope.clientname;

  if (envelope.msgtype == "stopall") {
    if (payload != "stopall") {
      *why = "stopall with an unexpected payload";
      return false;
    }
    out->command = HostCommand::kStopAll;
    out->context.Clear();
    return true;
  }
  if (envelope.msgtype == "start") {
    out->command = HostCommand::kStart;
  } else if (envelope.msgtype == "stop") {
    out->command = HostCommand::kStop;
  } else {
    *why = "unknown msgtype '" + envelope.msgtype + "'";
    return false;
  }
  out->context.Clear();
  if (!out->context.ParseFromString(payload)) {
    *why = "context is not a component context";
    return false;
  }
  const CZEVComponentContext& c = out->context;
  if (!IsFolderName(c.appcode()) || !IsFolderName(c.componentid()) || !IsFolderName(c.version())) {
    *why = "context names no usable appCode/componentID/version";
    return false;
  }
  return true;
}

}  // namespace zev
