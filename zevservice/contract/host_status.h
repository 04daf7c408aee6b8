// The host status file: the monitor's process table as a small text file in
// the runtime folder, rewritten whole on every change, so that operators
// (`zevctl hosts`) can see which host runs for which process group, how
// often it was restarted and whether its restarts are refused.
//
// Format: a header line naming the columns, then one line per group, fields
// separated by a tab and each line ended by "\n". The first version has six
// columns:
//   group  node  pid  restarts  refused  components
// pid is 0 while no process runs for the group; refused is 0 or 1;
// components are the group's componentIDs separated by ",", each followed
// by "!refused" when the host refused to start it. Names never hold a tab or
// a line feed, nor componentIDs a "," or a "!" (those are written as
// blanks).
//
// Versions: a later version adds columns after these six (in the header and
// in every line) and marks after a componentID; it never changes, moves or
// drops what is here. A reader takes the six columns and the "refused" mark,
// and skips the columns and marks it does not know, so that an older zevctl
// reads a newer file. The writer here writes exactly the six columns, which
// every reader reads (a reader before versions knew only this header).
#ifndef ZEV_CONTRACT_HOST_STATUS_H_
#define ZEV_CONTRACT_HOST_STATUS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pubsdk {

// The file's name in the runtime folder.
extern const char kHostStatusFileName[];  // "zevhost-status"
// The header line of the first version, without the line feed.
extern const char kHostStatusHeader[];

// One line of the file: a process group and its host.
struct HostStatusEntry {
  std::string group_name;
  std::string node_name;
  pid_t pid = 0;  // 0 while no process runs for the group
  uint32_t restart_count = 0;
  bool restart_refused = false;
  // The componentIDs the group's host is to run, in order.
  std::vector<std::string> components;
  // Those of them whose last start the host refused, in order.
  std::vector<std::string> refused{};
};

// The file's text for `entries`, in the order given.
std::string FormatHostStatusText(const std::vector<HostStatusEntry>& entries);

// Reads a file's text into *entries (replaced). False, with *entries empty,
// when the header does not begin with the six columns, a line is cut or
// does not have a field for every column, or one of the six is malformed.
bool ParseHostStatusText(const std::string& text, std::vector<HostStatusEntry>* entries);

// ParseHostStatusText of the file at `path`; false too when it cannot be
// read.
bool ReadHostStatusFile(const std::string& path, std::vector<HostStatusEntry>* entries);

}  // namespace pubsdk

#endif  // ZEV_CONTRACT_HOST_STATUS_H_
