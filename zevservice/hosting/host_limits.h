// Limits per host: the settings MemoryMax and CPUQuota of an application
// (keys below HKLM Software\Varnel\ZEV\Applications\<application code>, the
// value in each key's default value) confine the host that runs the
// application's components to a control group of its own. Without either
// setting nothing changes.
#ifndef ZEV_HOSTING_HOST_LIMITS_H_
#define ZEV_HOSTING_HOST_LIMITS_H_

#include <sys/types.h>

#include <set>
#include <string>

#include "platform/process_limits.h"
#include "platform/registry.h"

namespace zev {

// The limits the applications set; a host running several applications'
// components gets the strictest value of each. A value that does not parse
// is logged (error) and left out.
ProcessLimits ReadHostLimits(RegistryStore* store, const std::set<std::string>& apps);

// Reads the limits and, when any is set, puts the host `pid` of `group` in a
// control group of its own with them (ConfineProcess); logs where, or why it
// could not (the host then runs unconfined).
void ConfineHost(RegistryStore* store, const std::string& group, pid_t pid, const std::set<std::string>& apps);

}  // namespace zev

#endif  // ZEV_HOSTING_HOST_LIMITS_H_
