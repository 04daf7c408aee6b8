// Telling whether a process that calls the service belongs to a component
// the service runs: components run as children of a host, each in a process
// group of its own whose leader's environment names the component.
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

}  // namespace zev

#endif  // ZEV_RPC_COMPONENT_PEER_H_
