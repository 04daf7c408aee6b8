// The call sequence of the hardware-identifier library (libhwid.so), shared
// by the library and its caller: DllGetClassObject hands out an object whose
// slot 4 answers an identifier of a kind; slot 2 releases it.
#ifndef ZEV_PLATFORM_HWID_API_H_
#define ZEV_PLATFORM_HWID_API_H_

#include <cstdint>

#include "platform/guid.h"

namespace zev {

// Class and interface id of the identifier object (the same GUID for both).
constexpr const char kHardwareIdGuidText[] = "{89987A4D-434A-4B3C-A6A1-41F2B7ADC1A4}";

class IZEVHardwareId {
 public:
  virtual int32_t QueryInterface(const GUID* iid, void** out) = 0;  // slot 0
  virtual uint32_t AddRef() = 0;                                    // slot 1
  virtual uint32_t Release() = 0;                                   // slot 2
  virtual int32_t GetTypeInfoCount(uint32_t* count) = 0;            // slot 3, unused
  // Slot 4: kind 1 hardware id, 2 machine uid, 3 device guid. Answers 0 and
  // a text allocated with malloc (the caller frees it) or non-zero.
  virtual int32_t GetId(int32_t kind, char** out) = 0;

 protected:
  ~IZEVHardwareId() = default;
};

// Exported by the library with C linkage.
using DllGetClassObjectFn = int32_t (*)(const GUID* clsid, const GUID* iid, void** out);

}  // namespace zev

#endif  // ZEV_PLATFORM_HWID_API_H_
