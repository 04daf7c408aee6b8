// HttpPoster against real servers on loopback: a Python HTTP(S) server
// (started per test) and our own RPC endpoint for CheckLocalEndpoint.
#include "server/http_poster.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/paths.h"
#include "platform/process.h"
#include "testing/port_server.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// Runs http_test_server.py (with `extra` arguments) and learns its port.
class TestServer : public PortServer {
 public:
  explicit TestServer(const std::vector<std::string>& extra = {}) : PortServer(Argv(extra)) {}

 private:
  static std::vector<std::string> Argv(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"python3", HTTP_TEST_SERVER_PATH};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }
};

bool Shell(const std::string& command) { return system(command.c_str()) == 0; }

}  // namespace

TEST(HttpPoster, ResultCodesFollowTheStatus) {
  TestServer server;
  ASSERT_NE(server.port(), 0);
  HttpPoster poster(10, 10, 15, 15);
  std::string body;
  EXPECT_EQ(poster.Post("ua", server.Url("http", "/echo"), "a=1", &body), kHttpOk);
  EXPECT_NE(body.find("\"body\": \"a=1\""), std::string::npos) << body;

  struct Case {
    int status;
    int32_t code;
  };
  for (Case c : {Case{201, kHttpOk}, Case{302, kHttpOk}, Case{304, kHttpNotModified}, Case{404, kHttpFailed},
                 Case{500, kHttpFailed}}) {
    body.clear();
    EXPECT_EQ(poster.Post("ua", server.Url("http", "/status/" + std::to_string(c.status)), "", &body), c.code)
        << c.status;
    EXPECT_EQ(poster.last_status(), c.status);
    if (c.status != 304) {
      EXPECT_EQ(body, "status " + std::to_string(c.status));  // read whatever the status
    }
  }
  // Redirects, absolute or relative, keep the POST and its body; a loop ends
  // after ten, another scheme fails.
  struct Redirect {
    std::string location;
    int32_t code;
    const char* path;
  };
  const std::string origin = "//127.0.0.1:" + std::to_string(server.port());
  for (const Redirect& r : {Redirect{"", kHttpOk, "/echo?redirected=1"}, Redirect{"/echo?abs=1", kHttpOk, "/echo?abs=1"},
                            Redirect{origin + "/echo?net=1", kHttpOk, "/echo?net=1"},
                            Redirect{"?loop", kHttpTransportError, nullptr},
                            Redirect{"ftp://127.0.0.1/x", kHttpFailed, nullptr}}) {
    body.clear();
    const std::string path = r.location.empty() ? "/redirect" : "/redirect-to/" + r.location;
    EXPECT_EQ(poster.Post("ua", server.Url("http", path), "r=1", &body), r.code) << r.location;
    if (r.path != nullptr) {
      EXPECT_NE(body.find("\"path\": \"" + std::string(r.path) + "\""), std::string::npos) << body;
      EXPECT_NE(body.find("\"body\": \"r=1\""), std::string::npos) << body;
    }
  }
}

TEST(HttpPoster, CertificateNamesMatchAsLibcurlMatchesThem) {
  struct Case {
    const char* pattern;
    const char* host;
    bool match;
  };
  for (const Case& c : {Case{"Www.Example.COM", "www.example.com.", true}, Case{"*.example.com", "a.example.com", true},
                        Case{"w*.example.com", "www.example.com", true}, Case{"*w.example.com", "w.example.com", false},
                        Case{"*.example.com", "example.com", false}, Case{"*.example.com", "a.b.example.com", false},
                        Case{"*.com", "example.com", false}, Case{"a.*.example.com", "a.b.example.com", false},
                        Case{"xn--*.example.com", "xn--a.example.com", false}, Case{"*.0.0.1", "127.0.0.1", false},
                        Case{"127.0.0.1", "127.0.0.1", true}, Case{"", "example.com", false}}) {
    EXPECT_EQ(CertificateNameMatches(c.pattern, c.host), c.match) << c.pattern << " " << c.host;
  }
}

