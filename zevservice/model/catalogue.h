// Rules of the component catalogue that every user of it relies on: version
// order, architecture names and bitness, the validity window.
#ifndef ZEV_MODEL_CATALOGUE_H_
#define ZEV_MODEL_CATALOGUE_H_

#include <cstdint>
#include <string>

#include "common/zevclasses/ZEVCommonDefine.pb.h"

namespace zev {

// Put in expiredTime by the catalogue readers when a source gives none:
// 2099-12-31 16:00:00 UTC in milliseconds.
constexpr int64_t kDefaultExpiredTimeMs = 4102416000000LL;

// Compares two version strings segment by segment ("." separated). A
// segment's value is built character by character as value * 10 + (c - '0')
// without checking for digits, in 32-bit arithmetic that wraps; a missing
// segment is 0. Returns -1, 0 or 1. So 1.10 > 1.9, 2 == 2.0.0, 1.02 == 1.2.
int CompareVersion(const std::string& a, const std::string& b);
// A text that two versions share exactly when CompareVersion finds them
// equal ("1.2", "1.2.0" and "1.02" give the same), for hashing and maps.
std::string VersionKey(const std::string& version);

// "None", "x86", "x64", "ARMv7", "Mips64el", "Loongarch" by archType value;
// "atNone" for any other value.
std::string ArchName(int arch_type);
// 32 for atx86, 64 for atx64, 0 otherwise.
int ArchBits(int arch_type);

// Whether a version with these parameters is valid at `now_seconds`
// (triggerTime/1000 <= now <= expiredTime/1000, integer division).
bool IsValidAt(const CZEVExecParams& params, int64_t now_seconds);
// Whether the version has expired (expiredTime/1000 below `now_seconds`);
// the component manager refuses such versions.
bool IsExpired(const CZEVExecParams& params, int64_t now_seconds);

// The key of a component version: application code, componentID, version
// and architecture name joined by "#".
std::string MakeTaskKey(const std::string& app_code, const std::string& component_id,
                        const std::string& version, const std::string& arch_name);

}  // namespace zev

#endif  // ZEV_MODEL_CATALOGUE_H_
