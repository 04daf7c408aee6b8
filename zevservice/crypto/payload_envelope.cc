#include "crypto/payload_envelope.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/base64.h"
#include "platform/bytes.h"
#include "platform/digest.h"
#include "crypto/crypto_algorithm.h"

namespace zev {

namespace {

const unsigned char kEtagKey[] = "5c0e9b27d13f86a4";
const unsigned char kEtagIV[] = "e2b7409d6f1a53c8";
constexpr size_t kEtagBlockSize = 16;

// Runs AES-128-CBC through the algorithm facade. False on failure.
bool Aes128Cbc(int32_t operation, int32_t padding, const unsigned char* key, const unsigned char* iv,
               const std::string& input, std::string* output) {
  if (input.size() > static_cast<size_t>(INT32_MAX - 32)) return false;
  std::unique_ptr<IZEVAlgorithm> aes(createAlgorithm(kAlgorithmAES));
  TZEVSecretKey secret(padding, operation, kModeCBC, key, iv, 1);
  aes->setKey(&secret);
  unsigned char* out = nullptr;
  int32_t out_len = 0;
  if (aes->process(reinterpret_cast<const unsigned char*>(input.data()), static_cast<int32_t>(input.size()),
                   &out, &out_len) != 1) {
    return false;
  }
  std::unique_ptr<unsigned char[]> owned(out);
  output->assign(reinterpret_cast<const char*>(out), static_cast<size_t>(out_len));
  return true;
}

unsigned char Checksum(const unsigned char* block) {
  unsigned sum = 0;
  for (size_t i = 0; i < 15; ++i) sum += block[i];
  return static_cast<unsigned char>(sum & 0xFF);
}

// The 16 bytes read as a GUID (little-endian uint32, two uint16, 8 bytes),
// printed without braces.
std::string BlockToEtag(const unsigned char* b) {
  static const char kHex[] = "0123456789ABCDEF";
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text(36, '-');
  size_t at = 0;
  for (int pair = 0; pair < 16; ++pair) {
    if (at == 8 || at == 13 || at == 18 || at == 23) ++at;
    text[at++] = kHex[b[kOrder[pair]] >> 4];
    text[at++] = kHex[b[kOrder[pair]] & 15];
  }
  return text;
}

// PayloadKeyForSeed, remembered per thread for the last seeds seen: the
// seed of a sealed answer changes once a second, and a client's calls
// mostly share theirs.
struct SeedKey {
  int32_t seed = -1;  // seeds are 0..32767; -1: no entry yet
  std::string key, iv;
};
const SeedKey& KeyForSeed(int32_t seed) {
  thread_local SeedKey cache[2];
  thread_local unsigned next = 0;
  for (const SeedKey& entry : cache) {
    if (entry.seed == seed && seed != -1) return entry;
  }
  SeedKey& entry = cache[next++ % 2];
  PayloadKeyForSeed(seed, &entry.key, &entry.iv);
  entry.seed = seed;
  return entry;
}

// The reverse of BlockToEtag; digits of either case. False unless the text
// has exactly the GUID shape.
bool EtagToBlock(const std::string& etag, unsigned char* block) {
  static const char kShape[] = "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";
  // Byte positions in the block of the 16 digit pairs, in text order.
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  if (etag.size() != sizeof(kShape) - 1) return false;
  int pair = 0;
  for (size_t i = 0; i < etag.size();) {
    if (kShape[i] == '-') {
      if (etag[i] != '-') return false;
      ++i;
      continue;
    }
    int hi = HexDigitValue(etag[i]), lo = HexDigitValue(etag[i + 1]);
    if (hi < 0 || lo < 0) return false;
    block[kOrder[pair++]] = static_cast<unsigned char>(hi << 4 | lo);
    i += 2;
  }
  return pair == 16;
}

// zlib streams kept per thread: setting one up allocates some 256 KiB,
// which costs more than compressing a small call. Reset streams produce the
// same bytes as fresh ones.
class ThreadDeflater {
 public:
  ThreadDeflater() {
    memset(&zs_, 0, sizeof(zs_));
    ok_ = deflateInit(&zs_, 1) == Z_OK;
  }
  ~ThreadDeflater() {
    if (ok_) deflateEnd(&zs_);
  }
  // compress2(level 1) of `in`; false only when zlib fails.
  bool Compress(const std::string& in, std::string* out) {
    if (!ok_ || deflateReset(&zs_) != Z_OK) return false;
    out->resize(deflateBound(&zs_, in.size()));
    zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs_.avail_in = static_cast<uInt>(in.size());
    zs_.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
    zs_.avail_out = static_cast<uInt>(out->size());
    if (deflate(&zs_, Z_FINISH) != Z_STREAM_END) return false;
    out->resize(zs_.total_out);
    return true;
  }

