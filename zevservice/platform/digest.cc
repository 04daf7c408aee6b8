#include "platform/digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace zev {

namespace {

constexpr size_t kFileChunk = 1 << 20;

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

std::string ToHex(const unsigned char* digest, unsigned len) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(len * 2, '0');
  for (unsigned i = 0; i < len; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return out;
}

// Digests fetched once: OpenSSL 3 looks an implicit EVP_sha256() up again on
// every use, which dominates the cost of hashing a few bytes.
const EVP_MD* Sha256() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md != nullptr ? md : EVP_sha256();
}
const EVP_MD* Md5() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return md != nullptr ? md : EVP_md5();
}

std::string DigestHex(const EVP_MD* md, const void* data, size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (EVP_Digest(data, length, digest, &len, md, nullptr) != 1) return std::string();
  return ToHex(digest, len);
}

}  // namespace

std::string Md5Hex(const char* text) {
  if (text == nullptr) return std::string();
  return DigestHex(Md5(), text, strlen(text));
}

std::string Md5HexBytes(const void* data, size_t length) { return DigestHex(Md5(), data, length); }

std::string Sha256Hex(const void* data, size_t length) {
  return DigestHex(Sha256(), data, length);
}

std::string FileSha256Hex(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  MdCtx ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), Sha256(), nullptr) == 1;
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kFileChunk]);
  while (ok) {
    ssize_t n = read(fd, buf.get(), kFileChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    ok = EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(n)) == 1;
  }
  close(fd);
  if (!ok) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return std::string();
  return ToHex(digest, len);
}

bool FileHashEquals(const std::string& path, const std::string& hash) {
  std::string actual = FileSha256Hex(path);
  return !actual.empty() && actual == hash;
}

}  // namespace zev
