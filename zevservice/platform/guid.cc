#include "platform/guid.h"

#include "platform/bytes.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <random>

namespace zev {

bool GUID::operator==(const GUID& o) const {
  return Data1 == o.Data1 && Data2 == o.Data2 && Data3 == o.Data3 &&
         memcmp(Data4, o.Data4, sizeof(Data4)) == 0;
}

GUID NewGuid() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof(bytes)) {
    ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof(bytes)) {  // getrandom cannot fail after boot; keep a fallback anyway
    std::random_device rd;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(rd());
  }
  GUID g;
  g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<uint16_t>((((bytes[6] << 8) | bytes[7]) & 0x0FFF) | 0x4000);
  memcpy(g.Data4, bytes + 8, 8);
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

std::string GuidToText(const GUID& g) {
  char buf[64];
  snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
           g.Data4[6], g.Data4[7]);
  return buf;
}

std::string GuidToTextBare(const GUID& g) {
  std::string text = GuidToText(g);
  return text.substr(1, text.size() - 2);
}

GUID TextToGuid(const std::string& text) {
  // Checked by hand rather than with sscanf, which would accept signs, blanks
  // and short fields inside the digits.
  static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  GUID g;
  if (text.size() != sizeof(kShape) - 1) return GUID();
  unsigned char bytes[16];
  int nibble = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (kShape[i] != 'X') {
      if (c != kShape[i]) return GUID();
      continue;
    }
    int v = HexDigitValue(c);
    if (v < 0) return GUID();
    if (nibble % 2 == 0) bytes[nibble / 2] = static_cast<unsigned char>(v << 4);
    else bytes[nibble / 2] = static_cast<unsigned char>(bytes[nibble / 2] | v);
    ++nibble;
  }
  g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  memcpy(g.Data4, bytes + 8, 8);
  return g;
}

}  // namespace zev
