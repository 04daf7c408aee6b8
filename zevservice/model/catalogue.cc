#include "model/catalogue.h"

#include <vector>

namespace zev {

namespace {

// Value of the segment starting at *pos; advances past it and its ".".
int32_t NextSegment(const std::string& text, size_t* pos) {
  uint32_t value = 0;  // unsigned, so that long segments wrap instead of overflowing
  while (*pos < text.size() && text[*pos] != '.') {
    value = value * 10u + static_cast<uint32_t>(static_cast<int32_t>(text[*pos]) - '0');
    ++*pos;
  }
  if (*pos < text.size()) ++*pos;  // the "."
  return static_cast<int32_t>(value);
}

}  // namespace

int CompareVersion(const std::string& a, const std::string& b) {
  size_t pa = 0, pb = 0;
  while (pa < a.size() || pb < b.size()) {
    int32_t va = pa < a.size() ? NextSegment(a, &pa) : 0;
    int32_t vb = pb < b.size() ? NextSegment(b, &pb) : 0;
    if (va != vb) return va < vb ? -1 : 1;
  }
  return 0;
}

std::string VersionKey(const std::string& version) {
  std::vector<int32_t> segments;
  size_t pos = 0;
  while (pos < version.size()) segments.push_back(NextSegment(version, &pos));
  // A missing segment counts as 0, so trailing zeros do not tell versions apart.
  while (!segments.empty() && segments.back() == 0) segments.pop_back();
  std::string key;
  for (int32_t segment : segments) key += std::to_string(segment) + ".";
  return key;
}

std::string ArchName(int arch_type) {
  static const char* kNames[] = {"None", "x86", "x64", "ARMv7", "Mips64el", "Loongarch"};
  if (arch_type < 0 || arch_type > 5) return "atNone";
  return kNames[arch_type];
}

int ArchBits(int arch_type) {
  if (arch_type == atx86) return 32;
  if (arch_type == atx64) return 64;
  return 0;
}

bool IsValidAt(const CZEVExecParams& params, int64_t now_seconds) {
  return params.triggertime() / 1000 <= now_seconds && now_seconds <= params.expiredtime() / 1000;
}

bool IsExpired(const CZEVExecParams& params, int64_t now_seconds) {
  return params.expiredtime() / 1000 < now_seconds;
}

std::string MakeTaskKey(const std::string& app_code, const std::string& component_id,
                        const std::string& version, const std::string& arch_name) {
  return app_code + "#" + component_id + "#" + version + "#" + arch_name;
}

}  // namespace zev
