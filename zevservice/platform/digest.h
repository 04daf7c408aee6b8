// Digests in lower-case hexadecimal, through OpenSSL's EVP interface.
#ifndef ZEV_PLATFORM_DIGEST_H_
#define ZEV_PLATFORM_DIGEST_H_

#include <cstddef>
#include <string>

namespace zev {

// MD5 of the bytes of a NUL-terminated text: 32 hex characters, empty on
// failure or for a null pointer.
std::string Md5Hex(const char* text);
// MD5 of arbitrary bytes.
std::string Md5HexBytes(const void* data, size_t length);
// SHA-256 of the bytes: 64 hex characters.
std::string Sha256Hex(const void* data, size_t length);
// SHA-256 of the whole file, read in pieces of 1 MiB. Empty when the file
// cannot be opened or a read fails part-way (never the digest of a prefix).
std::string FileSha256Hex(const std::string& path);
// Whether FileSha256Hex(path) equals `hash` exactly (an unreadable file never does).
bool FileHashEquals(const std::string& path, const std::string& hash);

}  // namespace zev

#endif  // ZEV_PLATFORM_DIGEST_H_
