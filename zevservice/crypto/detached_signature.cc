#include "crypto/detached_signature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "base/base64.h"

namespace zev {

namespace {

constexpr size_t kSignatureBytes = 64;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

KeyPtr ReadKey(const std::string& pem, bool is_private) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  KeyPtr key(is_private ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                        : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) key.reset();
  return key;
}

}  // namespace

bool SignEd25519(const std::string& private_key_pem, const std::string& data, std::string* signature,
                 std::string* why) {
  KeyPtr key = ReadKey(private_key_pem, true);
  if (!key) {
    *why = "not an Ed25519 private key in PEM form";
    return false;
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::string bytes(kSignatureBytes, '\0');
  size_t length = bytes.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&bytes[0]), &length,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1 ||
      length != kSignatureBytes) {
    *why = "signing failed";
    return false;
  }
  *signature = Base64Encode(bytes);
  return true;
}

bool VerifyEd25519(const std::string& public_key_pem, const std::string& data, const std::string& signature,
                   std::string* why) {
  KeyPtr key = ReadKey(public_key_pem, false);
  if (!key) {
    *why = "the key file holds no Ed25519 public key in PEM form";
    return false;
  }
  // Base64Decode stops at the first character outside the alphabet: only a
  // text that re-encodes to itself is the signature it seems to be.
  const std::string bytes = Base64Decode(signature);
  if (bytes.size() != kSignatureBytes || Base64Encode(bytes) != signature) {
    *why = signature.empty() ? "no signature" : "the signature is not base64 of 64 bytes";
    return false;
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
    *why = "the signature does not match";
    return false;
  }
  return true;
}

}  // namespace zev
