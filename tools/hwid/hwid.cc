// libhwid.so: the hardware-identifier library. DllGetClassObject hands out
// an identifier object whose GetId answers:
//   kind 1  the DMI product UUID when readable, else one derived from
//           /etc/machine-id (upper case, GUID shape)
//   kind 2  /etc/machine-id
//   kind 3  the device "guid" kept in the registry (HKLM SOFTWARE\Varnel\NUV\2.0,
//           32-bit view), empty when none was written yet
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/digest.h"
#include "platform/hwid_api.h"
#include "platform/machine_info.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace zev {

namespace {

std::string Trimmed(const std::string& path) {
  std::string text;
  if (!ReadFileToString(path, &text)) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string MachineId() {
  std::string id = Trimmed("/etc/machine-id");
  if (id.empty()) id = Trimmed("/var/lib/dbus/machine-id");
  return id;
}

std::string HardwareUuid() {
  std::string uuid = Trimmed("/sys/class/dmi/id/product_uuid");
  if (uuid.empty()) {
    std::string id = MachineId();
    if (id.empty()) return std::string();
    std::string h = Sha256Hex(id.data(), id.size());
    uuid = h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20, 12);
  }
  for (char& c : uuid) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return uuid;
}

class HardwareId final : public IZEVHardwareId {
 public:
  int32_t QueryInterface(const GUID* iid, void** out) override {
    if (out == nullptr) return static_cast<int32_t>(0x80004003);  // E_POINTER
    if (iid == nullptr || *iid != TextToGuid(kHardwareIdGuidText)) {
      *out = nullptr;
      return static_cast<int32_t>(0x80004002);  // E_NOINTERFACE
    }
    AddRef();
    *out = this;
    return 0;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  int32_t GetTypeInfoCount(uint32_t* count) override {
    if (count) *count = 0;
    return 0;
  }
  int32_t GetId(int32_t kind, char** out) override {
    if (out == nullptr) return static_cast<int32_t>(0x80004003);
    std::string id;
    if (kind == 1) {
      id = HardwareUuid();
    } else if (kind == 2) {
      id = MachineId();
    } else if (kind == 3) {
      // The host may have moved its data folder since this library first
      // looked (the library keeps its own copy of the lookup).
      ForgetCommonDataDir();
      RegReadString(RegRoot::kLocalMachine, kDeviceGuidKey, "guid", &id, RegView::kWow64_32);
    } else {
      return static_cast<int32_t>(0x80070057);  // E_INVALIDARG
    }
    *out = strdup(id.c_str());
    return *out != nullptr ? 0 : static_cast<int32_t>(0x8007000E);
  }

 private:
  std::atomic<uint32_t> refs_{1};
};

}  // namespace

}  // namespace zev

extern "C" __attribute__((visibility("default"))) int32_t DllGetClassObject(const zev::GUID* clsid,
                                                                            const zev::GUID* iid, void** out) {
  if (out == nullptr) return static_cast<int32_t>(0x80004003);
  *out = nullptr;
  const zev::GUID ours = zev::TextToGuid(zev::kHardwareIdGuidText);
  if (clsid == nullptr || *clsid != ours) return static_cast<int32_t>(0x80040111);  // CLASS_E_CLASSNOTAVAILABLE
  auto* object = new (std::nothrow) zev::HardwareId();
  if (object == nullptr) return static_cast<int32_t>(0x8007000E);
  int32_t rc = object->QueryInterface(iid, out);
  object->Release();
  return rc;
}
