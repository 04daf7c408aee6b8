// Arbitrary reply data through DecryptText: never a crash or an
// out-of-bounds read; what decrypts encrypts back to a text that decrypts
// to the same plain text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/server_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  static const std::string key = ContentKey();
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string plain = DecryptText(text, key);
  if (plain.find('\0') != std::string::npos) abort();
  if (!plain.empty() && DecryptText(EncryptText(plain, key), key) != plain) abort();
  return 0;
}
