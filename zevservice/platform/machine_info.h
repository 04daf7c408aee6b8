// Facts about the machine that identify it to the strategy server.
#ifndef ZEV_PLATFORM_MACHINE_INFO_H_
#define ZEV_PLATFORM_MACHINE_INFO_H_

#include <cstdint>
#include <string>

namespace zev {

struct IdentityInfo {
  std::string deviceId;    // hardware identifier of kind 3
  std::string uid;         // kind 2
  std::string hardwareId;  // kind 1
  std::string exeVersion;  // the program's version
  std::string platform = "linux";
  int32_t bits = 64;
};

struct SystemInfoRecord {
  std::string ip;   // IPv4 address of the chosen adapter (empty when none)
  std::string mac;  // its address, "AA-BB-CC-DD-EE-FF" (empty when none)
  std::string pcName;
  std::string osType;     // ID and VERSION_ID of /etc/os-release run together: "debian12"
  std::string osVersion;  // the kernel release
  int32_t archFlag = 0;   // 2 x86_64, 3 ARM (aarch64), 0 otherwise
};

// Asks libhwid.so (in the program's directory) for an identifier of `kind`
// (1 hardware, 2 machine uid, 3 device guid). Empty on any failure.
std::string GetHardwareId(int kind);
// Makes sure a device GUID exists (writing a new one to the registry when
// neither the registry nor the library has one). True when one exists.
bool EnsureDeviceGuid();
void GetIdentityInfo(IdentityInfo* identity);
void GetSystemInfoRecord(SystemInfoRecord* record);

std::string GetOsName();
std::string GetOsVersion();
// The processor's name ("AMD64", "ARM", ...); *code set for known ones.
std::string GetProcessorCode(int32_t* code);
// The first IPv4 interface with an address, a netmask and a default gateway
// that do not start with "0". False (outputs unchanged) when there is none.
bool GetAdapterAddress(std::string* ip, std::string* mac);
std::string GetComputerNameText();

// Where the device GUID lives: HKLM SOFTWARE\Varnel\NUV\2.0 "guid" in the
// 32-bit view, and the value that is looked at first.
extern const char kDeviceGuidKey[];
extern const char kDeviceGuidClassKey[];

// The parsing behind GetAdapterAddress and GetOsName (exposed for tests).
// `route_table` is /proc/net/route; true when `iface` has a default gateway.
bool HasDefaultGateway(const std::string& route_table, const std::string& iface, std::string* gateway);
std::string OsNameFromOsRelease(const std::string& os_release);

}  // namespace zev

#endif  // ZEV_PLATFORM_MACHINE_INFO_H_
