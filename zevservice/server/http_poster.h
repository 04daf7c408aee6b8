// HttpPoster: a small synchronous HTTP(S) client for form-encoded POSTs, on
// the HTTP/1.1 client of contract/ with OpenSSL for https. A forward proxy
// is used as libcurl uses one, from http_proxy (lower case only),
// https_proxy or HTTPS_PROXY, all_proxy or ALL_PROXY, and no_proxy or
// NO_PROXY: http requests name the whole URL to it, https ones go through
// a CONNECT tunnel with the certificate checked against the server's host.
// By default any server certificate is accepted (issuer, host name
// and dates are not checked), as the strategy server deployments expect;
// set_tls turns the checks on.
//
// One object serves one thread at a time; it keeps its connection open from
// one request to the next.
#ifndef ZEV_SERVER_HTTP_POSTER_H_
#define ZEV_SERVER_HTTP_POSTER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zev {

class HttpClient;
class TlsLayer;

// Result codes of Post.
constexpr int32_t kHttpOk = 0;            // status 200-299 or 302; the body is returned
constexpr int32_t kHttpFailed = -1;       // bad URL or header, unreadable or other status
constexpr int32_t kHttpTransportError = -2;  // cannot connect, send or receive (time-outs too)
constexpr int32_t kHttpNotModified = -6;  // status 304

// How an https request treats the server's certificate.
struct TlsPolicy {
  // Whether the certificate chain, its dates and the host name are checked.
  bool verify = false;
  // With verify: the PEM file of the CA certificates trusted instead of the
  // system's store; empty: the system's store.
  std::string ca_file;
};

class HttpPoster {
 public:
  // Time-outs in seconds: resolve, connect, send, receive. The service uses
  // 10, 10, 15, 15. Resolve and connect together bound the connection set-up;
  // send and receive each end a request that moves no byte for that long.
  HttpPoster(int32_t resolve_timeout, int32_t connect_timeout, int32_t send_timeout,
             int32_t receive_timeout);
  ~HttpPoster();
  HttpPoster(const HttpPoster&) = delete;
  HttpPoster& operator=(const HttpPoster&) = delete;

  // POSTs `body` to `url` with "Connection: Keep-Alive" and "Content-Type:
  // application/x-www-form-urlencoded", then `headers` in key order. The
  // response body (all of it, zero bytes included) is appended to *response,
  // whatever the status. A header name or value with a line break, a name
  // with a colon, and Host, Content-Length, Connection or Transfer-Encoding
  // (written by the poster itself) are refused (-1) before anything is
  // sent. Redirects are followed (http and https only).
  int32_t Post(const std::string& user_agent, const std::string& url, const std::string& body,
               std::string* response, const std::map<std::string, std::string>* headers = nullptr);

  // For the requests that follow.
  void set_tls(TlsPolicy tls) { tls_ = std::move(tls); }

  // The HTTP status of the last request (0 when none arrived).
  long last_status() const { return last_status_; }
  // Whether the last request failed because the server's certificate (or
  // the CA file) did not pass the checks of set_tls.
  bool peer_refused() const { return peer_refused_; }
  // The value of the last response's first header called `name` (in any
  // case); "" for none. After a redirect, that of the final response.
  std::string ResponseHeader(const std::string& name) const;
  // The description of the last transport failure (empty otherwise).
  const std::string& last_error() const { return last_error_; }
  // The path and query of the last URL ("/api/event", "?a=1").
  const std::string& url_path() const { return url_path_; }
  const std::string& extra_info() const { return extra_info_; }
  bool secure() const { return secure_; }

 private:
  const int32_t resolve_timeout_;
  const int32_t connect_timeout_;
  const int32_t send_timeout_;
  const int32_t receive_timeout_;
  // The connection, kept between requests to the same scheme, host, port,
  // proxy and certificate checks; tls_layer_ is its TLS layer (null for
  // http).
  std::unique_ptr<HttpClient> connection_;
  std::string connection_key_;
  TlsLayer* tls_layer_ = nullptr;
  std::string url_path_;
  std::string extra_info_;
  bool secure_ = false;
  long last_status_ = 0;
  std::string last_error_;
  bool peer_refused_ = false;
  TlsPolicy tls_;
  std::vector<std::pair<std::string, std::string>> response_headers_;
};

// POSTs empty form data to host:port with an HttpPoster (time-outs 10, 10,
// 15, 15) and checks that the body is exactly "It is working.". *body
// receives what came back.
bool CheckLocalEndpoint(const std::string& host, int port, std::string* body);

// Whether a DNS name of a certificate (`pattern`, a wildcard allowed as the
// whole or part of the leftmost of at least three labels, standing for at
// least one character) names `host`; case and a trailing dot do not count.
// An address matches only itself.
bool CertificateNameMatches(const std::string& pattern, const std::string& host);

// One POST of empty form data to `url` (http, or https accepting any
// certificate), on a connection of its own and never through a proxy, following no redirect, within
// `limit_ms` in all besides HttpPoster's time-outs `seconds` (resolve,
// connect, send, receive); at most `max_body` bytes of the body are read (a
// longer one fails). False on any failure, else *status and *body.
bool PostOnce(const std::string& user_agent, const std::string& url, const int32_t (&seconds)[4], int limit_ms,
              size_t max_body, long* status, std::string* body);

}  // namespace zev

#endif  // ZEV_SERVER_HTTP_POSTER_H_
