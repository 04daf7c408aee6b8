#include "server/http_poster.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "contract/http_client.h"
#include "platform/wait.h"

namespace zev {

// The system's CA certificates, as the distribution keeps them.
constexpr char kSystemCaFile[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kSystemCaFolder[] = "/etc/ssl/certs";

namespace {

constexpr int kMaxRedirects = 10;

bool SafeHeaderText(const std::string& text) {
  return text.find_first_of("\r\n") == std::string::npos && text.find('\0') == std::string::npos;
}

bool IsAddress(const std::string& host, unsigned char* bytes = nullptr, size_t* length = nullptr) {
  unsigned char buffer[16];
  unsigned char* out = bytes != nullptr ? bytes : buffer;
  if (inet_pton(AF_INET, host.c_str(), out) == 1) {
    if (length != nullptr) *length = 4;
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), out) == 1) {
    if (length != nullptr) *length = 16;
    return true;
  }
  return false;
}

// Where a request goes, from an http or https URL.
struct Target {
  bool secure = false;
  std::string host;         // a name or an address, without brackets
  int port = 0;
  std::string host_header;  // the host as the URL has it, with the port unless it is the scheme's
  std::string path;         // "/" at least
  std::string query;        // "?..." or ""
  std::string Origin() const {
    const std::string host_text = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(secure ? "https://" : "http://") + host_text + ":" + std::to_string(port);
  }
};

// False when `url` is not an absolute http or https URL with a host (user
// names, white space and other than ASCII are refused as well).
bool ParseUrl(const std::string& url, Target* target) {
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7f) return false;
  }
  const size_t separator = url.find("://");
  if (separator == std::string::npos) return false;
  const std::string scheme = url.substr(0, separator);
  if (strcasecmp(scheme.c_str(), "http") == 0) {
    target->secure = false;
  } else if (strcasecmp(scheme.c_str(), "https") == 0) {
    target->secure = true;
  } else {
    return false;
  }
  const std::string rest = url.substr(separator + 3);
  const size_t tail_start = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string authority = rest.substr(0, tail_start);
  if (authority.empty() || authority.find('@') != std::string::npos) return false;
  std::string host_text, port_text;
  if (authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    target->host = authority.substr(1, close - 1);
    host_text = authority.substr(0, close + 1);
    port_text = authority.substr(close + 1);
    unsigned char bytes[16];
    size_t length = 0;
    if (!IsAddress(target->host, bytes, &length) || length != 16) return false;
  } else {
    const size_t colon = authority.find(':');
    target->host = authority.substr(0, colon);
    host_text = target->host;
    port_text = colon == std::string::npos ? "" : authority.substr(colon);
    if (target->host.empty()) return false;
    for (char c : target->host) {
      if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return false;
    }
  }
  const int default_port = target->secure ? 443 : 80;
  target->port = default_port;
  if (!port_text.empty()) {
    if (port_text[0] != ':' || port_text.size() > 6) return false;
    if (port_text.size() > 1) {
      int port = 0;
      for (size_t i = 1; i < port_text.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(port_text[i]))) return false;
        port = port * 10 + (port_text[i] - '0');
      }
      if (port < 1 || port > 65535) return false;
      target->port = port;
    }
  }
  target->host_header = host_text + (target->port == default_port ? "" : ":" + std::to_string(target->port));
  std::string tail = rest.substr(tail_start);
  tail = tail.substr(0, tail.find('#'));
  const size_t question = tail.find('?');
  target->path = tail.substr(0, question);
  if (target->path.empty()) target->path = "/";
  target->query = question == std::string::npos ? "" : tail.substr(question);
  return true;
}

// The target of a redirect's Location, absolute or relative to `from`.
bool ResolveLocation(const Target& from, const std::string& location, Target* next) {
  const size_t scheme_end = location.find("://");
  if (scheme_end != std::string::npos && scheme_end < location.find_first_of("/?#")) {
    return ParseUrl(location, next);
  }
  if (location.compare(0, 2, "//") == 0) return ParseUrl((from.secure ? "https:" : "http:") + location, next);
  std::string url = from.Origin();
  if (location.empty() || location[0] == '#') {
    url += from.path + from.query;
  } else if (location[0] == '/') {
    url += location;
  } else if (location[0] == '?') {
    url += from.path + location;
  } else {
    url += from.path.substr(0, from.path.rfind('/') + 1) + location;
  }
  return ParseUrl(url, next);
}

