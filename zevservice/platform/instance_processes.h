// The processes of one executable that belong to this instance of the
// service: those whose environment names the same common data folder
// (ZEV_COMMON_APPDATA) as ours. Two instances on one machine, such as tests
// running side by side, each see and end only their own hosts.
#ifndef ZEV_PLATFORM_INSTANCE_PROCESSES_H_
#define ZEV_PLATFORM_INSTANCE_PROCESSES_H_

#include <sys/types.h>

#include <string>
#include <vector>

// Whether the environment block `environ_block` (the NUL-separated
// "NAME=value" entries of /proc/<pid>/environ) sets ZEV_COMMON_APPDATA to
// the same value as this process's environment does. Unset and empty count
// as the same (no folder named). Pure apart from reading our own variable.
bool SameInstanceEnvironment(const std::string& environ_block);

// Process ids of the running processes (this one excluded) whose
// executable's base name equals `name` exactly and whose environment passes
// SameInstanceEnvironment. Processes whose environment cannot be read
// (another user's, or gone meanwhile) or stays empty (a process in the
// middle of exec shows none for a moment) are not ours and are left out.
std::vector<pid_t> FindInstanceProcesses(const std::string& name);

// Sends SIGKILL to each process of FindInstanceProcesses(name). False when
// any kill failed (a process that ended meanwhile is no failure); true
// otherwise, also when none was found. errno tells the last failure.
bool TerminateInstanceProcesses(const std::string& name);

#endif  // ZEV_PLATFORM_INSTANCE_PROCESSES_H_
