#include "rpc/component_peer.h"

#include <algorithm>
#include <sstream>

#include "platform/paths.h"

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

}  // namespace

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
