#include "platform/machine_info.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/hwid_api.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace zev {

const char kDeviceGuidKey[] = "SOFTWARE\\Varnel\\NUV\\2.0";
const char kDeviceGuidClassKey[] = "CLSID\\{700525C7-4A76-4EF7-AFE9-07D1F5BC3C05}";

namespace {

std::string Unquote(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

}  // namespace

std::string GetHardwareId(int kind) {
  std::string result;
  void* library = dlopen((GetModuleDir() + "libhwid.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return result;
  auto get_class = reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
  if (get_class != nullptr) {
    GUID id = TextToGuid(kHardwareIdGuidText);
    void* object = nullptr;
    try {
      if (get_class(&id, &id, &object) == 0 && object != nullptr) {
        auto* hwid = static_cast<IZEVHardwareId*>(object);
        char* text = nullptr;
        if (hwid->GetId(kind, &text) == 0 && text != nullptr) result = Utf8ToAnsi(text);
        free(text);
        hwid->Release();
      }
    } catch (...) {
      result.clear();
    }
  }
  dlclose(library);
  return result;
}

bool EnsureDeviceGuid() {
  std::string value;
  if (RegReadString(RegRoot::kClassesRoot, kDeviceGuidClassKey, "guid", &value, RegView::kWow64_32) &&
      !value.empty()) {
    return true;
  }
  if (!GetHardwareId(3).empty()) return true;
  std::string guid = ToLowerAscii(GuidToTextBare(NewGuid()));
  if (!RegWriteString(RegRoot::kLocalMachine, kDeviceGuidKey, "guid", guid, RegView::kWow64_32)) return false;
  return !GetHardwareId(3).empty();
}

void GetIdentityInfo(IdentityInfo* identity) {
  EnsureDeviceGuid();
  identity->deviceId = GetHardwareId(3);
  identity->uid = GetHardwareId(2);
  identity->hardwareId = GetHardwareId(1);
  identity->exeVersion = GetFileVersionText(GetModulePath());
  identity->platform = "linux";
  identity->bits = 64;
}

std::string OsNameFromOsRelease(const std::string& os_release) {
  std::string id, version;
  std::istringstream in(os_release);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("ID=", 0) == 0) id = Unquote(Trim(line.substr(3)));
    if (line.rfind("VERSION_ID=", 0) == 0) version = Unquote(Trim(line.substr(11)));
  }
  if (id.empty()) return "unknown";
  return id + version;
}

std::string GetOsName() {
  std::string text;
  if (!ReadFileToString("/etc/os-release", &text) && !ReadFileToString("/usr/lib/os-release", &text)) {
    return "unknown";
  }
  return OsNameFromOsRelease(text);
}

std::string GetOsVersion() {
  struct utsname u;
  if (uname(&u) != 0) return "unknown";
  return u.release;
}

std::string GetProcessorCode(int32_t* code) {
  struct utsname u;
  if (uname(&u) != 0) return "0";
  std::string machine = u.machine;
  if (machine == "x86_64") {
    *code = 2;
    return "AMD64";
  }
  if (machine == "aarch64" || machine.rfind("arm", 0) == 0) {
    *code = 3;
    return "ARM";
  }
  if (machine.rfind("mips", 0) == 0) {
    *code = 4;
    return "MIPS";
  }
  if (machine.rfind("ppc", 0) == 0) {
    *code = 7;
    return "PPC";
  }
  return machine;
}

bool HasDefaultGateway(const std::string& route_table, const std::string& iface, std::string* gateway) {
  std::istringstream in(route_table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, destination, gw;
    if (!(fields >> name >> destination >> gw) || name != iface || destination != "00000000") continue;
    uint32_t addr = static_cast<uint32_t>(strtoul(gw.c_str(), nullptr, 16));
    char text[INET_ADDRSTRLEN];
    struct in_addr a;
    a.s_addr = addr;  // /proc/net/route holds it in network order already, as hex of the raw word
    if (inet_ntop(AF_INET, &a, text, sizeof(text)) == nullptr) continue;
    *gateway = text;
    return true;
  }
  return false;
}

bool GetAdapterAddress(std::string* ip, std::string* mac) {
  std::string routes;
  ReadFileToString("/proc/net/route", &routes);
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (struct ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_netmask == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    char addr[INET_ADDRSTRLEN], mask[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, addr, sizeof(addr));
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr, mask, sizeof(mask));
    std::string gateway;
    if (addr[0] == '0' || mask[0] == '0' || !HasDefaultGateway(routes, a->ifa_name, &gateway) ||
        gateway.empty() || gateway[0] == '0') {
      continue;
    }
    std::string hw;
    ReadFileToString(std::string("/sys/class/net/") + a->ifa_name + "/address", &hw);
    hw = Trim(hw);
    std::string formatted;
    for (char c : hw) formatted.push_back(c == ':' ? '-' : static_cast<char>(toupper(static_cast<unsigned char>(c))));
    *ip = addr;
    *mac = formatted;
    found = true;
  }
  freeifaddrs(list);
  return found;
}

std::string GetComputerNameText() {
  char name[256] = {0};
  if (gethostname(name, sizeof(name) - 1) != 0) return std::string();
  return name;
}

void GetSystemInfoRecord(SystemInfoRecord* record) {
  record->ip.clear();
  record->mac.clear();
  GetAdapterAddress(&record->ip, &record->mac);
  record->osType = GetOsName();
  record->osVersion = GetOsVersion();
  record->archFlag = 0;
  GetProcessorCode(&record->archFlag);
  record->pcName = GetComputerNameText();
}

}  // namespace zev
