// Arbitrary bodies and etags through decodePayload. The first 36 bytes are
// the etag; when the input is a sealed payload of our own, the rest is too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crypto/payload_envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string etag = input.substr(0, 36);
  std::string body = size > 36 ? input.substr(36) : std::string();
  std::string plain;
  bool ok = decodePayload(body, etag, &plain);
  if (!ok && !plain.empty()) abort();  // a failure leaves nothing behind
  if (plain.size() > kMaxDecodedPayload) abort();
  if (ok) {
    // What opens must seal and open again to the same bytes.
    std::string body2, etag2, plain2;
    encodePayloadWithSeed(plain, 1, &body2, &etag2);
    if (!decodePayload(body2, etag2, &plain2) || plain2 != plain) abort();
  }
  return 0;
}