 private:
  z_stream zs_;
  bool ok_;
};

class ThreadInflater {
 public:
  ThreadInflater() {
    memset(&zs_, 0, sizeof(zs_));
    ok_ = inflateInit(&zs_) == Z_OK;
  }
  ~ThreadInflater() {
    if (ok_) inflateEnd(&zs_);
  }
  // Inflates a whole zlib stream into *out, growing it from `start_size`,
  // never beyond kMaxDecodedPayload, each size taken from `reservation`
  // first (when given).
  DecodeStatus Inflate(const std::string& compressed, size_t start_size, std::string* out,
                       ByteReservation* reservation) {
    if (!ok_ || inflateReset(&zs_) != Z_OK) return DecodeStatus::kInvalid;
    zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    zs_.avail_in = static_cast<uInt>(compressed.size());
    size_t size = std::min(std::max<size_t>(start_size, 256), kMaxDecodedPayload);
    // Growing copies the old buffer into the new one: both are held at once.
    if (reservation != nullptr && !reservation->GrowTo(size)) return DecodeStatus::kOverBudget;
    out->resize(size);
    size_t produced = 0;
    int rc;
    for (;;) {
      if (produced == out->size()) {
        if (out->size() >= kMaxDecodedPayload) {
          rc = Z_MEM_ERROR;
          break;
        }
        size_t grown = std::min(out->size() * 2, kMaxDecodedPayload);
        if (reservation != nullptr && !reservation->GrowTo(out->size() + grown)) {
          out->clear();
          out->shrink_to_fit();
          return DecodeStatus::kOverBudget;
        }
        out->resize(grown);
      }
      zs_.next_out = reinterpret_cast<Bytef*>(&(*out)[produced]);
      zs_.avail_out = static_cast<uInt>(out->size() - produced);
      rc = inflate(&zs_, Z_NO_FLUSH);
      produced = out->size() - zs_.avail_out;
      if (rc == Z_STREAM_END) break;
      if (rc != Z_OK && rc != Z_BUF_ERROR) break;
      if (rc == Z_BUF_ERROR && zs_.avail_in == 0) break;  // truncated stream
    }
    if (rc != Z_STREAM_END) {
      out->clear();
      out->shrink_to_fit();
      return DecodeStatus::kInvalid;
    }
    out->resize(produced);
    return DecodeStatus::kOk;
  }

