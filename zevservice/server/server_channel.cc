#include "server/server_channel.h"

#include <json/json.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <memory>

#include "base/log.h"
#include "crypto/detached_signature.h"
#include "platform/bytes.h"
#include "platform/file_modes.h"
#include "platform/paths.h"
#include "platform/digest.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "crypto/crypto_algorithm.h"
#include "crypto/payload_envelope.h"
#include "server/device_json.h"
#include "model/catalogue_json.h"

namespace zev {

const char kAccessKeyId[] = "a61e0c9b57d2f384";
const char kSigningSecret[] = "3f9a27c1d84e6b05";
const char kChannelIV[] = "9e4c1a7f30b85d26";
const char kServerUserAgent[] = "winhttp zev/2.0";
const char kCatalogueEndpoint[] = "/api/application/upgrade-list";
const char kEventEndpoint[] = "/api/event";
const char kCatalogueSignatureHeader[] = "catalogueSignature";

namespace {

// AES-256-CBC without OpenSSL's padding over whole blocks.
bool Aes256Cbc(bool encrypt, const std::string& key, const std::string& in, std::string* out) {
  if (key.size() != 32 || in.size() % 16 != 0) return false;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                                reinterpret_cast<const unsigned char*>(key.data()),
                                reinterpret_cast<const unsigned char*>(kChannelIV), encrypt ? 1 : 0) != 1) {
    fputs(encrypt ? "Unable to set encryption key in AES\n" : "Unable to set decryption key in AES\n", stderr);
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  out->assign(in.size(), '\0');
  int n = 0, final_n = 0;
  if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&(*out)[0]), &n,
                       reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(&(*out)[0]) + n, &final_n) != 1) {
    return false;
  }
  return true;
}

// The default value of the setting's key; "" when none is stored.
std::string ReadSetting(const char* key) {
  std::string text;
  return RegReadString(RegRoot::kLocalMachine, key, "", &text) ? text : std::string();
}

// The key file decides which catalogues a root service runs: only root (or
// the service's user) may be able to change it.
bool ReadKeyFile(const std::string& path, std::string* data, std::string* why) {
  if (!IsTrustedFile(path, why)) return false;
  if (!ReadFileToString(path, data)) {
    *why = path + " cannot be read";
    return false;
  }
  return true;
}

}  // namespace

std::string ContentKey() { return Md5Hex(kSigningSecret); }

std::string EncryptText(const std::string& plain, const std::string& key) {
  std::string text = plain.substr(0, plain.find('\0'));
  size_t pad = 16 - text.size() % 16;
  text.append(pad, static_cast<char>(pad));
  std::string cipher;
  if (!Aes256Cbc(true, key, text, &cipher)) return std::string();
  return Base64Encode(cipher);
}

std::string DecryptText(const std::string& text, const std::string& key) {
  std::string cipher = Base64Decode(text);
  if (cipher.empty() || cipher.size() % 16 != 0) {
    fprintf(stderr, "Invalid string to be decoded, string length %d is not multiple of 16\n",
            static_cast<int>(cipher.size()));
    return std::string();
  }
  std::string plain;
  if (!Aes256Cbc(false, key, cipher, &plain)) return std::string();
  size_t pad = static_cast<unsigned char>(plain.back());
  if (pad == 0 || pad > plain.size()) return std::string();  // not a padding we make
  plain.resize(plain.size() - pad);
  return plain.substr(0, plain.find('\0'));
}

void SealContent(const std::string& plain, std::string* sealed, std::string* signature) {
  *sealed = EncryptText(plain, ContentKey());
  *signature = Md5Hex((*sealed + kSigningSecret).c_str());
}

std::string GetServerBaseUrl() {
  std::string url;
  if (!RegReadString(RegRoot::kLocalMachine, kServerUrlKey, "", &url)) return kDefaultServerBaseUrl;
  return url;
}

std::string UrlDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigitValue(text[i + 1]) << 4 | HexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

