#include "hosting/host_status.h"

#include "platform/paths.h"

namespace pubsdk {

std::string FormatHostStatus(const std::vector<MonitorHostInfo>& hosts) { return FormatHostStatusText(hosts); }

bool WriteHostStatus(const std::string& path, const std::vector<MonitorHostInfo>& hosts) {
  // Rewritten on every change of the hosts: a reader needs it whole, not
  // on disk before the next change.
  return zev::WriteFileAtomically(path, FormatHostStatus(hosts), /*durable=*/false);
}

bool ReadHostStatus(const std::string& path, std::vector<MonitorHostInfo>* hosts) {
  return ReadHostStatusFile(path, hosts);
}

}  // namespace pubsdk
