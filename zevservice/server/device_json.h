// The device JSON: the machine facts sent as the payload of the catalogue request.
#ifndef ZEV_SERVER_DEVICE_JSON_H_
#define ZEV_SERVER_DEVICE_JSON_H_

#include <string>

#include "platform/machine_info.h"

namespace zev {

// The server's codes for the identity's word size (2 for 64 bits, else 1)
// and platform (1 for "windows", else 2).
int ArchitectureCode(const IdentityInfo& identity);
int PlatformCode(const IdentityInfo& identity);

// One compact JSON object, members in byte order of their names: "arch" (2
// for 64 bits, else 1), "deviceId", "hardwareId", "ip", "macaddr", "osType",
// "osVersion", "pcName", "platform" (1 for "windows", else 2), "uid". False,
// with *json untouched, when deviceId is empty.
bool BuildDeviceJson(const IdentityInfo& identity, const SystemInfoRecord& system, std::string* json);

}  // namespace zev

#endif  // ZEV_SERVER_DEVICE_JSON_H_
