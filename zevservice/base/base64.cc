#include "base/base64.h"

#include <array>
#include <cstdint>

namespace zev {

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), o = 0, i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = static_cast<uint32_t>(in[i]) << 16 | static_cast<uint32_t>(in[i + 1]) << 8 | in[i + 2];
    out[o++] = kBase64Alphabet[v >> 18];
    out[o++] = kBase64Alphabet[(v >> 12) & 63];
    out[o++] = kBase64Alphabet[(v >> 6) & 63];
    out[o++] = kBase64Alphabet[v & 63];
  }
  if (i < n) {
    uint32_t v = static_cast<uint32_t>(in[i]) << 16 | (i + 1 < n ? static_cast<uint32_t>(in[i + 1]) << 8 : 0);
    out[o++] = kBase64Alphabet[v >> 18];
    out[o++] = kBase64Alphabet[(v >> 12) & 63];
    out[o++] = i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  static const auto table = [] {
    std::array<int8_t, 256> t;
    t.fill(-1);
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
    return t;
  }();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  // The data ends at "=" or the first character outside the alphabet.
  size_t n = 0;
  while (n < text.size() && table[in[n]] >= 0) ++n;
  std::string out(n / 4 * 3 + (n % 4 == 3 ? 2 : n % 4 == 2 ? 1 : 0), '\0');
  auto* o = reinterpret_cast<unsigned char*>(&out[0]);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t v = static_cast<uint32_t>(table[in[i]]) << 18 | static_cast<uint32_t>(table[in[i + 1]]) << 12 |
                 static_cast<uint32_t>(table[in[i + 2]]) << 6 | static_cast<uint32_t>(table[in[i + 3]]);
    *o++ = static_cast<unsigned char>(v >> 16);
    *o++ = static_cast<unsigned char>(v >> 8);
    *o++ = static_cast<unsigned char>(v);
  }
  if (n - i >= 2) {
    uint32_t v = static_cast<uint32_t>(table[in[i]]) << 18 | static_cast<uint32_t>(table[in[i + 1]]) << 12;
    if (n - i == 3) v |= static_cast<uint32_t>(table[in[i + 2]]) << 6;
    *o++ = static_cast<unsigned char>(v >> 16);
    if (n - i == 3) *o++ = static_cast<unsigned char>(v >> 8);
  }
  return out;
}

}  // namespace zev
