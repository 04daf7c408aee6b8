#include "hosting/crash_loop.h"

namespace zev {

void CrashLoopWatch::Started(const std::string& component, const std::string& version, int64_t now_ms) {
  watched_[component] = Watch{version, now_ms, 0};
}

bool CrashLoopWatch::Failed(const std::string& component, const std::string& version, int64_t now_ms) {
  auto found = watched_.find(component);
  if (found == watched_.end()) return false;
  Watch& watch = found->second;
  if (watch.version != version) return false;
  if (now_ms - watch.started_ms > window_ms_) {
    // It ran through its window: a later failure is not a crash loop of a
    // new version.
    watched_.erase(found);
    return false;
  }
  if (++watch.failures < failures_) return false;
  watched_.erase(found);
  return true;
}

}  // namespace zev
