#include "server/http_poster.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace zev {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

bool SafeHeaderText(const std::string& text) {
  return text.find_first_of("\r\n") == std::string::npos && text.find('\0') == std::string::npos;
}

// Keeps the header fields of the response under way; a status line begins
// a new response (a redirect's or a "100 Continue" before the last).
size_t KeepHeader(char* data, size_t size, size_t count, void* user) {
  auto* headers = static_cast<std::vector<std::pair<std::string, std::string>>*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const size_t colon = line.find(':');
  if (line.compare(0, 5, "HTTP/") == 0) {
    headers->clear();
  } else if (colon != std::string::npos && colon > 0) {
    const size_t start = line.find_first_not_of(" \t", colon + 1);
    headers->emplace_back(line.substr(0, colon), start == std::string::npos ? std::string() : line.substr(start));
  }
  return size * count;
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Splits the URL; false when libcurl cannot parse it or its scheme is not
// http or https.
bool SplitUrl(const std::string& url, std::string* path, std::string* query, bool* secure) {
  CURLU* u = curl_url();
  if (u == nullptr) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  char* scheme = nullptr;
  char* p = nullptr;
  char* q = nullptr;
  if (ok) ok = curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
  if (ok) ok = strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0;
  if (ok) {
    *secure = strncasecmp(scheme, "https", 5) == 0;
    if (curl_url_get(u, CURLUPART_PATH, &p, 0) == CURLUE_OK && p) *path = p;
    if (curl_url_get(u, CURLUPART_QUERY, &q, 0) == CURLUE_OK && q) *query = std::string("?") + q;
  }
  curl_free(scheme);
  curl_free(p);
  curl_free(q);
  curl_url_cleanup(u);
  return ok;
}

}  // namespace

HttpPoster::HttpPoster(int32_t resolve_timeout, int32_t connect_timeout, int32_t send_timeout,
                       int32_t receive_timeout)
    : resolve_timeout_(resolve_timeout),
      connect_timeout_(connect_timeout),
      send_timeout_(send_timeout),
      receive_timeout_(receive_timeout) {
  GlobalInit();
}

HttpPoster::~HttpPoster() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

int32_t HttpPoster::Post(const std::string& user_agent, const std::string& url, const std::string& body,
                         std::string* response, const std::map<std::string, std::string>* headers) {
  last_status_ = 0;
  last_error_.clear();
  peer_refused_ = false;
  response_headers_.clear();
  url_path_.clear();
  extra_info_.clear();
  if (!SplitUrl(url, &url_path_, &extra_info_, &secure_)) return kHttpFailed;

  std::unique_ptr<curl_slist, SlistDeleter> list;
  auto add = [&list](const std::string& line) {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (next == nullptr) return false;
    list.release();
    list.reset(next);
    return true;
  };
  if (!add("Connection: Keep-Alive") || !add("Content-Type: application/x-www-form-urlencoded")) {
    return kHttpFailed;
  }
  add("Expect:");  // send the body at once instead of waiting for "100 Continue"
  if (headers != nullptr) {
    for (const auto& [name, value] : *headers) {
      if (name.empty() || name.find(':') != std::string::npos || !SafeHeaderText(name) || !SafeHeaderText(value) ||
          !add(name + ": " + value)) {
        return kHttpFailed;
      }
    }
  }

  if (curl_ == nullptr) curl_ = curl_easy_init();
  CURL* curl = static_cast<CURL*>(curl_);
  if (curl == nullptr) return kHttpTransportError;
  curl_easy_reset(curl);  // keeps the connection cache
  std::string received;
  char error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, user_agent.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_POSTREDIR, CURL_REDIR_POST_ALL);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // A request made over https never continues in the clear.
  const bool https = url.compare(0, 8, "https://") == 0;
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, KeepHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response_headers_);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, tls_.verify ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, tls_.verify ? 2L : 0L);
  if (tls_.verify && !tls_.ca_file.empty()) {
    // The named CAs alone, not the system's folder of them as well.
    curl_easy_setopt(curl, CURLOPT_CAINFO, tls_.ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  }
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(resolve_timeout_ + connect_timeout_));
  // A request that moves less than one byte a second for the send or the
  // receive time-out (the larger) is ended.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(send_timeout_, receive_timeout_)));

  CURLcode rc = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  if (response != nullptr) response->append(received);
  if (rc != CURLE_OK) {
    last_error_ = error[0] ? error : curl_easy_strerror(rc);
    peer_refused_ = rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE;
    if (rc == CURLE_URL_MALFORMAT || rc == CURLE_UNSUPPORTED_PROTOCOL) return kHttpFailed;
    return kHttpTransportError;
  }
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &last_status_) != CURLE_OK || last_status_ == 0) {
    return kHttpFailed;
  }
  if ((last_status_ >= 200 && last_status_ <= 299) || last_status_ == 302) return kHttpOk;
  if (last_status_ == 304) return kHttpNotModified;
  return kHttpFailed;
}

std::string HttpPoster::ResponseHeader(const std::string& name) const {
  for (const auto& [field, value] : response_headers_) {
    if (strcasecmp(field.c_str(), name.c_str()) == 0) return value;
  }
  return std::string();
}

bool CheckLocalEndpoint(const std::string& host, int port, std::string* body) {
  HttpPoster poster(10, 10, 15, 15);
  body->clear();
  std::string url = host + ":" + std::to_string(port);
  return poster.Post("zevsvc", url, "", body) == kHttpOk && *body == "It is working.";
}

}  // namespace zev
