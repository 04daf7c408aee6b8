#include "hosting/host_status.h"

#include "platform/paths.h"

namespace pubsdk {

namespace {

std::vector<HostStatusEntry> Entries(const std::vector<MonitorHostInfo>& hosts) {
  std::vector<HostStatusEntry> entries;
  entries.reserve(hosts.size());
  for (const MonitorHostInfo& h : hosts) {
    entries.push_back({h.group_name, h.node_name, h.pid, h.restart_count, h.restart_refused, h.components, h.refused});
  }
  return entries;
}

}  // namespace

std::string FormatHostStatus(const std::vector<MonitorHostInfo>& hosts) { return FormatHostStatusText(Entries(hosts)); }

bool WriteHostStatus(const std::string& path, const std::vector<MonitorHostInfo>& hosts) {
  // Rewritten on every change of the hosts: a reader needs it whole, not
  // on disk before the next change.
  return WriteFileAtomically(path, FormatHostStatus(hosts), /*durable=*/false);
}

bool ReadHostStatus(const std::string& path, std::vector<MonitorHostInfo>* hosts) {
  hosts->clear();
  std::vector<HostStatusEntry> entries;
  if (!ReadHostStatusFile(path, &entries)) return false;
  for (HostStatusEntry& e : entries) {
    hosts->push_back({std::move(e.group_name), std::move(e.node_name), e.pid, e.restart_count, e.restart_refused,
                      std::move(e.components), std::move(e.refused)});
  }
  return true;
}

}  // namespace pubsdk
