#include "crypto/crypto_algorithm.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace zev {

namespace {

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Runs one algorithm over `input`; returns false when process answered 0.
bool Transform(uint32_t type, TZEVSecretKey key, const std::string& input, std::string* output) {
  std::unique_ptr<IZEVAlgorithm> algorithm(createAlgorithm(type));
  algorithm->setKey(&key);
  unsigned char* out = nullptr;
  int32_t len = -1;
  int32_t rc = algorithm->process(reinterpret_cast<const unsigned char*>(input.data()),
                                  static_cast<int32_t>(input.size()), &out, &len);
  std::unique_ptr<unsigned char[]> owned(out);
  if (rc != 1) {
    EXPECT_EQ(out, nullptr);
    return false;
  }
  output->assign(reinterpret_cast<char*>(out), static_cast<size_t>(len));
  return true;
}

std::string Raised(uint32_t type, TZEVSecretKey key, const std::string& input) {
  try {
    std::string out;
    Transform(type, key, input, &out);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

const std::string kKey16 = Unhex("000102030405060708090a0b0c0d0e0f");
const std::string kKey32 = Unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const std::string kIV = "e2b7409d6f1a53c8";
const auto* K16 = reinterpret_cast<const unsigned char*>(kKey16.data());
const auto* K32 = reinterpret_cast<const unsigned char*>(kKey32.data());
const auto* IV = reinterpret_cast<const unsigned char*>(kIV.data());

}  // namespace

TEST(CryptoAlgorithm, AesMatchesTheStandardVectors) {
  std::string out;
  // FIPS-197 appendix C.1 and C.3.
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingNone, kOperationEncrypt, kModeECB, K16, nullptr, 1),
                  Unhex("00112233445566778899aabbccddeeff"), &out));
  EXPECT_EQ(Hex(out), "69c4e0d86a7b0430d8cdb78070b4c55a");
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingNone, kOperationEncrypt, kModeECB, K32, nullptr, 2),
                  Unhex("00112233445566778899aabbccddeeff"), &out));
  EXPECT_EQ(Hex(out), "8ea2b7ca516745bfeafc49904b496089");
}

TEST(CryptoAlgorithm, AesPaddingUnitsFollowTheKeySize) {
  std::string out, back;
  const std::string sixteen(16, 'a');
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationEncrypt, kModeCBC, K16, IV, 1), sixteen, &out));
  EXPECT_EQ(out.size(), 32u);
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationDecrypt, kModeCBC, K16, IV, 1), out, &back));
  EXPECT_EQ(back, sixteen);
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationEncrypt, kModeCBC, K16, IV, 1), "", &out));
  EXPECT_EQ(out.size(), 16u);
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationEncrypt, kModeCBC, K32, IV, 2), sixteen, &out));
  EXPECT_EQ(out.size(), 32u);  // the unit is 32 bytes with a 256-bit key
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationDecrypt, kModeCBC, K32, IV, 2), out, &back));
  EXPECT_EQ(back, sixteen);
}

TEST(CryptoAlgorithm, AesZeroPaddingCutsAtTheFirstZeroByte) {
  std::string out, back;
  const std::string plain("ab\0cd", 5);
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingZero, kOperationEncrypt, kModeECB, K16, nullptr, 1), plain, &out));
  EXPECT_EQ(out.size(), 16u);
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingZero, kOperationDecrypt, kModeECB, K16, nullptr, 1), out, &back));
  EXPECT_EQ(back, "ab");
}

TEST(CryptoAlgorithm, MalformedCiphertextFailsWithoutReadingPastIt) {
  std::string out;
  // Not a whole number of blocks.
  EXPECT_FALSE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationDecrypt, kModeCBC, K16, IV, 1),
                   std::string(17, 'x'), &out));
  EXPECT_FALSE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingNone, kOperationEncrypt, kModeCBC, K16, IV, 1),
                   std::string(5, 'x'), &out));
  // A padding count larger than the data.
  std::string block;
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingNone, kOperationEncrypt, kModeCBC, K16, IV, 1),
                  std::string(15, 'x') + "\x40", &block));
  EXPECT_FALSE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationDecrypt, kModeCBC, K16, IV, 1), block, &out));
  // A padding count of 0 removes nothing.
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingNone, kOperationEncrypt, kModeCBC, K16, IV, 1),
                  std::string(15, 'x') + std::string(1, '\0'), &block));
  ASSERT_TRUE(Transform(kAlgorithmAES, TZEVSecretKey(kPaddingPkcs, kOperationDecrypt, kModeCBC, K16, IV, 1), block, &out));
  EXPECT_EQ(out.size(), 16u);
}