// A forward proxy, from the variables libcurl reads.
struct Proxy {
  std::string host;           // empty: none, the request goes direct
  int port = 1080;
  std::string authorization;  // a Proxy-Authorization value, or empty
  std::string error;          // why the proxy named cannot be used
  std::string Key() const {
    return host.empty() ? std::string() : " via " + host + ":" + std::to_string(port) + " " + authorization;
  }
};

// Whether a no_proxy `list` (host names or domain suffixes, a leading dot
// optional, ports ignored; addresses match only themselves; "*" alone for
// all) names `host`.
bool NoProxyNames(const std::string& list, std::string host) {
  if (list == "*") return true;
  if (!host.empty() && host.back() == '.') host.pop_back();
  unsigned char address[16], other[16];
  size_t length = 0, other_length = 0;
  const bool is_address = IsAddress(host, address, &length);
  for (size_t start = 0; start < list.size();) {
    const size_t end = std::min(list.find_first_of(", \t", start), list.size());
    std::string token = list.substr(start, end - start);
    start = end + 1;
    if (!token.empty() && token[0] == '[') {
      token = token.substr(1, token.find(']') - 1);
    } else if (token.find(':') == token.rfind(':')) {
      token = token.substr(0, token.find(':'));
    }
    if (is_address) {
      if (IsAddress(token, other, &other_length) && other_length == length && memcmp(address, other, length) == 0) {
        return true;
      }
      continue;
    }
    if (!token.empty() && token[0] == '.') token.erase(0, 1);
    if (!token.empty() && token.back() == '.') token.pop_back();
    if (token.empty() || token.size() > host.size()) continue;
    const size_t suffix = host.size() - token.size();
    if ((suffix == 0 || host[suffix - 1] == '.') && strcasecmp(host.c_str() + suffix, token.c_str()) == 0) {
      return true;
    }
  }
  return false;
}

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The proxy for `target` as libcurl picks it: none when no_proxy (or
// NO_PROXY) names the host; else http_proxy for http (lower case only),
// https_proxy or HTTPS_PROXY for https, else all_proxy or ALL_PROXY. The
// value is [http://][user[:password]@]host[:port]; other schemes are refused.
Proxy ProxyFor(const Target& target) {
  Proxy proxy;
  const char* no_proxy = getenv("no_proxy");
  if (no_proxy == nullptr) no_proxy = getenv("NO_PROXY");
  if (no_proxy != nullptr && NoProxyNames(no_proxy, target.host)) return proxy;
  const char* variable = target.secure ? "https_proxy" : "http_proxy";
  const char* value = getenv(variable);
  if (value == nullptr && target.secure) value = getenv(variable = "HTTPS_PROXY");
  if (value == nullptr) value = getenv(variable = "all_proxy");
  if (value == nullptr) value = getenv(variable = "ALL_PROXY");
  if (value == nullptr || *value == '\0') return proxy;
  std::string rest = value;
  const size_t separator = rest.find("://");
  if (separator != std::string::npos) {
    const std::string scheme = rest.substr(0, separator);
    if (strcasecmp(scheme.c_str(), "http") != 0) {
      proxy.error = std::string("the proxy of ") + variable + " is of the scheme \"" + scheme +
                    "\"; only http:// proxies are supported";
      return proxy;
    }
    rest.erase(0, separator + 3);
  }
  std::string authority = rest.substr(0, rest.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string user = authority.substr(0, at);
    const size_t colon = user.find(':');
    const std::string credentials =
        PercentDecoded(user.substr(0, colon)) + ":" +
        (colon == std::string::npos ? std::string() : PercentDecoded(user.substr(colon + 1)));
    std::string encoded(4 * ((credentials.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                                       reinterpret_cast<const unsigned char*>(credentials.data()),
                                                       static_cast<int>(credentials.size()))));
    proxy.authorization = "Basic " + encoded;
    authority.erase(0, at + 1);
  }
  Target parsed;
  const size_t host_end = !authority.empty() && authority[0] == '[' ? authority.find(']') : 0;
  const bool has_port = host_end != std::string::npos && authority.find(':', host_end) != std::string::npos &&
                        authority.back() != ':';
  if (!ParseUrl("http://" + authority, &parsed)) {
    proxy.error = std::string("the proxy of ") + variable + " has no usable host and port";
    return proxy;
  }
  proxy.host = parsed.host;
  if (has_port) proxy.port = parsed.port;
  return proxy;
}

// Sends `request` (a CONNECT) to the proxy on `fd` and reads its answer's
// head byte by byte, so that nothing of the tunnel after it is taken; a
// status other than 2xx fails.
bool OpenTunnel(int fd, const std::string& request, int64_t deadline, std::string* error) {
  auto wait = [&](short events) {
    pollfd ready = {fd, events, 0};
    const int n = PollUntil(&ready, 1, deadline);
    if (n <= 0) *error = n == 0 ? "the proxy did not open the tunnel in time" : std::string("proxy: ") + strerror(errno);
    return n > 0;
  };
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait(POLLOUT)) return false;
    } else if (errno != EINTR) {
      *error = std::string("cannot send CONNECT to the proxy: ") + strerror(errno);
      return false;
    }
  }
  std::string head;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    char c;
    const ssize_t n = recv(fd, &c, 1, 0);
    if (n == 1) {
      head.push_back(c);
      if (head.size() > kMaxHttpResponseHead) {
        *error = "the proxy's answer to CONNECT is too long";
        return false;
      }
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait(POLLIN)) return false;
    } else if (n == 0 || errno != EINTR) {
      *error = "the proxy closed the connection after CONNECT";
      return false;
    }
  }
  const int status = head.compare(0, 7, "HTTP/1.") == 0 && head.size() > 12 && head[8] == ' ' ? atoi(&head[9]) : 0;
  if (status < 200 || status > 299) {
    *error = "CONNECT tunnel failed, response " + std::to_string(status);
    return false;
  }
  return true;
}

