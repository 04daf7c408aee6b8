// Memory and CPU limits for one process and what it starts: the values as
// systemd spells them, and the control group that enforces them.
//
// Under systemd (the service runs as a unit) the process goes into a
// transient scope of its own, in the slice of the calling process, made
// through systemd's D-Bus interface; systemd then owns the control group and
// removes the scope once it is empty. Without systemd the process goes into
// a cgroup v2 group made beside the caller's own, where the hierarchy can be
// written, or else, on a machine whose memory and cpu controllers are in
// cgroup v1 hierarchies, into groups made below the caller's own in those;
// empty groups left from earlier processes of the same name are removed then.
//
// None of these functions logs; each says by its result and *why what went
// wrong. Safe from any thread.
#ifndef ZEV_PLATFORM_PROCESS_LIMITS_H_
#define ZEV_PLATFORM_PROCESS_LIMITS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace zev {

struct ProcessLimits {
  uint64_t memory_max_bytes = 0;        // 0: none
  uint64_t cpu_quota_usec_per_sec = 0;  // CPU time per second of wall time; 0: none
  bool empty() const { return memory_max_bytes == 0 && cpu_quota_usec_per_sec == 0; }
};

// "MemoryMax": a number of bytes, or with the suffix K, M, G or T (powers of
// 1024, either case). False for anything else, 0, or more than 64 bits hold.
bool ParseMemoryMax(const std::string& text, uint64_t* bytes);
// "CPUQuota": a whole percentage of one CPU with its "%" ("150%" is one and
// a half CPUs), as CPU microseconds per second. False for anything else or 0%.
bool ParseCpuQuota(const std::string& text, uint64_t* usec_per_sec);

// Puts `pid` (which must not have started children yet) into a control group
// of its own named after `name` (letters, digits, '-', '_' and '.' are kept,
// others become '_') with `limits`. True with *where naming the scope or
// group; false with *why.
bool ConfineProcess(pid_t pid, const std::string& name, const ProcessLimits& limits, std::string* where,
                    std::string* why);

}  // namespace zev

#endif  // ZEV_PLATFORM_PROCESS_LIMITS_H_
