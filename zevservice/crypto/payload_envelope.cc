#include "crypto/payload_envelope.h"

#include <openssl/evp.h>
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

// AES-128-CBC on OpenSSL's EVP interface with contexts kept per thread.
// OpenSSL expands the key when a context is keyed, and even a new IV takes a
// trip through its provider, each costing more than the cipher work on a
// small call. So each context is keyed once and its chain simply goes on from
// one use to the next: CBC feeds every block the previous ciphertext block,
// and the first block of a use is corrected for the chain value the context
// holds, which gives the same text as a chain started at the use's IV.
// Padding is ours: PKCS#7 when sealing; when opening, the last byte's count
// (no more than the text) is cut off unchecked, as the envelope always did.
const EVP_CIPHER* Aes128CbcCipher() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);  // kept until exit
  return cipher;
}

class ThreadCipher {
 public:
  static constexpr size_t kBlock = 16;

  // Keys the context for `encrypt` with a 16-byte key. False when OpenSSL
  // cannot, and then Run fails.
  bool SetKey(const unsigned char* key, bool encrypt) {
    keyed_ = false;
    encrypt_ = encrypt;
    memset(chain_, 0, sizeof(chain_));
    if (!ctx_) ctx_.reset(EVP_CIPHER_CTX_new());
    if (!ctx_ || Aes128CbcCipher() == nullptr ||
        EVP_CipherInit_ex(ctx_.get(), Aes128CbcCipher(), nullptr, key, chain_, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) != 1) {
      return false;
    }
    keyed_ = true;
    return true;
  }
  bool keyed() const { return keyed_; }

  // Runs `length` bytes (whole blocks) at `data` in place, as a chain started
  // at the 16-byte `iv`. A failure leaves the context unkeyed: its chain
  // value is unknown.
  bool Run(const unsigned char* iv, unsigned char* data, size_t length) {
    if (!keyed_ || length % kBlock != 0 || length > static_cast<size_t>(INT32_MAX - 32)) return false;
    if (length == 0) return true;
    if (encrypt_) {
      for (size_t i = 0; i < kBlock; ++i) data[i] ^= static_cast<unsigned char>(iv[i] ^ chain_[i]);
      if (!Update(data, length)) return false;
      memcpy(chain_, data + length - kBlock, kBlock);
    } else {
      unsigned char last[kBlock];  // the chain value after this use
      memcpy(last, data + length - kBlock, kBlock);
      if (!Update(data, length)) return false;
      for (size_t i = 0; i < kBlock; ++i) data[i] ^= static_cast<unsigned char>(iv[i] ^ chain_[i]);
      memcpy(chain_, last, kBlock);
    }
    return true;
  }

 private:
  bool Update(unsigned char* data, size_t length) {
    int written = 0;
    keyed_ = EVP_CipherUpdate(ctx_.get(), data, &written, data, static_cast<int>(length)) == 1 &&
             static_cast<size_t>(written) == length;
    return keyed_;
  }

  CipherCtxPtr ctx_;
  bool keyed_ = false;
  bool encrypt_ = true;
  unsigned char chain_[kBlock];  // the ciphertext block the context's chain goes on from
};

