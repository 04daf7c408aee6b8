// The processes of the machine as /proc shows them at one moment: enough to
// follow parent links from any process up to the host, and to signal a
// process only while it is still the one that was seen.
#ifndef ZEV_TOOLS_ZEVHOST_PROCESS_TREE_H_
#define ZEV_TOOLS_ZEVHOST_PROCESS_TREE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zev {

struct ProcessFacts {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t pgid = 0;
  uint64_t start = 0;  // start time in clock ticks after boot: with pid, names one process
  char state = '?';    // 'Z' for a zombie
};

// Every process of /proc/<pid>/stat that could be read (processes that end
// meanwhile are left out).
std::vector<ProcessFacts> ReadProcessTable();

// The facts of one process; false when it is gone or cannot be read.
bool ReadProcessFacts(pid_t pid, ProcessFacts* facts);

// Sends `sig` to `pid` when it still is the process that started at `start`
// (checked through a pidfd, so a reused id is never hit). False when it has
// ended or is another one now.
bool SignalSameProcess(pid_t pid, uint64_t start, int sig);

// The environment block the process started with (/proc/<pid>/environ);
// empty when unreadable.
std::string StartEnvironment(pid_t pid);
// The value of `name` in such a block; empty when unset.
std::string EnvironmentValue(const std::string& block, const std::string& name);

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_PROCESS_TREE_H_