TEST(CryptoAlgorithm, InvalidKeyParametersRaiseTheirNames) {
  EXPECT_EQ(Raised(kAlgorithmAES, TZEVSecretKey(0, 0, 0, K16, IV, 0), "x"), "encrypt_block_bits_not_supported");
  EXPECT_EQ(Raised(kAlgorithmAES, TZEVSecretKey(0, 0, 2, K16, IV, 1), "x"), "encrypt_mode_not_supported");
  EXPECT_EQ(Raised(kAlgorithmAES, TZEVSecretKey(0, 4, 0, K16, IV, 1), "x"), "encrypt_type_not_supported");
  EXPECT_EQ(Raised(kAlgorithmAES, TZEVSecretKey(1, 0, 0, K16, IV, 1), "x"), "padding_not_supported");
  EXPECT_EQ(Raised(kAlgorithmDES, TZEVSecretKey(0, 0, 0, K16, IV, 1), "x"), "encrypt_block_bits_not_supported");
  EXPECT_EQ(Raised(kAlgorithmDES, TZEVSecretKey(0, 2, 0, K16, IV, 0), "x"), "encrypt_mode_not_supported");
  EXPECT_EQ(Raised(kAlgorithm3DES, TZEVSecretKey(kPaddingNone, kOperationDecrypt, kModeECB, K32, nullptr, 0),
                   "123456789"),
            "encrypt_block_length_not_supported");
  EXPECT_EQ(Raised(kAlgorithmECC, TZEVSecretKey(0, 0, 0, K16, IV, 0), "x"), "encrypt_mode_not_supported");
}

TEST(CryptoAlgorithm, DesAndTripleDesMatchTheClassicVector) {
  const std::string key = Unhex("133457799bbcdff1");
  const std::string key3 = key + key + key;
  std::string out, back;
  ASSERT_TRUE(Transform(kAlgorithmDES,
                  TZEVSecretKey(kPaddingNone, kOperationEncrypt, kModeECB,
                                reinterpret_cast<const unsigned char*>(key.data()), nullptr, 0),
                  Unhex("0123456789abcdef"), &out));
  EXPECT_EQ(Hex(out), "85e813540f0ab405");
  ASSERT_TRUE(Transform(kAlgorithm3DES,
                  TZEVSecretKey(kPaddingNone, kOperationEncrypt, kModeECB,
                                reinterpret_cast<const unsigned char*>(key3.data()), nullptr, 0),
                  Unhex("0123456789abcdef"), &out));
  EXPECT_EQ(Hex(out), "85e813540f0ab405");
  const auto* iv8 = reinterpret_cast<const unsigned char*>("12345678");
  ASSERT_TRUE(Transform(kAlgorithm3DES,
                  TZEVSecretKey(kPaddingPkcs, kOperationEncrypt, kModeCBC,
                                reinterpret_cast<const unsigned char*>(kKey32.data()), iv8, 0),
                  "twenty bytes of text", &out));
  EXPECT_EQ(out.size(), 24u);
  ASSERT_TRUE(Transform(kAlgorithm3DES,
                  TZEVSecretKey(kPaddingPkcs, kOperationDecrypt, kModeCBC,
                                reinterpret_cast<const unsigned char*>(kKey32.data()), iv8, 0),
                  out, &back));
  EXPECT_EQ(back, "twenty bytes of text");
}

TEST(CryptoAlgorithm, Md5RsaAndTheFactory) {
  std::string out;
  ASSERT_TRUE(Transform(kAlgorithmMD5, TZEVSecretKey(0, 0, 0, nullptr, nullptr, 0), "", &out));
  EXPECT_EQ(out, "D41D8CD98F00B204E9800998ECF8427E");
  ASSERT_TRUE(Transform(kAlgorithmMD5, TZEVSecretKey(0, 0, 0, nullptr, nullptr, 0), "abc", &out));
  EXPECT_EQ(out, "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_FALSE(Transform(kAlgorithmRSA, TZEVSecretKey(0, 0, 0, nullptr, nullptr, 0), "abc", &out));
  EXPECT_EQ(createAlgorithm(6), nullptr);
}

TEST(CryptoAlgorithm, EccSignaturesVerifyAndForgeriesDoNot) {
  // A private scalar and its public point on secp256k1 (the generator's multiple 1 is G itself).
  const std::string priv = "0000000000000000000000000000000000000000000000000000000000000001";
  const std::string pub =
      "0479BE667EF9DCBBAC55A06295CE870B07029BFCDB2DCE28D959F2815B16F81798"
      "483ADA7726A3C4655DA4FBFC0E1108A8FD17B448A68554199C47D08FFB10D4B8";
  std::string signature;
  ASSERT_TRUE(Transform(kAlgorithmECC,
                  TZEVSecretKey(0, kOperationSign, 0, reinterpret_cast<const unsigned char*>(priv.c_str()), nullptr, 0),
                  "message", &signature));
  auto framed = [&](const std::string& message, const std::string& sig) {
    std::string len(4, '\0');
    len[0] = static_cast<char>(message.size());
    return len + message + sig;
  };
  TZEVSecretKey verify(0, kOperationVerify, 0, reinterpret_cast<const unsigned char*>(pub.c_str()), nullptr, 0);
  std::string out;
  EXPECT_TRUE(Transform(kAlgorithmECC, verify, framed("message", signature), &out));
  EXPECT_FALSE(Transform(kAlgorithmECC, verify, framed("massage", signature), &out));
  EXPECT_FALSE(Transform(kAlgorithmECC, verify, "\xff\xff\xff\x7f", &out));  // declared length past the end
}

}  // namespace zev
