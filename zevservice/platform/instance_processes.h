// The processes of one executable that belong to this instance of the
// service. A data folder can be the same path in several containers or in a
// root file system that a container shares, so the folder alone does not
// tell; a process is ours only when all of these hold:
//   - it runs in our PID namespace and under our root directory (the
//     /proc/PID/ns/pid and /proc/PID/root objects are ours: same device and
//     inode);
//   - its environment names the same common data folder (ZEV_COMMON_APPDATA)
//     as ours;
//   - it carries this instance's token (ZEV_INSTANCE_ID, handed to every
//     host by StartInstanceProcess), or, when we run as a systemd service,
//     it is in our service's own cgroup.
// Nothing else is ever signalled.
#ifndef ZEV_PLATFORM_INSTANCE_PROCESSES_H_
#define ZEV_PLATFORM_INSTANCE_PROCESSES_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"

namespace zev {

// The variable that carries the token into the hosts.
constexpr char kInstanceTokenVariable[] = "ZEV_INSTANCE_ID";

// Whether the environment block `environ_block` (the NUL-separated
// "NAME=value" entries of /proc/<pid>/environ) sets ZEV_COMMON_APPDATA to
// the same value as this process's environment does. Unset and empty count
// as the same (no folder named). Pure apart from reading our own variable.
bool SameInstanceEnvironment(const std::string& environ_block);

// This instance's token: 32 random hex digits made once per data folder and
// kept in <common>/run/instance-id, a file only this user can read or write
// (made private under another name and linked into place, so no reader ever
// sees it half-written). An existing file is read; one that is not a
// regular private file of ours, or holds anything else, is not trusted.
// Empty with *why when there is no trusted runtime folder or file.
std::string InstanceToken(std::string* why = nullptr);

// What tells this instance's processes from others'.
struct InstanceIdentity {
  std::string folder;          // ZEV_COMMON_APPDATA as we have it; empty when unset
  std::string token;           // empty: no process can match by token
  std::string service_cgroup;  // our cgroup when it is a systemd service's (".service")
};
// Ours: the folder from our environment, InstanceToken() and our cgroup.
InstanceIdentity ThisInstance();

// The systemd service cgroup named by the text of a /proc/PID/cgroup file:
// the path of its unified ("0::") or "name=systemd" line when that path ends
// in ".service"; empty otherwise.
std::string ServiceCgroupIn(const std::string& cgroup_file);

// Process ids of the running processes (this one excluded) whose
// executable's base name equals `name` exactly and that belong to `who` by
// the rules above. Processes whose facts cannot be read (gone meanwhile) or
// whose environment stays empty (a process in the middle of exec shows none
// for a moment) are not ours and are left out.
std::vector<pid_t> FindInstanceProcesses(const std::string& name, const InstanceIdentity& who);
// The same for ThisInstance().
std::vector<pid_t> FindInstanceProcesses(const std::string& name);

// Sends SIGKILL to each process of FindInstanceProcesses(name), through a
// pidfd taken before its facts are read, so a process id reused meanwhile is
// never hit. False when any kill failed (a process that ended meanwhile is
// no failure); true otherwise, also when none was found. errno tells the
// last failure.
bool TerminateInstanceProcesses(const std::string& name);

// StartProcessArgv with this instance's token (and no other value of it)
// in the child's environment; a token that cannot be had is left out, and
// the child then is not found as ours by its token.
std::unique_ptr<ProcessHandle> StartInstanceProcess(const std::vector<std::string>& argv,
                                                    const StartOptions& options = StartOptions(),
                                                    std::string* error = nullptr);

}  // namespace zev

#endif  // ZEV_PLATFORM_INSTANCE_PROCESSES_H_
