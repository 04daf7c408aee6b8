#include "platform/machine_info.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/paths.h"
#include "platform/registry.h"
#include "testing/test_util.h"

namespace zev {

TEST(MachineInfo, TheLibraryAnswersEveryKind) {
  ScopedCommonDataDir common;
  std::string uid = GetHardwareId(2);
  std::string machine_id;
  ReadFileToString("/etc/machine-id", &machine_id);
  if (!machine_id.empty()) {
    EXPECT_EQ(uid + "\n", machine_id);
  }
  EXPECT_TRUE(std::regex_match(GetHardwareId(1), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << GetHardwareId(1);
  EXPECT_EQ(GetHardwareId(3), "");  // no device guid written yet
  EXPECT_EQ(GetHardwareId(9), "");

  // The first call writes a device guid that the library then answers.
  ASSERT_TRUE(EnsureDeviceGuid());
  std::string guid = GetHardwareId(3);
  EXPECT_TRUE(std::regex_match(guid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}"))) << guid;
  std::string stored;
  ASSERT_TRUE(RegReadString(RegRoot::kLocalMachine, "SOFTWARE\\WOW6432Node\\Varnel\\NUV\\2.0", "guid", &stored));
  EXPECT_EQ(stored, guid);
  ASSERT_TRUE(EnsureDeviceGuid());
  EXPECT_EQ(GetHardwareId(3), guid);  // kept, not replaced

  IdentityInfo identity;
  GetIdentityInfo(&identity);
  EXPECT_EQ(identity.deviceId, guid);
  EXPECT_EQ(identity.platform, "linux");
  EXPECT_EQ(identity.bits, 64);
  EXPECT_EQ(identity.exeVersion, GetProgramVersion());
}

TEST(MachineInfo, SystemFactsOfThisMachine) {
  SystemInfoRecord record;
  GetSystemInfoRecord(&record);
  EXPECT_FALSE(record.pcName.empty());
  EXPECT_FALSE(record.osVersion.empty());
  EXPECT_NE(record.osType, "unknown");
  if (!record.ip.empty()) {
    EXPECT_TRUE(std::regex_match(record.ip, std::regex("[1-9][0-9]*\\.[0-9]+\\.[0-9]+\\.[0-9]+"))) << record.ip;
    EXPECT_TRUE(std::regex_match(record.mac, std::regex("([0-9A-F]{2}-){5}[0-9A-F]{2}"))) << record.mac;
  }
#if defined(__x86_64__)
  EXPECT_EQ(record.archFlag, 2);
#endif
  EXPECT_EQ(OsNameFromOsRelease("NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n"), "debian12");
  EXPECT_EQ(OsNameFromOsRelease(""), "unknown");
}

TEST(MachineInfo, GatewaysComeFromTheRouteTable) {
  const std::string table =
      "Iface\tDestination\tGateway \tFlags\n"
      "eth1\t0000A8C0\t00000000\t0001\n"
      "eth0\t00000000\t0102A8C0\t0003\n";
  std::string gateway;
  ASSERT_TRUE(HasDefaultGateway(table, "eth0", &gateway));
  EXPECT_EQ(gateway, "192.168.2.1");
  EXPECT_FALSE(HasDefaultGateway(table, "eth1", &gateway));  // no default route: passed over
  EXPECT_FALSE(HasDefaultGateway(table, "lo", &gateway));
}

}  // namespace zev