 private:
  z_stream zs_;
  bool ok_;
};

}  // namespace

int32_t PayloadSeedForTime(time_t now) {
  // The C runtime's generator: state = seed * 214013 + 2531011, value = bits 16..30.
  uint32_t state = static_cast<uint32_t>(now) * 214013u + 2531011u;
  return static_cast<int32_t>((state >> 16) & 0x7FFF);
}

void PayloadKeyForSeed(int32_t seed, std::string* key, std::string* iv) {
  unsigned char le[4];
  PutLE32(le, static_cast<uint32_t>(seed));
  std::string hash = Sha256Hex(le, sizeof(le));
  *key = hash.substr(0, 16);
  *iv = hash.substr(16, 16);
}

void encodePayloadWithSeed(const std::string& plain, int32_t seed, std::string* body, std::string* etag) {
  const SeedKey& seed_key = KeyForSeed(seed);
  const std::string& key = seed_key.key;
  const std::string& iv = seed_key.iv;

  thread_local ThreadDeflater deflater;
  std::string compressed;
  if (!deflater.Compress(plain, &compressed)) {
    // zlib cannot fail on a bound-sized buffer; fall back to the one-shot call.
    uLongf compressed_len = compressBound(plain.size());
    compressed.assign(compressed_len, '\0');
    compress2(reinterpret_cast<Bytef*>(&compressed[0]), &compressed_len,
              reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 1);
    compressed.resize(compressed_len);
  }

  std::string cipher;
  Aes128Cbc(kOperationEncrypt, kPaddingPkcs, reinterpret_cast<const unsigned char*>(key.data()),
            reinterpret_cast<const unsigned char*>(iv.data()), compressed, &cipher);
  uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(cipher.data()),
                                             static_cast<uInt>(cipher.size())));

  unsigned char block[kEtagBlockSize] = {0};
  PutLE32(block + 3, static_cast<uint32_t>(seed));
  PutLE32(block + 7, static_cast<uint32_t>(cipher.size()));
  PutLE32(block + 11, crc);
  block[15] = Checksum(block);
  std::string sealed_block;
  Aes128Cbc(kOperationEncrypt, kPaddingNone, kEtagKey, kEtagIV,
            std::string(reinterpret_cast<const char*>(block), sizeof(block)), &sealed_block);
  *etag = BlockToEtag(reinterpret_cast<const unsigned char*>(sealed_block.data()));
  *body = Base64Encode(cipher);
}

void encodePayload(const std::string& plain, std::string* body, std::string* etag) {
  encodePayloadWithSeed(plain, PayloadSeedForTime(time(nullptr)), body, etag);
}

bool decodePayload(const std::string& body, const std::string& etag, std::string* plain) {
  return decodePayloadWithin(body, etag, plain, nullptr) == DecodeStatus::kOk;
}

DecodeStatus decodePayloadWithin(const std::string& body, const std::string& etag, std::string* plain,
                                 ByteReservation* reservation) {
  constexpr DecodeStatus kInvalid = DecodeStatus::kInvalid;
  plain->clear();
  std::string cipher = Base64Decode(body);

  unsigned char sealed[kEtagBlockSize];
  if (!EtagToBlock(etag, sealed)) return kInvalid;
  std::string block;
  if (!Aes128Cbc(kOperationDecrypt, kPaddingNone, kEtagKey, kEtagIV,
                 std::string(reinterpret_cast<const char*>(sealed), sizeof(sealed)), &block) ||
      block.size() != kEtagBlockSize) {
    return kInvalid;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(block.data());
  if (Checksum(b) != b[15]) return kInvalid;
  int32_t seed = static_cast<int32_t>(GetLE32(b + 3));
  uint32_t expected_crc = GetLE32(b + 11);
  if (cipher.size() > UINT32_MAX) return kInvalid;
  uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(cipher.data()),
                                             static_cast<uInt>(cipher.size())));
  if (crc != expected_crc) return kInvalid;

  const SeedKey& seed_key = KeyForSeed(seed);
  const std::string& key = seed_key.key;
  const std::string& iv = seed_key.iv;
  std::string compressed;
  if (!Aes128Cbc(kOperationDecrypt, kPaddingPkcs, reinterpret_cast<const unsigned char*>(key.data()),
                 reinterpret_cast<const unsigned char*>(iv.data()), cipher, &compressed)) {
    return kInvalid;
  }
  // Calls compress about 3:1; starting there saves growing the buffer.
  size_t start = (compressed.size() * 4 + 255) / 256 * 256;
  thread_local ThreadInflater inflater;
  return inflater.Inflate(compressed, start, plain, reservation);
}

}  // namespace zev