TEST(HttpPoster, SendsTheFixedHeadersThenTheGivenOnesInKeyOrder) {
  TestServer server;
  HttpPoster poster(10, 10, 15, 15);
  std::map<std::string, std::string> headers = {{"X-B", "2"}, {"X-A", "1"}};
  std::string body;
  ASSERT_EQ(poster.Post("winhttp zev/2.0", server.Url("http", "/echo/path?q=1&r=2"), "x", &body, &headers), kHttpOk);
  EXPECT_EQ(poster.url_path(), "/echo/path");
  EXPECT_EQ(poster.extra_info(), "?q=1&r=2");
  EXPECT_NE(body.find("\"path\": \"/echo/path?q=1&r=2\""), std::string::npos) << body;
  size_t conn = body.find("[\"Connection\", \"Keep-Alive\"]");
  size_t type = body.find("[\"Content-Type\", \"application/x-www-form-urlencoded\"]");
  size_t a = body.find("[\"X-A\", \"1\"]");
  size_t b = body.find("[\"X-B\", \"2\"]");
  ASSERT_NE(conn, std::string::npos) << body;
  ASSERT_NE(type, std::string::npos) << body;
  EXPECT_LT(conn, type);
  EXPECT_LT(type, a);
  EXPECT_LT(a, b);
  EXPECT_NE(body.find("[\"User-Agent\", \"winhttp zev/2.0\"]"), std::string::npos);

  // The connection is kept for the next request.
  auto port_of = [](const std::string& doc) { return doc.substr(doc.find("\"client_port\"")); };
  std::string again;
  ASSERT_EQ(poster.Post("ua", server.Url("http", "/echo"), "", &again), kHttpOk);
  EXPECT_EQ(port_of(body).substr(0, 22), port_of(again).substr(0, 22));

  std::map<std::string, std::string> injected = {{"X-Evil", "a\r\nX-Other: b"}};
  EXPECT_EQ(poster.Post("ua", server.Url("http", "/echo"), "", &body, &injected), kHttpFailed);
  std::map<std::string, std::string> colon = {{"X:Y", "1"}};
  EXPECT_EQ(poster.Post("ua", server.Url("http", "/echo"), "", &body, &colon), kHttpFailed);
  for (const char* name : {"host", "Content-Length", "CONNECTION", "Transfer-Encoding"}) {  // the poster's own
    std::map<std::string, std::string> own = {{name, "0"}};
    EXPECT_EQ(poster.Post("ua", server.Url("http", "/echo"), "", &body, &own), kHttpFailed) << name;
  }
}

TEST(HttpPoster, KeepsZeroBytesOfTheBody) {
  TestServer server;
  HttpPoster poster(10, 10, 15, 15);
  std::string body;
  ASSERT_EQ(poster.Post("ua", server.Url("http", "/zero"), "", &body), kHttpOk);
  std::string expected;
  for (int i = 0; i < 600; ++i) expected += std::string("ab\0cd", 5);
  EXPECT_EQ(body, expected);
}

TEST(HttpPoster, TransportFailuresAndBadUrls) {
  TestServer server;
  HttpPoster quick(1, 1, 1, 1), slow(1, 1, 3, 3);
  std::string body;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(quick.Post("ua", server.Url("http", "/hang"), "", &body), kHttpTransportError);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));  // it ended; it did not hang
  EXPECT_FALSE(quick.last_error().empty());
  EXPECT_EQ(slow.Post("ua", server.Url("http", "/trickle"), "", &body), kHttpTransportError);  // < 1 byte/s

  // A port nobody listens on.
  int closed_port = server.port();
  {
    TestServer other;
    closed_port = other.port();
  }
  EXPECT_EQ(quick.Post("ua", "http://127.0.0.1:" + std::to_string(closed_port) + "/", "", &body), kHttpTransportError);

  EXPECT_EQ(quick.Post("ua", "not a url at all", "", &body), kHttpFailed);
  EXPECT_EQ(quick.Post("ua", "ftp://127.0.0.1/file", "", &body), kHttpFailed);
  EXPECT_EQ(quick.Post("ua", "", "", &body), kHttpFailed);
}