CZEVServerChannel::CZEVServerChannel()
    : poster_(10, 10, 15, 15), request_url_(GetServerBaseUrl() + kCatalogueEndpoint), content_key_(ContentKey()) {
  GetSystemInfoRecord(&system_);
  GetIdentityInfo(&identity_);
}

int32_t CZEVServerChannel::PostSealed(const std::string& endpoint, const std::string& content, std::string* reply) {
  std::string sealed, signature;
  SealContent(content, &sealed, &signature);
  std::map<std::string, std::string> headers = {
      {"accessKeyId", kAccessKeyId}, {"encryptType", "0"}, {"signature", signature}};
  request_url_ = GetServerBaseUrl() + endpoint;
  last_error_.clear();
  TlsPolicy tls;
  tls.verify = ReadSetting(kTlsVerifySettingKey) == "1";
  if (tls.verify) tls.ca_file = ReadSetting(kTlsCaFileSettingKey);
  std::string why;
  if (!tls.ca_file.empty() && !IsTrustedFile(tls.ca_file, &why)) {
    last_error_ = "TlsCaFile refused: " + why;
    LogWrite(kLogError, "strategy server not asked: %s", last_error_.c_str());
    return kHttpFailed;
  }
  poster_.set_tls(tls);
  const int32_t rc = poster_.Post(kServerUserAgent, request_url_, "content=" + UrlEncode(sealed), reply, &headers);
  last_error_ = poster_.last_error();
  if (poster_.peer_refused()) {
    LogWrite(kLogError, "strategy server certificate refused (%s): %s", request_url_.c_str(), last_error_.c_str());
  }
  return rc;
}

bool CZEVServerChannel::CheckCatalogueSignature(const std::string& plain, std::string* error) {
  const std::string key_file = ReadSetting(kCatalogueKeySettingKey);
  if (key_file.empty()) return true;
  std::string key, why;
  if (ReadKeyFile(key_file, &key, &why) &&
      VerifyEd25519(key, plain, poster_.ResponseHeader(kCatalogueSignatureHeader), &why)) {
    return true;
  }
  *error = "catalogue refused, its signature does not pass CatalogueKey: " + why;
  LogWrite(kLogError, "%s", error->c_str());
  return false;
}

int32_t CZEVServerChannel::RequestCatalogue(const std::string& download_dir, CZEVApplications* apps,
                                            std::string* error) {
  std::string content;
  BuildDeviceJson(identity_, system_, &content);  // empty without a deviceId; sent all the same
  std::string reply;
  int32_t rc = PostSealed(kCatalogueEndpoint, content, &reply);
  if (rc != 0) {
    *error = "get components from server http return error:" + std::to_string(rc);
    if (!last_error_.empty()) *error += " (" + last_error_ + ")";
    return rc;
  }
  Json::Value root;
  if (!ParseStrictJson(reply, &root)) {
    *error = "get components from server msg format error";
    return kCatalogueFormatError;
  }
  int32_t code = 0;
  std::string message, data;
  if (root.isObject()) {
    const Json::Value& c = root["code"];
    if (c.isIntegral() && c.isInt()) code = c.asInt();
    const Json::Value& m = root["msg"];
    if (m.isString()) message = m.asString();
    const Json::Value& d = root["data"];
    if (d.isString()) data = d.asString();
  }
  if (code != 0) {
    *error = "get components from server retCode:" + std::to_string(code) + ".  Error msg:" + Utf8ToAnsi(message);
    return code;
  }
  const std::string document = DecryptText(data, content_key_);
  if (!CheckCatalogueSignature(document, error)) return kCatalogueSignatureError;
  std::string plain = Utf8ToAnsi(document);
  if (!ReadServerCatalogue(plain, download_dir, apps)) {
    *error = "convert FatesJson to ProtoApps error json :" + plain;
    return kCatalogueFormatError;
  }
  return 0;
}

}  // namespace zev