// The socket under a TLS connection, written with MSG_NOSIGNAL: a peer that
// has gone must not raise SIGPIPE in the service.
int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = send(SocketOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = recv(SocketOf(bio), buffer, static_cast<size_t>(size), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zev socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioControl);
    }
    return m;
  }();
  return method;
}

std::string OpenSslError(const char* what) {
  const unsigned long code = ERR_get_error();
  if (code == 0) return std::string(what) + (errno != 0 ? std::string(": ") + strerror(errno) : "");
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return std::string(what) + ": " + text;
}

}  // namespace

bool CertificateNameMatches(const std::string& pattern_text, const std::string& host_text) {
  std::string pattern = pattern_text, host = host_text;
  if (pattern.empty() || host.empty()) return false;
  if (host.back() == '.') host.pop_back();
  if (pattern.back() == '.') pattern.pop_back();
  auto same = [](const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
  };
  const size_t wildcard = pattern.find('*');
  if (wildcard == std::string::npos) return same(pattern, host);
  if (IsAddress(host)) return false;
  const size_t pattern_label_end = pattern.find('.');
  if (pattern_label_end == std::string::npos || pattern.rfind('.') == pattern_label_end ||
      strncasecmp(pattern.c_str(), "xn--", 4) == 0) {
    return same(pattern, host);
  }
  if (wildcard > pattern_label_end) return false;
  const size_t host_label_end = host.find('.');
  if (host_label_end == std::string::npos || !same(host.substr(host_label_end), pattern.substr(pattern_label_end))) {
    return false;
  }
  if (host_label_end < pattern_label_end) return false;
  const size_t prefix = wildcard;
  const size_t suffix = pattern_label_end - wildcard - 1;
  return strncasecmp(pattern.c_str(), host.c_str(), prefix) == 0 &&
         strncasecmp(pattern.c_str() + wildcard + 1, host.c_str() + host_label_end - suffix, suffix) == 0;
}

namespace {

// Whether the certificate names `host`: its subject alternative names of
// the host's kind (DNS names or addresses) when it has any alternative name,
// else its last common name.
bool CertificateNamesHost(X509* cert, const std::string& host, std::string* error) {
  unsigned char address[16];
  size_t address_length = 0;
  const bool is_address = IsAddress(host, address, &address_length);
  bool has_alt_names = false;
  bool matched = false;
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  if (names != nullptr) {
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && !matched; ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
      if (name->type != GEN_DNS && name->type != GEN_IPADD) continue;
      has_alt_names = true;
      const ASN1_STRING* value = name->type == GEN_DNS ? name->d.dNSName : name->d.iPAddress;
      const char* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(value));
      const size_t length = static_cast<size_t>(ASN1_STRING_length(value));
      if (name->type == GEN_DNS && !is_address) {
        matched = strnlen(data, length) == length && CertificateNameMatches(std::string(data, length), host);
      } else if (name->type == GEN_IPADD && is_address) {
        matched = length == address_length && memcmp(data, address, length) == 0;
      }
    }
    GENERAL_NAMES_free(names);
  }
  if (matched) return true;
  if (has_alt_names) {
    *error = "SSL: no alternative certificate subject name matches target host name '" + host + "'";
    return false;
  }
  X509_NAME* subject = X509_get_subject_name(cert);
  int index = -1;
  for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;) index = i;
  if (index < 0) {
    *error = "SSL: unable to obtain common name from peer certificate";
    return false;
  }
  unsigned char* text = nullptr;
  const int length = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
  if (length < 0) {
    *error = "SSL: unable to obtain common name from peer certificate";
    return false;
  }
  const std::string common_name(reinterpret_cast<char*>(text), static_cast<size_t>(length));
  OPENSSL_free(text);
  if (common_name.find('\0') != std::string::npos) {
    *error = "SSL: illegal cert name field";
    return false;
  }
  if (CertificateNameMatches(common_name, host)) return true;
  *error = "SSL: certificate subject name '" + common_name + "' does not match target host name '" + host + "'";
  return false;
}

}  // namespace