TEST(HttpPoster, AcceptsSelfSignedAndExpiredCertificates) {
  ScopedTempDir tmp;
  const std::string d = tmp.path();
  ASSERT_TRUE(Shell("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem "
                    "-days 2 -subj /CN=zev-test >/dev/null 2>&1"));
  // An expired certificate needs explicit dates, which only "openssl ca" sets.
  ASSERT_TRUE(WriteFileAtomically(d + "/ca.cnf",
                                  "[ ca ]\ndefault_ca = ca_default\n[ ca_default ]\ndir = .\ndatabase = index.txt\n"
                                  "serial = serial\nnew_certs_dir = .\ndefault_md = sha256\npolicy = any\n"
                                  "[ any ]\ncommonName = supplied\n"));
  ASSERT_TRUE(Shell("cd " + d + " && touch index.txt && echo 01 > serial && "
                    "openssl req -new -newkey rsa:2048 -nodes -keyout old.key -out old.csr -subj /CN=zev-old "
                    ">/dev/null 2>&1 && openssl ca -batch -config ca.cnf -selfsign -keyfile old.key -in old.csr "
                    "-out old.pem -startdate 20200101000000Z -enddate 20200102000000Z >/dev/null 2>&1"));
  TestServer plain;
  ASSERT_NE(plain.port(), 0);
  for (const char* name : {"self", "old"}) {
    TestServer server({"--tls", d + "/" + name + ".pem", d + "/" + name + ".key"});
    ASSERT_NE(server.port(), 0) << name;
    HttpPoster poster(10, 10, 15, 15);
    std::string body;
    EXPECT_EQ(poster.Post("ua", server.Url("https", "/echo"), "tls", &body), kHttpOk) << name << poster.last_error();
    EXPECT_TRUE(poster.secure());
    EXPECT_NE(body.find("\"body\": \"tls\""), std::string::npos);
    // A redirect may stay on https, never leave it.
    body.clear();
    EXPECT_EQ(poster.Post("ua", server.Url("https", "/redirect"), "tls", &body), kHttpOk) << poster.last_error();
    EXPECT_NE(body.find("\"path\": \"/echo?redirected=1\""), std::string::npos) << body;
    body.clear();
    EXPECT_EQ(poster.Post("ua", server.Url("https", "/redirect-to/" + plain.Url("http", "/echo")), "tls", &body),
              kHttpFailed);
    EXPECT_EQ(body.find("\"body\": \"tls\""), std::string::npos) << body;

    // With the checks on, a CA file that cannot be read and a trusted
    // certificate that names another host (its common name, without
    // alternative names) are both refused; off again, all passes.
    for (const char* ca : {"/nonexistent.pem", "self"}) {
      poster.set_tls({true, std::string(ca) == "self" ? d + "/self.pem" : ca});
      EXPECT_EQ(poster.Post("ua", server.Url("https", "/echo"), "", &body), kHttpTransportError) << name << ca;
      EXPECT_TRUE(poster.peer_refused()) << name << ca;
      if (std::string(name) == "self" && std::string(ca) == "self") {
        EXPECT_EQ(poster.last_error(), "SSL: certificate subject name 'zev-test' does not match target host name "
                                       "'127.0.0.1'");
      }
    }
    poster.set_tls({});
    EXPECT_EQ(poster.Post("ua", server.Url("https", "/echo"), "", &body), kHttpOk) << poster.last_error();
    EXPECT_FALSE(poster.peer_refused());
    // A body that ends with the connection is taken only when TLS announced the end.
    body.clear();
    EXPECT_EQ(poster.Post("ua", server.Url("https", "/to-close"), "", &body), kHttpOk) << poster.last_error();
    EXPECT_EQ(poster.Post("ua", server.Url("https", "/cut"), "", &body), kHttpTransportError);
    EXPECT_EQ(body, "part");
  }
  // A refusal is not reported again for a later failure to connect.
  HttpPoster poster(1, 1, 1, 1);
  poster.set_tls({true, d + "/self.pem"});
  auto gone = std::make_unique<TestServer>(std::vector<std::string>{"--tls", d + "/self.pem", d + "/self.key"});
  const std::string url = gone->Url("https", "/echo");
  std::string body;
  EXPECT_EQ(poster.Post("ua", url, "", &body), kHttpTransportError);
  gone.reset();
  EXPECT_EQ(poster.Post("ua", url, "", &body), kHttpTransportError);
  EXPECT_FALSE(poster.peer_refused()) << poster.last_error();
}

