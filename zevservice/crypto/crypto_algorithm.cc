#include "crypto/crypto_algorithm.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/bytes.h"

namespace zev {

const char* const encrypt_block_bits_not_supported = "encrypt_block_bits_not_supported";
const char* const encrypt_block_length_not_supported = "encrypt_block_length_not_supported";
const char* const encrypt_mode_not_supported = "encrypt_mode_not_supported";
const char* const encrypt_type_not_supported = "encrypt_type_not_supported";
const char* const padding_not_supported = "padding_not_supported";

namespace {

// Ciphers fetched once per process: OpenSSL 3 would otherwise look the
// implementation up again on every initialisation, which costs more than
// sealing a small payload.
const EVP_CIPHER* Fetched(const char* name) {
  static std::mutex mu;
  static std::map<std::string, EVP_CIPHER*>* cache = new std::map<std::string, EVP_CIPHER*>();
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache->find(name);
  if (it != cache->end()) return it->second;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  if (cipher != nullptr) (*cache)[name] = cipher;  // kept until process exit
  return cipher;
}

[[noreturn]] void Raise(const char* name) { throw std::runtime_error(name); }

int32_t Fail(unsigned char** output, int32_t* output_length) {
  *output = nullptr;
  *output_length = 0;
  return 0;
}

// Runs `cipher` without OpenSSL's own padding over `length` bytes (a whole
// number of blocks) into a zero-filled new[] buffer of the same length.
bool RunCipher(const EVP_CIPHER* cipher, bool encrypt, const unsigned char* key,
               const unsigned char* iv, const unsigned char* input, int32_t length,
               std::unique_ptr<unsigned char[]>* out) {
  out->reset(new unsigned char[length > 0 ? length : 1]());
  if (length == 0) return true;
  if (cipher == nullptr) return false;
  // One context per thread, reset between uses, saves an allocation per call.
  thread_local CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CIPHER_CTX_reset(ctx.get()) != 1) return false;
  // EVP copies the IV into the context, so the caller's IV never changes.
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1) return false;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int written = 0, final_len = 0;
  if (EVP_CipherUpdate(ctx.get(), out->get(), &written, input, length) != 1) return false;
  if (EVP_CipherFinal_ex(ctx.get(), out->get() + written, &final_len) != 1) return false;
  return written + final_len == length;
}

// The block cipher family: AES (16-byte blocks; unit 16 or 32), DES and 3DES
// (8-byte blocks and unit). Single DES runs as 3DES with three equal keys.
class BlockAlgorithm : public IZEVAlgorithm {
 public:
  explicit BlockAlgorithm(uint32_t type) : type_(type) {}

  void setKey(IZEVSecretKey* key) override { key_ = key; }