// The key block's ciphers, under the fixed key.
ThreadCipher& EtagCipher(bool encrypt) {
  thread_local ThreadCipher seal, open;
  ThreadCipher& cipher = encrypt ? seal : open;
  if (!cipher.keyed()) cipher.SetKey(kEtagKey, encrypt);  // once a thread, unless OpenSSL failed
  return cipher;
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

// PayloadKeyForSeed, remembered per thread for the last seeds seen with
// their keyed ciphers: the seed of a sealed answer changes once a second,
// and a client's calls mostly share theirs.
struct SeedKey {
  int32_t seed = -1;  // seeds are 0..32767; -1: no entry yet
  std::string key, iv;
  ThreadCipher seal, open;
};
SeedKey& KeyForSeed(int32_t seed) {
  thread_local SeedKey cache[2];
  thread_local unsigned next = 0;
  for (SeedKey& entry : cache) {
    if (entry.seed == seed && seed != -1 && entry.seal.keyed() && entry.open.keyed()) return entry;
  }
  SeedKey& entry = cache[next++ % 2];
  PayloadKeyForSeed(seed, &entry.key, &entry.iv);
  const auto* key = reinterpret_cast<const unsigned char*>(entry.key.data());
  // A cipher that could not be keyed fails its every use; the entry is
  // keyed afresh when next chosen.
  entry.seed = entry.seal.SetKey(key, true) && entry.open.SetKey(key, false) ? seed : -1;
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
    const size_t bound = deflateBound(&zs_, in.size());
    out->reserve(bound + 16);  // room for the cipher's padding
    out->resize(bound);
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
  SeedKey& seed_key = KeyForSeed(seed);

  // The compressed payload, padded, then encrypted where it lies.
  thread_local ThreadDeflater deflater;
  std::string cipher;
  if (!deflater.Compress(plain, &cipher)) {
    // zlib cannot fail on a bound-sized buffer; fall back to the one-shot call.
    uLongf compressed_len = compressBound(plain.size());
    cipher.assign(compressed_len, '\0');
    compress2(reinterpret_cast<Bytef*>(&cipher[0]), &compressed_len,
              reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 1);
    cipher.resize(compressed_len);
  }
  const size_t pad = ThreadCipher::kBlock - cipher.size() % ThreadCipher::kBlock;
  cipher.append(pad, static_cast<char>(pad));
  if (!seed_key.seal.Run(reinterpret_cast<const unsigned char*>(seed_key.iv.data()),
                         reinterpret_cast<unsigned char*>(&cipher[0]), cipher.size())) {
    cipher.clear();
  }
  uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(cipher.data()),
                                             static_cast<uInt>(cipher.size())));

  unsigned char block[kEtagBlockSize] = {0};
  PutLE32(block + 3, static_cast<uint32_t>(seed));
  PutLE32(block + 7, static_cast<uint32_t>(cipher.size()));
  PutLE32(block + 11, crc);
  block[15] = Checksum(block);
  if (!EtagCipher(true).Run(kEtagIV, block, sizeof(block))) memset(block, 0, sizeof(block));
  *etag = BlockToEtag(block);
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
  // The ciphertext, decrypted where it lies into the compressed payload.
  std::string cipher = Base64Decode(body);

  unsigned char b[kEtagBlockSize];
  if (!EtagToBlock(etag, b) || !EtagCipher(false).Run(kEtagIV, b, sizeof(b))) return kInvalid;
  if (Checksum(b) != b[15]) return kInvalid;
  int32_t seed = static_cast<int32_t>(GetLE32(b + 3));
  uint32_t expected_crc = GetLE32(b + 11);
  if (cipher.size() > UINT32_MAX) return kInvalid;
  uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(cipher.data()),
                                             static_cast<uInt>(cipher.size())));
  if (crc != expected_crc) return kInvalid;

  SeedKey& seed_key = KeyForSeed(seed);
  auto* bytes = reinterpret_cast<unsigned char*>(&cipher[0]);
  size_t length = cipher.size();
  if (!seed_key.open.Run(reinterpret_cast<const unsigned char*>(seed_key.iv.data()), bytes, length)) {
    return kInvalid;
  }
  if (length > 0) {
    const size_t count = bytes[length - 1];
    if (count > length) return kInvalid;  // not a padding the encoder made
    length -= count;
  }
  cipher.resize(length);
  // Calls compress about 3:1; starting there saves growing the buffer.
  size_t start = (length * 4 + 255) / 256 * 256;
  thread_local ThreadInflater inflater;
  return inflater.Inflate(cipher, start, plain, reservation);
}

}  // namespace zev
