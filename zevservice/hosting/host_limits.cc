#include "hosting/host_limits.h"

#include "base/log.h"
#include "platform/settings.h"

namespace zev {

namespace {

void Tighten(uint64_t found, uint64_t* limit) {
  if (found != 0 && (*limit == 0 || found < *limit)) *limit = found;
}

}  // namespace

ProcessLimits ReadHostLimits(RegistryStore* store, const std::set<std::string>& apps) {
  ProcessLimits limits;
  for (const std::string& app : apps) {
    std::string text;
    uint64_t value = 0;
    if (ReadApplicationSetting(store, app, "MemoryMax", &text)) {
      if (ParseMemoryMax(text, &value)) {
        Tighten(value, &limits.memory_max_bytes);
      } else {
        LogWrite(kLogError, "MemoryMax of application %s is \"%s\", not bytes or a number with K, M, G or T; ignored.",
                 app.c_str(), EscapeControlCharacters(text).c_str());
      }
    }
    if (ReadApplicationSetting(store, app, "CPUQuota", &text)) {
      if (ParseCpuQuota(text, &value)) {
        Tighten(value, &limits.cpu_quota_usec_per_sec);
      } else {
        LogWrite(kLogError, "CPUQuota of application %s is \"%s\", not a percentage such as 50%%; ignored.",
                 app.c_str(), EscapeControlCharacters(text).c_str());
      }
    }
  }
  return limits;
}

void ConfineHost(RegistryStore* store, const std::string& group, pid_t pid, const std::set<std::string>& apps) {
  const ProcessLimits limits = ReadHostLimits(store, apps);
  if (limits.empty()) return;
  std::string where, why;
  if (ConfineProcess(pid, "zevhost-" + group, limits, &where, &why)) {
    LogWrite(kLogInfo, "The host %d of group %s runs in %s (MemoryMax %llu bytes, CPUQuota %llu us/s; 0: none).",
             static_cast<int>(pid), group.c_str(), where.c_str(),
             static_cast<unsigned long long>(limits.memory_max_bytes),
             static_cast<unsigned long long>(limits.cpu_quota_usec_per_sec));
  } else {
    LogWrite(kLogError, "The limits of group %s cannot be applied; its host %d runs without them: %s",
             group.c_str(), static_cast<int>(pid), why.c_str());
  }
}

}  // namespace zev
