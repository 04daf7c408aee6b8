// Talking to the strategy server: sealing and signing payloads, the request
// envelope, and the catalogue request. A channel serves one thread at a time.
#ifndef ZEV_SERVER_SERVER_CHANNEL_H_
#define ZEV_SERVER_SERVER_CHANNEL_H_

#include <cstdint>
#include <string>

#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "platform/machine_info.h"
#include "platform/settings.h"  // kServerUrlKey, kDefaultServerBaseUrl
#include "server/http_poster.h"

namespace zev {

extern const char kAccessKeyId[];       // sent in clear with every request
extern const char kSigningSecret[];     // appended to the sealed text before the signature digest
extern const char kChannelIV[];         // 16 bytes, the same in both directions
extern const char kServerUserAgent[];   // "winhttp zev/2.0"
extern const char kCatalogueEndpoint[];  // "/api/application/upgrade-list"
extern const char kEventEndpoint[];      // "/api/event"

// The response header that carries the catalogue's signature when the
// server signs: base64 of the Ed25519 signature of the catalogue document,
// the exact bytes that the reply's "data" decrypts to.
extern const char kCatalogueSignatureHeader[];  // "catalogueSignature"

// Codes of RequestCatalogue besides 0, the HTTP codes and the server's own.
constexpr int32_t kCatalogueFormatError = 5000;
// CatalogueKey is set and the catalogue's signature is missing or wrong, or
// the key file cannot be used.
constexpr int32_t kCatalogueSignatureError = 5001;

// The AES-256 key: the 32 characters of the hex MD5 of the signing secret.
std::string ContentKey();
// AES-256-CBC of the text up to its first zero byte, PKCS#7 padded, as base64.
std::string EncryptText(const std::string& plain, const std::string& key);
// The reverse: empty when the text does not decode to whole blocks or its
// padding is not one this side made (last byte 0 or larger than the data);
// the plain text is cut at its first zero byte.
std::string DecryptText(const std::string& text, const std::string& key);
// sealed := EncryptText(plain, ContentKey()); signature := MD5 hex of
// sealed + signing secret.
void SealContent(const std::string& plain, std::string* sealed, std::string* signature);
// The registry's base URL (read anew each call), else the default.
std::string GetServerBaseUrl();
// Decodes an application/x-www-form-urlencoded value ("+" is a blank).
std::string UrlDecode(const std::string& text);

class CZEVServerChannel {
 public:
  // Fills the machine records (identity and system) once.
  CZEVServerChannel();

  // Seals `content`, posts it to base URL + `endpoint` with the signed
  // envelope, and returns the HttpPoster result code with the reply body.
  // With TlsVerify 1 the server's certificate and host name are checked
  // (against TlsCaFile when it names one, a file only root can change);
  // a refusal is logged at error level. Both settings are read anew for
  // each request. On failure last_error() has the reason when one is known.
  int32_t PostSealed(const std::string& endpoint, const std::string& content, std::string* reply);
  const std::string& last_error() const { return last_error_; }

  // Asks the server for this machine's catalogue. 0 with *apps replaced;
  // otherwise the HTTP code (-1, -2, -6), 5000 (reply or list malformed),
  // 5001 (CatalogueKey set and the signature missing or wrong; logged at
  // error level) or the server's code, with *error set.
  // `download_dir` as ReadServerCatalogue takes it.
  int32_t RequestCatalogue(const std::string& download_dir, CZEVApplications* apps, std::string* error);

  const IdentityInfo& identity() const { return identity_; }
  const SystemInfoRecord& system() const { return system_; }
  IdentityInfo* mutable_identity() { return &identity_; }

 private:
  // Whether the catalogue document `plain` carries a valid signature by the
  // CatalogueKey (read anew each time); true when that setting is empty.
  bool CheckCatalogueSignature(const std::string& plain, std::string* error);

  HttpPoster poster_;
  std::string last_error_;
  std::string request_url_;
  const std::string content_key_;
  SystemInfoRecord system_;
  IdentityInfo identity_;
};

}  // namespace zev

#endif  // ZEV_SERVER_SERVER_CHANNEL_H_
