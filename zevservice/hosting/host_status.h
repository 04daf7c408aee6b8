// The monitor's side of the host status file (contract/host_status.h holds
// its format): the process table written as the file and read back.
#ifndef ZEV_HOSTING_HOST_STATUS_H_
#define ZEV_HOSTING_HOST_STATUS_H_

#include <string>
#include <vector>

#include "contract/host_status.h"
#include "hosting/monitor_interfaces.h"

namespace pubsdk {

// The file's text for `hosts`, in the order given.
std::string FormatHostStatus(const std::vector<MonitorHostInfo>& hosts);

// Writes FormatHostStatus(hosts) to `path` atomically (readers see the old
// or the new file, never a part). False when it cannot be written.
bool WriteHostStatus(const std::string& path, const std::vector<MonitorHostInfo>& hosts);

// Reads a file written by WriteHostStatus into *hosts (replaced). False,
// with *hosts empty, when the file cannot be read or is not a host status
// file (ParseHostStatusText).
bool ReadHostStatus(const std::string& path, std::vector<MonitorHostInfo>* hosts);

}  // namespace pubsdk

#endif  // ZEV_HOSTING_HOST_STATUS_H_