// One poster through the cases, against a forward proxy that sends every
// host to 127.0.0.1 (adding "Via: zev-test-proxy" to plain http): only the
// proxy reaches zev-test.invalid, over https with the certificate checked.
TEST(HttpPoster, UsesTheProxyOfTheEnvironmentAsLibcurlDoes) {
  ScopedTempDir tmp;
  const std::string d = tmp.path();
  ASSERT_TRUE(Shell("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -out c.pem -days 2 "
                    "-subj /CN=zev -addext subjectAltName=DNS:zev-test.invalid >/dev/null 2>&1"));
  TestServer server, tls({"--tls", d + "/c.pem", d + "/k.pem"}), proxy({"--proxy"});
  const std::string p = "127.0.0.1:" + std::to_string(proxy.port()), direct = server.Url("http", "/echo");
  const std::string named = "http://zev-test.invalid:" + std::to_string(server.port());
  const std::string secure = "https://zev-test.invalid:" + std::to_string(tls.port()) + "/echo";
  struct Case {
    std::vector<std::pair<const char*, std::string>> variables;
    std::string url;
    int32_t code;
    const char* seen;  // in the body (nullptr: no Via), or in last_error
  } cases[] = {
      {{{"http_proxy", "http://" + p}}, named + "/echo", kHttpOk, "[\"Via\", \"zev-test-proxy\"]"},
      {{{"HTTP_PROXY", p}, {"https_proxy", p}}, direct, kHttpOk, nullptr},
      {{{"http_proxy", p}}, direct, kHttpOk, "zev-test-proxy"},  // not on the direct connection kept
      {{{"http_proxy", p}, {"NO_PROXY", "example.com, 127.0.0.1:1"}}, direct, kHttpOk, nullptr},
      {{{"http_proxy", p}, {"no_proxy", "*"}}, direct, kHttpOk, nullptr},
      {{{"http_proxy", p}, {"no_proxy", "test.invalid"}}, named + "/echo", kHttpOk, "zev-test-proxy"},
      {{{"all_proxy", "u%3A:p@" + p}}, named + "/echo", kHttpOk, "[\"Proxy-Authorization\", \"Basic dTo6cA==\"]"},
      {{{"http_proxy", p}, {"no_proxy", ".0.0.1,127.0.0.1"}}, named + "/redirect-to/" + direct, kHttpOk, nullptr},
      {{{"HTTPS_PROXY", "http://" + p}}, secure, kHttpOk, "\"path\": \"/echo\""},
      {{{"https_proxy", p}}, "https://zev.denied:1/", kHttpTransportError, "CONNECT tunnel failed, response 403"},
      {{{"https_proxy", "socks5h://" + p}}, secure, kHttpTransportError, "\"socks5h\""},
  };
  const char* names[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                         "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};
  std::vector<std::pair<const char*, std::string>> saved;
  for (const char* name : names) {
    if (getenv(name) != nullptr) saved.emplace_back(name, getenv(name));
  }
  HttpPoster poster(10, 10, 15, 15);
  poster.set_tls({true, d + "/c.pem"});
  for (const Case& c : cases) {
    for (const char* name : names) unsetenv(name);
    for (const auto& [name, value] : c.variables) setenv(name, value.c_str(), 1);
    std::string body;
    EXPECT_EQ(poster.Post("ua", c.url, "x", &body), c.code) << c.url << " " << poster.last_error();
    if (c.code != kHttpOk) {
      EXPECT_NE(poster.last_error().find(c.seen), std::string::npos) << poster.last_error();
    } else {
      EXPECT_NE(body.find(c.seen != nullptr ? c.seen : "\"body\": \"x\""), std::string::npos) << c.url << body;
      const bool via = c.seen != nullptr && c.url.compare(0, 6, "https:") != 0;  // a tunnel adds nothing
      EXPECT_EQ(body.find("zev-test-proxy") != std::string::npos, via) << c.url << body;
    }
  }
  for (const char* name : names) unsetenv(name);
  for (const auto& [name, value] : saved) setenv(name, value.c_str(), 1);
}

}  // namespace zev
