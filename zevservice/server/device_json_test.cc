#include "server/device_json.h"

#include <gtest/gtest.h>

namespace zev {

TEST(DeviceJson, CompactSortedMembers) {
  IdentityInfo identity;
  identity.deviceId = "dev";
  identity.uid = "u\"1";
  identity.hardwareId = "HW";
  identity.platform = "windows";
  SystemInfoRecord system;
  system.pcName = "host";
  system.osType = "debian12";
  system.osVersion = "6.1.0";
  std::string json;
  ASSERT_TRUE(BuildDeviceJson(identity, system, &json));
  EXPECT_EQ(json,
            "{\"arch\":2,\"deviceId\":\"dev\",\"hardwareId\":\"HW\",\"ip\":\"\",\"macaddr\":\"\",\"osType\":\"debian12\","
            "\"osVersion\":\"6.1.0\",\"pcName\":\"host\",\"platform\":1,\"uid\":\"u\\\"1\"}");
  identity.platform = "linux";
  identity.bits = 32;
  ASSERT_TRUE(BuildDeviceJson(identity, system, &json));
  EXPECT_NE(json.find("\"arch\":1"), std::string::npos);
  EXPECT_NE(json.find("\"platform\":2"), std::string::npos);

  identity.deviceId.clear();
  json = "untouched";
  EXPECT_FALSE(BuildDeviceJson(identity, system, &json));
  EXPECT_EQ(json, "untouched");
}

}  // namespace zev
