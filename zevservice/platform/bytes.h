// Byte-level helpers shared by every layer: hexadecimal digits,
// little-endian integers and UTF-8 encoding. Header-only, so that the value
// library (which links nothing of ours) can use them too.
#ifndef ZEV_PLATFORM_BYTES_H_
#define ZEV_PLATFORM_BYTES_H_

#include <cstdint>
#include <string>

namespace zev {

// The value of a hexadecimal digit of either case; -1 for any other character.
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline uint32_t GetLE32(const void* at) {
  const auto* u = static_cast<const unsigned char*>(at);
  return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 | static_cast<uint32_t>(u[2]) << 16 |
         static_cast<uint32_t>(u[3]) << 24;
}

inline void PutLE32(void* at, uint32_t v) {
  auto* u = static_cast<unsigned char*>(at);
  u[0] = static_cast<unsigned char>(v);
  u[1] = static_cast<unsigned char>(v >> 8);
  u[2] = static_cast<unsigned char>(v >> 16);
  u[3] = static_cast<unsigned char>(v >> 24);
}

inline void AppendLE32(std::string* out, uint32_t v) {
  unsigned char b[4];
  PutLE32(b, v);
  out->append(reinterpret_cast<const char*>(b), sizeof(b));
}

// Appends the UTF-8 form of a code point. The caller passes a valid scalar
// value (at most 0x10FFFF, no surrogate).
inline void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace zev

#endif  // ZEV_PLATFORM_BYTES_H_
