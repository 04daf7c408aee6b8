// GUIDs and their text forms.
#ifndef ZEV_PLATFORM_GUID_H_
#define ZEV_PLATFORM_GUID_H_

#include <cstdint>
#include <string>

namespace zev {

struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};

  bool operator==(const GUID& o) const;
  bool operator!=(const GUID& o) const { return !(*this == o); }
};

// A new random (version 4) GUID from the kernel's random source.
GUID NewGuid();
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, with braces.
std::string GuidToText(const GUID& guid);
// The same without braces.
std::string GuidToTextBare(const GUID& guid);
// The reverse of GuidToText (hex digits of either case). The all-zero GUID
// when the text is not of that form.
GUID TextToGuid(const std::string& text);

}  // namespace zev

#endif  // ZEV_PLATFORM_GUID_H_
