// Ed25519 detached signatures with OpenSSL: a publisher signs bytes with its
// private key, a reader checks them with the public key, both kept as PEM
// files. The signature travels apart from the bytes, as base64 of its 64
// bytes.
#ifndef ZEV_CRYPTO_DETACHED_SIGNATURE_H_
#define ZEV_CRYPTO_DETACHED_SIGNATURE_H_

#include <string>

namespace zev {

// Signs `data` with the Ed25519 private key in `private_key_pem`; true with
// the base64 signature in *signature, else false with the reason in *why.
bool SignEd25519(const std::string& private_key_pem, const std::string& data, std::string* signature,
                 std::string* why);

// Whether `signature` (base64 of 64 bytes) is the Ed25519 signature of
// exactly `data` by the key in `public_key_pem`. False with the reason in
// *why for a key that is not an Ed25519 public key, a signature of the wrong
// form, or one that does not match.
bool VerifyEd25519(const std::string& public_key_pem, const std::string& data, const std::string& signature,
                   std::string* why);

}  // namespace zev

#endif  // ZEV_CRYPTO_DETACHED_SIGNATURE_H_
