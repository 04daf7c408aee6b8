// A small object layer over OpenSSL: an algorithm object made by type number
// is given a secret key object (key and IV pointers, padding, operation, mode
// and key size numbers) and transforms a byte buffer into a new buffer.
//
// Algorithm and key objects hold no global state and are not shared between
// threads. The key and IV memory belongs to the caller and must stay valid
// while an algorithm uses the key.
#ifndef ZEV_CRYPTO_CRYPTO_ALGORITHM_H_
#define ZEV_CRYPTO_CRYPTO_ALGORITHM_H_

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace zev {

// Texts of the exceptions raised for invalid key parameters.
extern const char* const encrypt_block_bits_not_supported;
extern const char* const encrypt_block_length_not_supported;
extern const char* const encrypt_mode_not_supported;
extern const char* const encrypt_type_not_supported;
extern const char* const padding_not_supported;

// Padding numbers.
constexpr int32_t kPaddingPkcs = 0;  // pad bytes equal to the pad count, 1 to one unit
constexpr int32_t kPaddingZero = 2;  // zero bytes, 1 to one unit
constexpr int32_t kPaddingNone = 3;
// Operations.
constexpr int32_t kOperationEncrypt = 0;
constexpr int32_t kOperationDecrypt = 1;
constexpr int32_t kOperationSign = 2;    // ECC
constexpr int32_t kOperationVerify = 3;  // ECC
// Modes.
constexpr int32_t kModeCBC = 0;
constexpr int32_t kModeECB = 1;
// Algorithm types of createAlgorithm.
constexpr uint32_t kAlgorithmDES = 0;
constexpr uint32_t kAlgorithmECC = 1;
constexpr uint32_t kAlgorithmRSA = 2;
constexpr uint32_t kAlgorithmAES = 3;
constexpr uint32_t kAlgorithm3DES = 4;
constexpr uint32_t kAlgorithmMD5 = 5;

// Owns an OpenSSL cipher context.
struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

class IZEVSecretKey {
 public:
  virtual int32_t getPadding() const = 0;
  virtual int32_t getOperation() const = 0;
  virtual void setOperation(int32_t operation) = 0;
  virtual int32_t getMode() const = 0;
  virtual const unsigned char* getKey() const = 0;
  virtual const unsigned char* getIV() const = 0;
  // The key size selector: AES 1 = 128-bit, 2 = 256-bit; DES and 3DES 0.
  virtual int32_t getBlockBits() const = 0;
  virtual ~IZEVSecretKey() = default;
};

class TZEVSecretKey : public IZEVSecretKey {
 public:
  TZEVSecretKey(int32_t padding, int32_t operation, int32_t mode, const unsigned char* key,
                const unsigned char* iv, int32_t block_bits)
      : padding_(padding), operation_(operation), mode_(mode), key_(key), iv_(iv), block_bits_(block_bits) {}

  int32_t getPadding() const override { return padding_; }
  int32_t getOperation() const override { return operation_; }
  void setOperation(int32_t operation) override { operation_ = operation; }
  int32_t getMode() const override { return mode_; }
  const unsigned char* getKey() const override { return key_; }
  const unsigned char* getIV() const override { return iv_; }
  int32_t getBlockBits() const override { return block_bits_; }

 private:
  int32_t padding_;
  int32_t operation_;
  int32_t mode_;
  const unsigned char* key_;  // not owned
  const unsigned char* iv_;   // not owned
  int32_t block_bits_;
};

class IZEVAlgorithm {
 public:
  // Stores the key pointer (not owned; must outlive the uses of process).
  virtual void setKey(IZEVSecretKey* key) = 0;
  // Transforms `input` into a new buffer allocated with new[] (the caller
  // releases it with delete[]). Returns 1 on success with *output and
  // *output_length set, 0 on failure with *output null. Throws std::exception
  // with one of the texts above for invalid key parameters.
  virtual int32_t process(const unsigned char* input, int32_t length, unsigned char** output,
                          int32_t* output_length) = 0;
  virtual ~IZEVAlgorithm() = default;
};

// A new algorithm of the given type (see the kAlgorithm numbers), or null.
IZEVAlgorithm* createAlgorithm(uint32_t type);

}  // namespace zev

#endif  // ZEV_CRYPTO_CRYPTO_ALGORITHM_H_
