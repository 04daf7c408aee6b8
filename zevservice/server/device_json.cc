#include "server/device_json.h"

#include <json/json.h>

#include "contract/strict_json.h"
#include "platform/text.h"

namespace zev {

int ArchitectureCode(const IdentityInfo& identity) { return identity.bits == 64 ? 2 : 1; }

int PlatformCode(const IdentityInfo& identity) { return identity.platform == "windows" ? 1 : 2; }

bool BuildDeviceJson(const IdentityInfo& identity, const SystemInfoRecord& system, std::string* json) {
  if (identity.deviceId.empty()) return false;
  Json::Value root(Json::objectValue);  // members are kept in byte order of their names
  root["deviceId"] = identity.deviceId;
  root["arch"] = ArchitectureCode(identity);
  root["platform"] = PlatformCode(identity);
  root["hardwareId"] = identity.hardwareId;
  root["uid"] = identity.uid;
  root["ip"] = system.ip;
  root["macaddr"] = system.mac;
  root["pcName"] = system.pcName;
  root["osType"] = system.osType;
  root["osVersion"] = system.osVersion;
  std::string text = TrimLineEnd(WriteCompactJson(root, /*utf8=*/true));  // texts go as they are held
  if (text.empty()) return false;
  *json = text;
  return true;
}

}  // namespace zev
