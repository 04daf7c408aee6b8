#include "tools/zevhost/host_log.h"

#include <unistd.h>

#include "base/log.h"
#include "bus/runtime_log.h"
#include "platform/paths.h"

namespace zev {

void HostLog(const std::string& text) {
  std::string line = "zevhost[" + std::to_string(getpid()) + "]: " + EscapeControlCharacters(text) + "\n";
  WriteAll(STDERR_FILENO, line.data(), line.size());
  pubsdk::RuntimeLog("zevhost: %s", text.c_str());
}

}  // namespace zev
