// The host program's diagnostics. The host never writes the service's
// rotating log; its lines go to standard error and to the runtime log of the
// host-messaging layer (bus/runtime_log.h).
#ifndef ZEV_TOOLS_ZEVHOST_HOST_LOG_H_
#define ZEV_TOOLS_ZEVHOST_HOST_LOG_H_

#include <string>

namespace zev {

// Writes "zevhost[<pid>]: <text>\n" to standard error in one write, so that
// lines from several threads never mix, and the text to the runtime log.
// Any thread.
void HostLog(const std::string& text);

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_HOST_LOG_H_