// TLS on the client's socket, with the certificate checks of a TlsPolicy:
// with verify, the chain (against the named CA file or the system's
// certificates; a certificate of that store ends a chain even when it is
// not a root), its dates and the host name; without, none at all. With a
// `tunnel` request, the socket goes to a proxy that is asked for a tunnel
// to the host first.
class TlsLayer : public HttpStreamLayer {
 public:
  TlsLayer(std::string host, TlsPolicy policy, std::string tunnel)
      : host_(std::move(host)), policy_(std::move(policy)), tunnel_(std::move(tunnel)) {}
  ~TlsLayer() override {
    Close();
    SSL_CTX_free(context_);
  }

  bool refused() const { return refused_; }
  void clear_refused() { refused_ = false; }

  bool Open(int fd, int64_t deadline, std::string* error) override {
    refused_ = false;
    if (context_ == nullptr && !MakeContext(error)) return false;
    if (!tunnel_.empty() && !OpenTunnel(fd, tunnel_, deadline, error)) return false;
    BIO* bio = SocketBioMethod() != nullptr ? BIO_new(SocketBioMethod()) : nullptr;
    ssl_ = SSL_new(context_);
    if (bio == nullptr || ssl_ == nullptr) {
      BIO_free(bio);
      *error = OpenSslError("cannot set up TLS");
      return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
    if (!IsAddress(host_)) SSL_set_tlsext_host_name(ssl_, host_.c_str());
    SSL_set_connect_state(ssl_);
    for (;;) {
      ERR_clear_error();
      errno = 0;
      const int rc = SSL_do_handshake(ssl_);
      if (rc == 1) break;
      const int failure = SSL_get_error(ssl_, rc);
      if (failure != SSL_ERROR_WANT_READ && failure != SSL_ERROR_WANT_WRITE) {
        const long verdict = SSL_get_verify_result(ssl_);
        if (policy_.verify && verdict != X509_V_OK) {
          refused_ = true;
          *error = std::string("SSL certificate problem: ") + X509_verify_cert_error_string(verdict);
        } else {
          *error = OpenSslError("TLS handshake failed");
        }
        return false;
      }
      pollfd ready = {fd, static_cast<short>(failure == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      const int n = PollUntil(&ready, 1, deadline);
      if (n <= 0) {
        *error = n == 0 ? "the TLS handshake did not end in time" : std::string("TLS handshake: ") + strerror(errno);
        return false;
      }
    }
    if (policy_.verify) {
      X509* cert = SSL_get0_peer_certificate(ssl_);
      if (cert == nullptr || !CertificateNamesHost(cert, host_, error)) {
        if (cert == nullptr) *error = "SSL: no certificate from the server";
        refused_ = true;
        return false;
      }
    }
    return true;
  }

  ssize_t Read(char* buffer, size_t size, short* wait_events) override {
    ERR_clear_error();
    const int rc = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    return rc > 0 ? rc : Failure(rc, wait_events);
  }

  ssize_t Write(const char* data, size_t size, short* wait_events) override {
    ERR_clear_error();
    const int rc = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (rc > 0) return rc;
    const ssize_t n = Failure(rc, wait_events);
    if (n == 0) errno = EPIPE;
    return n == 0 ? -1 : n;
  }

  // Only a close_notify received sets this; the socket's end alone does
  // not (see MakeContext).
  bool EndAnnounced() const override {
    return ssl_ != nullptr && (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0;
  }

  void Close() override {
    if (ssl_ == nullptr) return;
    if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);  // one try at close_notify, not waited for
    SSL_free(ssl_);
    ssl_ = nullptr;
  }

 private:
  bool MakeContext(std::string* error) {
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr) {
      *error = OpenSslError("cannot set up TLS");
      return false;
    }
    SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Servers that close without close_notify, a kept connection among
    // them: the body's length tells whether it all came; a body that ends
    // with the connection must have its end announced (EndAnnounced).
    SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (!policy_.verify) {
      SSL_CTX_set_verify(context_, SSL_VERIFY_NONE, nullptr);
      return true;
    }
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    X509_STORE_set_flags(SSL_CTX_get_cert_store(context_), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    const bool own = !policy_.ca_file.empty();
    if (SSL_CTX_load_verify_locations(context_, own ? policy_.ca_file.c_str() : kSystemCaFile,
                                      own ? nullptr : kSystemCaFolder) != 1) {
      *error = "error setting certificate file: " + (own ? policy_.ca_file : std::string(kSystemCaFile));
      refused_ = true;
      SSL_CTX_free(context_);
      context_ = nullptr;
      return false;
    }
    return true;
  }

  ssize_t Failure(int rc, short* wait_events) {
    switch (SSL_get_error(ssl_, rc)) {
      case SSL_ERROR_WANT_READ:
        *wait_events = POLLIN;
        errno = EAGAIN;
        return -1;
      case SSL_ERROR_WANT_WRITE:
        *wait_events = POLLOUT;
        errno = EAGAIN;
        return -1;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      case SSL_ERROR_SYSCALL:
        if (errno == 0 || errno == EAGAIN) errno = ECONNRESET;
        return -1;
      default:
        errno = EPROTO;
        return -1;
    }
  }

  const std::string host_;
  const TlsPolicy policy_;
  const std::string tunnel_;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  bool refused_ = false;
};

namespace {

// A client for `target`, through `proxy` unless it has no host, with the
// time-outs (s) of an HttpPoster; those of the connection set-up include
// the tunnel's.
std::unique_ptr<HttpClient> NewConnection(const Target& target, const Proxy& proxy, const std::string& user_agent,
                                          const TlsPolicy& tls, const int32_t (&seconds)[4], size_t max_body,
                                          TlsLayer** layer) {
  const bool direct = proxy.host.empty();
  auto client = std::make_unique<HttpClient>(direct ? target.host : proxy.host, direct ? target.port : proxy.port);
  HttpClientLimits limits;
  limits.connect_ms = (seconds[0] + seconds[1]) * 1000;
  limits.idle_ms = std::max(seconds[2], seconds[3]) * 1000;
  // As libcurl was told (LOW_SPEED_LIMIT 1 byte/s over LOW_SPEED_TIME, the
  // same time-out): no overall limit, but a request trickling along at
  // less than that ends.
  limits.low_speed_ms = limits.idle_ms;
  limits.max_body = max_body;
  client->set_limits(limits);
  *layer = nullptr;
  if (target.secure) {
    std::string tunnel;
    if (!direct) {
      const std::string authority =
          (target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host) + ":" +
          std::to_string(target.port);
      tunnel = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
      if (!proxy.authorization.empty()) tunnel += "Proxy-Authorization: " + proxy.authorization + "\r\n";
      if (!user_agent.empty()) tunnel += "User-Agent: " + user_agent + "\r\n";
      tunnel += "\r\n";
    }
    auto tls_layer = std::make_unique<TlsLayer>(target.host, tls, std::move(tunnel));
    *layer = tls_layer.get();
    client->set_layer(std::move(tls_layer));
  }
  return client;
}

HttpHeaders RequestHeaders(const Target& target, const std::string& user_agent) {
  HttpHeaders headers = {{"Host", target.host_header}};
  if (!user_agent.empty()) headers.emplace_back("User-Agent", user_agent);
  headers.emplace_back("Accept", "*/*");
  headers.emplace_back("Connection", "Keep-Alive");
  headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  return headers;
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

HttpPoster::HttpPoster(int32_t resolve_timeout, int32_t connect_timeout, int32_t send_timeout,
                       int32_t receive_timeout)
    : resolve_timeout_(resolve_timeout),
      connect_timeout_(connect_timeout),
      send_timeout_(send_timeout),
      receive_timeout_(receive_timeout) {}

HttpPoster::~HttpPoster() = default;

int32_t HttpPoster::Post(const std::string& user_agent, const std::string& url, const std::string& body,
                         std::string* response, const std::map<std::string, std::string>* headers) {
  last_status_ = 0;
  last_error_.clear();
  peer_refused_ = false;
  response_headers_.clear();
  url_path_.clear();
  extra_info_.clear();
  Target target;
  if (!ParseUrl(url, &target) || !SafeHeaderText(user_agent)) return kHttpFailed;
  url_path_ = target.path;
  extra_info_ = target.query;
  secure_ = target.secure;
  HttpHeaders given;
  if (headers != nullptr) {
    for (const auto& [name, value] : *headers) {
      // The client writes Host, Content-Length and Connection itself, and
      // sends no other transfer coding.
      if (name.empty() || name.find(':') != std::string::npos || !SafeHeaderText(name) || !SafeHeaderText(value) ||
          strcasecmp(name.c_str(), "Host") == 0 || strcasecmp(name.c_str(), "Content-Length") == 0 ||
          strcasecmp(name.c_str(), "Connection") == 0 || strcasecmp(name.c_str(), "Transfer-Encoding") == 0) {
        return kHttpFailed;
      }
      given.emplace_back(name, value);
    }
  }
  const int32_t seconds[4] = {resolve_timeout_, connect_timeout_, send_timeout_, receive_timeout_};
  // A request made over https never continues in the clear.
  const bool https_only = target.secure;
  for (int redirects = 0;; ++redirects) {
    const Proxy proxy = ProxyFor(target);
    if (!proxy.error.empty()) {
      last_error_ = proxy.error;
      return kHttpTransportError;
    }
    const std::string key = target.Origin() + proxy.Key() + (tls_.verify ? " verify " + tls_.ca_file : "");
    if (connection_ == nullptr || key != connection_key_) {
      connection_ = NewConnection(target, proxy, user_agent, tls_, seconds, kMaxHttpResponseBody, &tls_layer_);
      connection_key_ = key;
    }
    HttpHeaders request_headers = RequestHeaders(target, user_agent);
    request_headers.insert(request_headers.end(), given.begin(), given.end());
    // Through a proxy, plain http names the whole URL; https goes through
    // the tunnel as it would direct.
    std::string request_target = target.path + target.query;
    if (!proxy.host.empty() && !target.secure) {
      request_target = "http://" + target.host_header + request_target;
      if (!proxy.authorization.empty()) {
        request_headers.insert(request_headers.begin() + 1, {"Proxy-Authorization", proxy.authorization});
      }
    }
    HttpResponse answer;
    std::string error;
    if (tls_layer_ != nullptr) tls_layer_->clear_refused();  // a refusal of an earlier request is not this one's
    if (!connection_->Request("POST", request_target, request_headers, body, -1, &answer, &error)) {
      last_error_ = error;
      peer_refused_ = tls_layer_ != nullptr && tls_layer_->refused();
      last_status_ = 0;
      response_headers_.clear();
      return kHttpTransportError;
    }
    last_status_ = answer.status;
    response_headers_ = std::move(answer.headers);
    const std::string location = ResponseHeader("Location");
    if (IsRedirect(answer.status) && !location.empty()) {
      last_status_ = 0;
      if (redirects == kMaxRedirects) {
        last_error_ = "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed";
        return kHttpTransportError;
      }
      Target next;
      if (!ResolveLocation(target, location, &next) || (https_only && !next.secure)) {
        last_error_ = "redirect refused: " + location;
        return kHttpFailed;
      }
      target = std::move(next);
      continue;
    }
    if (response != nullptr && response->empty()) {
      response->swap(answer.body);  // a large body is not copied again
    } else if (response != nullptr) {
      response->append(answer.body);
    }
    if ((last_status_ >= 200 && last_status_ <= 299) || last_status_ == 302) return kHttpOk;
    if (last_status_ == 304) return kHttpNotModified;
    return kHttpFailed;
  }
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

bool PostOnce(const std::string& user_agent, const std::string& url, const int32_t (&seconds)[4], int limit_ms,
              size_t max_body, long* status, std::string* body) {
  Target target;
  if (!ParseUrl(url, &target) || !SafeHeaderText(user_agent)) return false;
  TlsLayer* layer = nullptr;
  std::unique_ptr<HttpClient> client = NewConnection(target, Proxy(), user_agent, TlsPolicy(), seconds, max_body, &layer);
  HttpResponse answer;
  std::string error;
  if (!client->Request("POST", target.path + target.query, RequestHeaders(target, user_agent), "", limit_ms, &answer,
                       &error)) {
    return false;
  }
  *status = answer.status;
  *body = std::move(answer.body);
  return true;
}

}  // namespace zev
