#include "rpc/component_peer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "platform/paths.h"
#include "platform/process.h"

namespace zev {

namespace {

// The parent and the process group of `pid`, from /proc/<pid>/stat.
bool ParentAndGroup(pid_t pid, pid_t* parent, pid_t* group) {
  std::string stat;
  if (!ReadFileToString("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
  // The command name may hold spaces and parentheses: the fields follow the last ')'.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  long ppid = 0, pgrp = 0;
  if (!(fields >> state >> ppid >> pgrp)) return false;
  *parent = static_cast<pid_t>(ppid);
  *group = static_cast<pid_t>(pgrp);
  return true;
}

bool IsHost(pid_t pid, const std::vector<pid_t>& hosts) {
  return pid > 0 && std::find(hosts.begin(), hosts.end(), pid) != hosts.end();
}

}  // namespace

GroupTie TieOf(const CallerGroupFacts& facts, const std::vector<pid_t>& hosts) {
  if (!facts.caller_alive) return GroupTie::kEnded;
  if (facts.group <= 0) return GroupTie::kNone;
  if (!facts.leader_alive) return IsHost(facts.caller_parent, hosts) ? GroupTie::kEnded : GroupTie::kNone;
  return facts.leader_group == facts.group && IsHost(facts.leader_parent, hosts) ? GroupTie::kLeader
                                                                                 : GroupTie::kNone;
}

GroupTie TieToComponentGroup(pid_t pid, const std::vector<pid_t>& hosts, pid_t* leader, int* pidfd) {
  *leader = 0;
  *pidfd = -1;
  CallerGroupFacts facts;
  // getpgid, unlike /proc, answers for every process: only ESRCH means the
  // caller is gone. Its parent matters only when its group's leader is gone.
  const pid_t group = getpgid(pid);
  facts.caller_alive = group >= 0 || errno != ESRCH;
  facts.group = group > 0 ? group : 0;
  pid_t ignored = 0;
  if (facts.caller_alive && !ParentAndGroup(pid, &facts.caller_parent, &ignored)) facts.caller_parent = 0;
  int fd = -1;
  if (facts.caller_alive && facts.group > 0) {
    fd = PidfdOpen(facts.group);
    if (fd >= 0 && !ParentAndGroup(facts.group, &facts.leader_parent, &facts.leader_group)) {
      // Reaped since the pidfd was taken, or hidden by /proc (then it is
      // nobody's component: its parent stays unknown).
      pollfd ended{fd, POLLIN, 0};
      facts.leader_alive = poll(&ended, 1, 0) == 0;
    } else {
      facts.leader_alive = fd >= 0;
    }
  }
  const GroupTie tie = TieOf(facts, hosts);
  if (tie == GroupTie::kLeader) {
    *leader = facts.group;
    *pidfd = fd;
  } else if (fd >= 0) {
    close(fd);
  }
  return tie;
}

bool ProcessBelongsToComponent(pid_t pid, const std::vector<pid_t>& hosts, const std::string& id) {
  if (pid <= 0 || hosts.empty() || id.empty()) return false;
  pid_t parent = 0, leader = 0, leader_parent = 0, leader_group = 0;
  if (!ParentAndGroup(pid, &parent, &leader) || leader <= 0) return false;
  if (!ParentAndGroup(leader, &leader_parent, &leader_group) || leader_group != leader) return false;
  if (std::find(hosts.begin(), hosts.end(), leader_parent) == hosts.end()) return false;
  std::string environment;
  if (!ReadFileToString("/proc/" + std::to_string(leader) + "/environ", &environment)) return false;
  const std::string wanted = "ZEV_COMPONENT_ID=" + id;
  size_t start = 0;
  while (start < environment.size()) {
    size_t end = environment.find('\0', start);
    if (end == std::string::npos) end = environment.size();
    if (environment.compare(start, end - start, wanted) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace zev