  int32_t process(const unsigned char* input, int32_t length, unsigned char** output,
                  int32_t* output_length) override {
    if (key_ == nullptr || length < 0 || (input == nullptr && length > 0)) return Fail(output, output_length);
    const int32_t operation = key_->getOperation();
    const int32_t padding = key_->getPadding();
    const int32_t mode = key_->getMode();
    int32_t unit = 0;
    const EVP_CIPHER* cipher = nullptr;
    unsigned char key_bytes[32];
    const unsigned char* key = key_->getKey();
    if (type_ == kAlgorithmAES) {
      int32_t bits = key_->getBlockBits();
      if (bits != 1 && bits != 2) Raise(encrypt_block_bits_not_supported);
      unit = bits == 1 ? 16 : 32;
      if (mode != kModeCBC && mode != kModeECB) Raise(encrypt_mode_not_supported);
      if (operation != kOperationEncrypt && operation != kOperationDecrypt) Raise(encrypt_type_not_supported);
      if (bits == 1) cipher = Fetched(mode == kModeCBC ? "AES-128-CBC" : "AES-128-ECB");
      else cipher = Fetched(mode == kModeCBC ? "AES-256-CBC" : "AES-256-ECB");
    } else {
      if (key_->getBlockBits() != 0) Raise(encrypt_block_bits_not_supported);
      if (mode != kModeCBC && mode != kModeECB) Raise(encrypt_mode_not_supported);
      if (operation != kOperationEncrypt && operation != kOperationDecrypt) Raise(encrypt_mode_not_supported);
      unit = 8;
      cipher = Fetched(mode == kModeCBC ? "DES-EDE3-CBC" : "DES-EDE3-ECB");
      if (type_ == kAlgorithmDES && key != nullptr) {
        for (int i = 0; i < 3; ++i) memcpy(key_bytes + 8 * i, key, 8);
        key = key_bytes;
      }
    }
    if (padding != kPaddingPkcs && padding != kPaddingZero && padding != kPaddingNone) {
      Raise(padding_not_supported);
    }
    if (key == nullptr || (mode == kModeCBC && key_->getIV() == nullptr)) return Fail(output, output_length);
    const int32_t block = type_ == kAlgorithmAES ? 16 : 8;

    std::unique_ptr<unsigned char[]> out;
    if (operation == kOperationEncrypt) {
      int32_t pad = padding == kPaddingNone ? 0 : unit - length % unit;
      if (length > INT32_MAX - unit) return Fail(output, output_length);
      int32_t total = length + pad;
      if (total % block != 0) return Fail(output, output_length);  // no padding: whole blocks only
      std::unique_ptr<unsigned char[]> extended(new unsigned char[total > 0 ? total : 1]);
      if (length > 0) memcpy(extended.get(), input, static_cast<size_t>(length));
      memset(extended.get() + length, padding == kPaddingPkcs ? pad : 0, static_cast<size_t>(pad));
      if (!RunCipher(cipher, true, key, key_->getIV(), extended.get(), total, &out)) {
        return Fail(output, output_length);
      }
      *output = out.release();
      *output_length = total;
      return 1;
    }

    if (length % block != 0) {
      if (type_ == kAlgorithm3DES && padding == kPaddingNone) Raise(encrypt_block_length_not_supported);
      return Fail(output, output_length);
    }
    if (!RunCipher(cipher, false, key, key_->getIV(), input, length, &out)) return Fail(output, output_length);
    int32_t result = length;
    if (padding == kPaddingPkcs && length > 0) {
      int32_t count = out[length - 1];
      if (count > length) return Fail(output, output_length);  // not a padding we made
      result = length - count;
    } else if (padding == kPaddingZero) {
      const void* zero = memchr(out.get(), 0, static_cast<size_t>(length));
      if (zero != nullptr) result = static_cast<int32_t>(static_cast<const unsigned char*>(zero) - out.get());
    }
    *output = out.release();
    *output_length = result;
    return 1;
  }

 private:
  const uint32_t type_;
  IZEVSecretKey* key_ = nullptr;  // not owned
};

class Md5Algorithm : public IZEVAlgorithm {
 public:
  void setKey(IZEVSecretKey*) override {}
  int32_t process(const unsigned char* input, int32_t length, unsigned char** output,
                  int32_t* output_length) override {
    if (length < 0 || (input == nullptr && length > 0)) return Fail(output, output_length);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_Digest(input, static_cast<size_t>(length), digest, &len, EVP_md5(), nullptr) != 1 || len != 16) {
      return Fail(output, output_length);
    }
    static const char kHex[] = "0123456789ABCDEF";
    unsigned char* out = new unsigned char[32];
    for (unsigned i = 0; i < 16; ++i) {
      out[2 * i] = static_cast<unsigned char>(kHex[digest[i] >> 4]);
      out[2 * i + 1] = static_cast<unsigned char>(kHex[digest[i] & 0xF]);
    }
    *output = out;
    *output_length = 32;
    return 1;
  }
};

class RsaAlgorithm : public IZEVAlgorithm {
 public:
  void setKey(IZEVSecretKey*) override {}
  int32_t process(const unsigned char*, int32_t, unsigned char** output, int32_t* output_length) override {
    return Fail(output, output_length);
  }
};

struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct ParamBldDeleter {
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamDeleter {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct BnDeleter {
  void operator()(BIGNUM* p) const { BN_free(p); }
};

bool HexToBytes(const char* hex, std::string* out) {
  size_t n = strlen(hex);
  if (n == 0 || n % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < n; i += 2) {
    int hi = HexDigitValue(hex[i]), lo = HexDigitValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

// ECDSA on secp256k1 over the SHA-1 digest of the message.
//  sign (operation 2): the key is the private scalar as NUL-terminated hex
//    text; the output is the DER signature of the input.
//  verify (operation 3): the key is the public point (compressed or not) as
//    NUL-terminated hex text; the input is a 4-byte little-endian message
//    length, the message, then the DER signature. Answers 1 with a one-byte
//    output 1 when the signature holds, 0 otherwise.
class EccAlgorithm : public IZEVAlgorithm {
 public:
  void setKey(IZEVSecretKey* key) override { key_ = key; }

  int32_t process(const unsigned char* input, int32_t length, unsigned char** output,
                  int32_t* output_length) override {
    if (key_ == nullptr) return Fail(output, output_length);
    int32_t operation = key_->getOperation();
    if (operation != kOperationSign && operation != kOperationVerify) Raise(encrypt_mode_not_supported);
    if (length < 0 || (input == nullptr && length > 0) || key_->getKey() == nullptr) {
      return Fail(output, output_length);
    }
    std::string key_bytes;
    if (!HexToBytes(reinterpret_cast<const char*>(key_->getKey()), &key_bytes)) return Fail(output, output_length);
    std::unique_ptr<EVP_PKEY, PkeyDeleter> pkey(MakeKey(key_bytes, operation == kOperationSign));
    if (!pkey) return Fail(output, output_length);
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> md(EVP_MD_CTX_new());
    if (!md) return Fail(output, output_length);
    if (operation == kOperationSign) {
      size_t sig_len = 0;
      if (EVP_DigestSignInit(md.get(), nullptr, EVP_sha1(), nullptr, pkey.get()) != 1 ||
          EVP_DigestSign(md.get(), nullptr, &sig_len, input, static_cast<size_t>(length)) != 1) {
        return Fail(output, output_length);
      }
      std::unique_ptr<unsigned char[]> sig(new unsigned char[sig_len]());
      if (EVP_DigestSign(md.get(), sig.get(), &sig_len, input, static_cast<size_t>(length)) != 1) {
        return Fail(output, output_length);
      }
      *output = sig.release();
      *output_length = static_cast<int32_t>(sig_len);
      return 1;
    }
    if (length < 4) return Fail(output, output_length);
    uint32_t message_len = GetLE32(input);
    if (message_len > static_cast<uint32_t>(length - 4)) return Fail(output, output_length);
    const unsigned char* message = input + 4;
    const unsigned char* sig = message + message_len;
    size_t sig_len = static_cast<size_t>(length) - 4 - message_len;
    if (EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha1(), nullptr, pkey.get()) != 1 ||
        EVP_DigestVerify(md.get(), sig, sig_len, message, message_len) != 1) {
      return Fail(output, output_length);
    }
    *output = new unsigned char[1]{1};
    *output_length = 1;
    return 1;
  }

 private:
  static EVP_PKEY* MakeKey(const std::string& bytes, bool is_private) {
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    std::unique_ptr<BIGNUM, BnDeleter> priv;
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "secp256k1", 0);
    if (is_private) {
      priv.reset(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), nullptr));
      if (!priv || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) != 1) return nullptr;
    } else if (OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, bytes.data(), bytes.size()) != 1) {
      return nullptr;
    }
    std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(bld.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pkey, is_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1) {
      return nullptr;
    }
    return pkey;
  }

  IZEVSecretKey* key_ = nullptr;  // not owned
};

}  // namespace

IZEVAlgorithm* createAlgorithm(uint32_t type) {
  switch (type) {
    case kAlgorithmDES:
    case kAlgorithmAES:
    case kAlgorithm3DES:
      return new BlockAlgorithm(type);
    case kAlgorithmECC:
      return new EccAlgorithm();
    case kAlgorithmRSA:
      return new RsaAlgorithm();
    case kAlgorithmMD5:
      return new Md5Algorithm();
    default:
      return nullptr;
  }
}

}  // namespace zev
