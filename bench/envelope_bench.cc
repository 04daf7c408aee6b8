// The payload envelope beside the raw steps it is made of, on the same bytes
// in the same run: compress2 level 1 + AES-128-CBC (EVP) + base64 to seal,
// base64 + AES-128-CBC + uncompress to open. MB/s of plain payload.
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "bench/bench_util.h"
#include "crypto/payload_envelope.h"

namespace zev {

namespace {

// A call-like payload: words, ids and numbers, compressible about 3:1.
std::string MakePayload(size_t size) {
  static const char* kWords[] = {"component", "version", "{823DB335-3818-5796-80C4-0A8E90361C5A}", "port",
                                 "registered", "pipe", "client", "getComponentData", "x64", "main"};
  std::mt19937 rng(42);
  std::string out;
  while (out.size() < size) {
    out += kWords[rng() % 10];
    out += ' ';
    out += std::to_string(rng() % 100000);
    out += rng() % 7 == 0 ? "\n" : " ";
  }
  out.resize(size);
  return out;
}

double MBps(size_t bytes, const std::function<void()>& fn) {
  fn();  // warm up
  int64_t t0 = NowNanos();
  int64_t iterations = 0;
  do {
    fn();
    ++iterations;
  } while (NowNanos() - t0 < 400000000);
  double seconds = (NowNanos() - t0) / 1e9;
  return static_cast<double>(bytes) * static_cast<double>(iterations) / seconds / 1e6;
}

const unsigned char kKey[] = "0123456789abcdef";
const unsigned char kIV[] = "fedcba9876543210";

std::string RawSeal(const std::string& plain) {
  uLongf len = compressBound(plain.size());
  std::string z(len, '\0');
  compress2(reinterpret_cast<Bytef*>(&z[0]), &len, reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 1);
  z.resize(len);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, kKey, kIV);
  std::string cipher(z.size() + 16, '\0');
  int a = 0, b = 0;
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(&cipher[0]), &a, reinterpret_cast<const unsigned char*>(z.data()),
                    static_cast<int>(z.size()));
  EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(&cipher[a]), &b);
  EVP_CIPHER_CTX_free(ctx);
  cipher.resize(static_cast<size_t>(a + b));
  std::string text(4 * ((cipher.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), reinterpret_cast<const unsigned char*>(cipher.data()),
                          static_cast<int>(cipher.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string RawOpen(const std::string& text, size_t plain_size) {
  std::string cipher(text.size() / 4 * 3 + 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&cipher[0]), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  size_t pad = text.size() >= 2 ? (text[text.size() - 1] == '=') + (text[text.size() - 2] == '=') : 0;
  cipher.resize(static_cast<size_t>(n) - pad);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, kKey, kIV);
  std::string z(cipher.size() + 16, '\0');
  int a = 0, b = 0;
  EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(&z[0]), &a, reinterpret_cast<const unsigned char*>(cipher.data()),
                    static_cast<int>(cipher.size()));
  EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(&z[a]), &b);
  EVP_CIPHER_CTX_free(ctx);
  z.resize(static_cast<size_t>(a + b));
  uLongf len = plain_size;
  std::string plain(plain_size, '\0');
  uncompress(reinterpret_cast<Bytef*>(&plain[0]), &len, reinterpret_cast<const Bytef*>(z.data()), z.size());
  return plain;
}

}  // namespace

}  // namespace zev

int main() {
  using namespace zev;
  printf("%-8s %14s %14s %7s   %14s %14s %7s\n", "payload", "encode MB/s", "raw steps", "ratio", "decode MB/s",
         "raw steps", "ratio");
  for (size_t size : {size_t{64}, size_t{4096}, size_t{256 * 1024}, size_t{1024 * 1024}}) {
    std::string plain = MakePayload(size);
    std::string body, etag, out;
    double enc = MBps(size, [&] { encodePayload(plain, &body, &etag); });
    double raw_enc = MBps(size, [&] { RawSeal(plain); });
    encodePayload(plain, &body, &etag);
    double dec = MBps(size, [&] { decodePayload(body, etag, &out); });
    std::string raw_text = RawSeal(plain);
    if (RawOpen(raw_text, size) != plain || !decodePayload(body, etag, &out) || out != plain) {
      fprintf(stderr, "round trip failed at %zu bytes\n", size);
      return 1;
    }
    double raw_dec = MBps(size, [&] { RawOpen(raw_text, size); });
    const char* label = size >= 1048576 ? "1 MiB" : size >= 262144 ? "256 KiB" : size >= 4096 ? "4 KiB" : "64 B";
    printf("%-8s %14.1f %14.1f %7.2f   %14.1f %14.1f %7.2f\n", label, enc, raw_enc, enc / raw_enc, dec, raw_dec,
           dec / raw_dec);
  }
  return 0;
}
