// The host status file: the monitor's process table as a small text file in
// the runtime folder, rewritten whole on every change, so that operators
// (`zevctl hosts`) can see which host runs for which process group, how
// often it was restarted and whether its restarts are refused.
//
// Format: a header line, then one line per group, fields separated by a
// tab and each line ended by "\n":
//   group  node  pid  restarts  refused  components
// pid is 0 while no process runs for the group; refused is 0 or 1;
// components are the group's componentIDs separated by ",", each followed
// by "!refused" when the host refused to start it. Names never hold a tab or
// a line feed, nor componentIDs a "," or a "!" (those are written as
// blanks). A reader takes a component's ID up to its first "!" and skips
// the marks it does not know; one that knows no marks reads the file too
// (the ID then ends with its marks).
#ifndef ZEV_HOSTING_HOST_STATUS_H_
#define ZEV_HOSTING_HOST_STATUS_H_

#include <string>
#include <vector>

#include "hosting/monitor_interfaces.h"

namespace pubsdk {

// The file's name in the runtime folder.
extern const char kHostStatusFileName[];  // "zevhost-status"
// Its header line, without the line feed.
extern const char kHostStatusHeader[];

// The file's text for `hosts`, in the order given.
std::string FormatHostStatus(const std::vector<MonitorHostInfo>& hosts);

// Writes FormatHostStatus(hosts) to `path` atomically (readers see the old
// or the new file, never a part). False when it cannot be written.
bool WriteHostStatus(const std::string& path, const std::vector<MonitorHostInfo>& hosts);

// Reads a file written by WriteHostStatus into *hosts (replaced). False,
// with *hosts empty, when the file cannot be read, its header differs or a
// line does not have five well-formed fields.
bool ReadHostStatus(const std::string& path, std::vector<MonitorHostInfo>* hosts);

}  // namespace pubsdk

#endif  // ZEV_HOSTING_HOST_STATUS_H_
