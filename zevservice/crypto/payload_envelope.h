// The envelope of every RPC payload, in both directions and on both
// transports: the payload is compressed with zlib, encrypted with
// AES-128-CBC under a key derived from a per-message seed and sent as base64
// text (the body); a 16-byte block carrying the seed and a CRC-32 of the
// ciphertext is encrypted under a fixed key and sent as GUID-shaped text (the
// etag: the "key" query parameter or "etag" header over HTTP, the "key:" and
// "etag:" header items over the pipe).
//
// Both functions are safe on any thread. What they keep between calls (zlib
// streams, keyed ciphers) belongs to the calling thread and never changes
// the bytes they produce or accept.
#ifndef ZEV_CRYPTO_PAYLOAD_ENVELOPE_H_
#define ZEV_CRYPTO_PAYLOAD_ENVELOPE_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "base/base64.h"
#include "base/byte_budget.h"

namespace zev {

// Largest payload decodePayload produces; a stream that would decompress to
// more fails (a small body cannot make the service allocate without bound).
constexpr size_t kMaxDecodedPayload = 64u << 20;

// Seals `plain`: *body is the base64 ciphertext, *etag the 36-character key
// block text. The seed is the first value of the C runtime generator seeded
// with the current time in seconds, so two payloads sealed in the same second
// share it (and equal payloads seal to equal texts).
void encodePayload(const std::string& plain, std::string* body, std::string* etag);
// The same with the seed given (tests, tools).
void encodePayloadWithSeed(const std::string& plain, int32_t seed, std::string* body, std::string* etag);

// Opens a sealed payload. False, with *plain empty, when the etag is not a
// key block, its checksum or the ciphertext's CRC does not match, the
// ciphertext or its padding is malformed, or the zlib stream is corrupt,
// truncated or larger than kMaxDecodedPayload. Decoding the body stops at the
// first "=" or character outside the base64 alphabet.
bool decodePayload(const std::string& body, const std::string& etag, std::string* plain);

enum class DecodeStatus { kOk, kInvalid, kOverBudget };
// decodePayload that takes every byte of the growing result from
// `reservation` first (null: no bound but kMaxDecodedPayload): kOverBudget,
// with *plain empty, when the budget ran out before the stream ended.
DecodeStatus decodePayloadWithin(const std::string& body, const std::string& etag, std::string* plain,
                                 ByteReservation* reservation);

// Pieces, exposed for tests and tools.
int32_t PayloadSeedForTime(time_t now);  // srand(now); rand() of the C runtime (0..32767)
// The key and IV of a seed: characters 0-15 and 16-31 of SHA-256 (hex) of
// its four little-endian bytes.
void PayloadKeyForSeed(int32_t seed, std::string* key, std::string* iv);

}  // namespace zev

#endif  // ZEV_CRYPTO_PAYLOAD_ENVELOPE_H_
