// Telling whether a process that calls the service belongs to a component
// the service runs: components run as children of a host, each in a process
// group of its own whose leader's environment names the component; and
// which component group a caller's registrations live and die with.
#ifndef ZEV_RPC_COMPONENT_PEER_H_
#define ZEV_RPC_COMPONENT_PEER_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace zev {

// Whether process `pid` is in a process group whose leader is a child of one
// of `hosts` and was started with ZEV_COMPONENT_ID=`id`. Read from /proc;
// false when any of it cannot be read.
bool ProcessBelongsToComponent(pid_t pid, const std::vector<pid_t>& hosts, const std::string& id);

// What a registration made by a process is tied to: nothing (it stays until
// withdrawn), the leader of the component process group it came from (it
// goes when that process ends), or a component group that has already
// ended (it is not kept).
enum class GroupTie { kNone, kLeader, kEnded };

// What the kernel told about a caller at its call.
struct CallerGroupFacts {
  bool caller_alive = false;  // getpgid did not find it gone
  pid_t caller_parent = 0;    // 0: not known
  pid_t group = 0;            // its process group; 0: not known
  bool leader_alive = false;  // a pidfd of the group's leader was taken, and it runs
  // From the leader's stat; 0 when /proc does not show it.
  pid_t leader_parent = 0;
  pid_t leader_group = 0;
};

// The rule: a caller that is gone counts as ended. A group whose leader
// runs, leads it, and is a child of one of `hosts` is a component's: tied to
// that leader. A group whose leader is gone is an ended component's when the
// caller came to a host (hosts take in what their components orphan);
// anything else is nobody's.
GroupTie TieOf(const CallerGroupFacts& facts, const std::vector<pid_t>& hosts);

// TieOf for process `pid` as /proc shows it now. For kLeader, *leader and
// *pidfd (the caller's to close) name the group's leader; the pidfd was
// taken before its facts were read, so it is of the process the rule saw.
GroupTie TieToComponentGroup(pid_t pid, const std::vector<pid_t>& hosts, pid_t* leader, int* pidfd);

}  // namespace zev

#endif  // ZEV_RPC_COMPONENT_PEER_H_
