// The checks every incoming message passes before the host acts on it.
#ifndef ZEV_TOOLS_ZEVHOST_HOST_MESSAGE_H_
#define ZEV_TOOLS_ZEVHOST_HOST_MESSAGE_H_

#include <cstddef>
#include <string>

#include "common/zevclasses/ZEVCommonDefine.pb.h"

namespace zev {

enum class HostCommand { kStart, kStop, kStopAll };

struct HostMessage {
  HostCommand command = HostCommand::kStopAll;
  // The component for kStart and kStop; empty for kStopAll.
  CZEVComponentContext context;
  // The sending node as the envelope names it; a refused start is answered
  // there.
  std::string sender;
};

// Checks the envelope text `data` (`length` bytes, not NUL-terminated) sent
// to `node_name`: it parses as an envelope, is addressed to `node_name`,
// carries base64 1, a contextlen equal to the context's length and a context
// that decodes completely; its msgtype is "start" or "stop" with a payload
// that parses as a CZEVComponentContext whose appCode, componentID and
// version can name folders (not empty, not "." or "..", no '/', '\' or NUL),
// or "stopall" with the payload "stopall". True with the command in *out;
// false with the reason in *why. Pure: safe from any thread.
bool CheckHostMessage(const char* data, size_t length, const std::string& node_name, HostMessage* out,
                      std::string* why);

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_HOST_MESSAGE_H_
