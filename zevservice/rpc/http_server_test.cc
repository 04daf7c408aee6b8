// The endpoint served for real on loopback and called with POCO's client.
#include "rpc/http_server.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/metrics.h"
#include "platform/ports.h"
#include "rpc/echo_server.h"
#include "crypto/payload_envelope.h"
#include "rpc/rpc_method.h"
#include "server/http_poster.h"
#include "testing/free_ports.h"
#include "testing/port_server.h"
#include "testing/rpc_test_util.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

class ThrowingServer : public CZEVRPCServer {
 public:
  using CZEVRPCServer::CZEVRPCServer;
  std::string getServerId() const override { return "{HTTP-TEST}"; }
};
class ThrowingMethod : public CZEVRPCMethod<ThrowingServer, CZEVEchoRequest, CZEVEchoResponse> {
 public:
  ThrowingMethod() : CZEVRPCMethod("fail") {}
  void handle(ThrowingServer&, const CZEVEchoRequest&, CZEVEchoResponse&) override {
    throw std::runtime_error("handler failed");
  }
};

// The methods the endpoint of these tests serves: echo and "fail".
CZEVMethodRegistry* TestMethods() {
  static CZEVMethodRegistry* methods = [] {
    auto* m = new CZEVMethodRegistry();
    RegisterEchoMethods(*m);
    m->registerMethod(std::make_unique<ThrowingMethod>());
    return m;
  }();
  return methods;
}

struct Reply {
  int status = 0;
  std::string reason;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  int Count(const std::string& name) const {
    int n = 0;
    for (const auto& h : headers) n += Poco::icompare(h.first, name) == 0;
    return n;
  }
  std::string Get(const std::string& name) const {
    for (const auto& h : headers) {
      if (Poco::icompare(h.first, name) == 0) return h.second;
    }
    return "";
  }
};

Reply Send(Poco::Net::HTTPClientSession& session, const std::string& method, const std::string& uri,
           const std::string& body = "", bool chunked = false) {
  Poco::Net::HTTPRequest request(method, uri, Poco::Net::HTTPMessage::HTTP_1_1);
  if (chunked) {
    request.setChunkedTransferEncoding(true);
  } else if (!body.empty() || method == "POST") {
    request.setContentLength64(static_cast<int64_t>(body.size()));
  }
  session.sendRequest(request) << body;
  Poco::Net::HTTPResponse response;
  std::istream& in = session.receiveResponse(response);
  Reply reply;
  reply.status = response.getStatus();
  reply.reason = response.getReason();
  Poco::StreamCopier::copyToString(in, reply.body);
  for (const auto& h : response) reply.headers.emplace_back(h.first, h.second);
  return reply;
}

// A raw TCP connection to the endpoint on loopback, for requests that an
// HTTP client library would not send. Every read waits at most 10 s.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv = {10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~RawClient() { close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // Everything the server sends until it closes the connection. *closed
  // tells whether it did (false: the read waited 10 s in vain).
  std::string ReadUntilClosed(bool* closed) {
    std::string data;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      if (n > 0) {
        data.append(buf, static_cast<size_t>(n));
        continue;
      }
      *closed = n == 0 || errno == ECONNRESET;
      return data;
    }
  }
  // True once the server has closed the connection; false when the server
  // still holds it open after `within`.
  bool ClosedWithin(std::chrono::milliseconds within) {
    timeval tv = {static_cast<time_t>(within.count() / 1000), static_cast<suseconds_t>(within.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      if (n > 0) continue;  // an answer before the close
      return n == 0 || errno == ECONNRESET;
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// One sealed echo call over a fresh connection; true when it was answered
// with the text.
bool EchoAnswers(int port, const std::string& text) {
  try {
    Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port));
    session.setTimeout(Poco::Timespan(10, 0));
    std::string etag;
    std::string body = SealCall(kEchoServerId, "echo", EchoRequestBytes(text), &etag);
    Reply reply = Send(session, "POST", "/rpc?key=" + etag, body);
    std::string plain;
    CZEVEchoResponse response;
    return decodePayload(reply.body, reply.Get("etag"), &plain) && response.ParseFromString(plain) &&
           response.response() == text;
  } catch (const Poco::Exception&) {
    return false;
  }
}

class HttpEndpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    server_.setIp("127.0.0.1");
    server_.setPort(port_);
    ASSERT_TRUE(server_.start());
  }
  void TearDown() override {
    while (server_.users() > 0) server_.stop();
  }

  int port_ = 0;
  CZEVHttpServer server_{TestMethods()};
};

}  // namespace

TEST(HttpServerEntry, StopsFiftyTimesWhileBodiesArriveAndLeavesNoThreadBehind) {
  const int port = FreePort();
  CZEVHttpServer server(TestMethods());
  server.setIp("127.0.0.1");
  server.setPort(port);
  ASSERT_TRUE(server.start());  // once before counting, for whatever starts lazily
  ASSERT_TRUE(server.stop());
  const int threads_before = SettledThreadCount();

  // Clients that keep opening connections and sending a long body slowly,
  // so that every stop finds requests half read.
  constexpr int kClients = 6;
  std::atomic<bool> quit{false};
  Counter bodies_begun;
  std::vector<std::thread> clients;
  // Ends the clients also when an assertion below returns early.
  struct Clients {
    ~Clients() { Join(); }
    void Join() {
      *quit = true;
      for (auto& t : *threads) {
        if (t.joinable()) t.join();
      }
    }
    std::atomic<bool>* quit;
    std::vector<std::thread>* threads;
  } running{&quit, &clients};
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      std::string etag;
      std::string body = SealCall(kEchoServerId, "echo", EchoRequestBytes(std::string(20000, 'b')), &etag);
      const std::string head = "POST /rpc?key=" + etag + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n";
      while (!quit) {
        RawClient client(port);
        if (!client.connected() || !client.Send(head)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));  // between listening periods
          continue;
        }
        bodies_begun.Hit();
        for (size_t at = 0; at < body.size() && !quit; at += 500) {
          if (!client.Send(body.substr(at, 500))) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    });
  }
  for (int cycle = 0; cycle < 50; ++cycle) {
    SCOPED_TRACE(cycle);
    const int begun = bodies_begun.count();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(bodies_begun.WaitFor(begun + kClients));
    ASSERT_TRUE(server.stop());
    // Every thread of the server has ended when stop() returns.
    ASSERT_TRUE(ThreadCountSettlesAt(threads_before + kClients)) << ThreadCount();
  }
  running.Join();
  EXPECT_TRUE(ThreadCountSettlesAt(threads_before)) << ThreadCount();

  ASSERT_TRUE(server.start());
  EXPECT_TRUE(EchoAnswers(port, "after fifty stops"));
  server.stop();
}

TEST_F(HttpEndpoint, RootAnswersItIsWorkingAndOtherPaths404) {
  Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port_));
  for (const char* method : {"GET", "POST", "DELETE"}) {
    Reply root = Send(session, method, "/");
    EXPECT_EQ(root.status, 200);
    EXPECT_EQ(root.body, "It is working.");
    EXPECT_EQ(root.Count("exr"), 0);
  }
  for (const char* path : {"/rpc/", "/RPC", "/x?key=1"}) {
    Reply missing = Send(session, "GET", path);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.reason, "Not Found");
    EXPECT_EQ(missing.Get("Content-Type"), "text/plain");
    EXPECT_EQ(missing.body, std::string("Find path error: ") + std::string(path).substr(0, std::string(path).find('?')));
  }
}

TEST_F(HttpEndpoint, EchoCallsAnswerOverOneKeptAliveConnection) {
  Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port_));
  for (const std::string& text : std::vector<std::string>{"abc", "", std::string(300 * 1024, 'k')}) {
    std::string etag;
    std::string body = SealCall(kEchoServerId, "echo", EchoRequestBytes(text), &etag);
    Reply reply = Send(session, "POST", "/rpc?key=" + etag, body);
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.Get("exr"), "0");
    std::string plain;
    ASSERT_TRUE(decodePayload(reply.body, reply.Get("etag"), &plain));
    CZEVEchoResponse response;
    ASSERT_TRUE(response.ParseFromString(plain));
    EXPECT_EQ(response.response(), text);
  }
  // A chunked request gets a chunked answer.
  std::string etag;
  std::string body = SealCall(kEchoServerId, "echo", EchoRequestBytes("chunked"), &etag);
  Reply reply = Send(session, "POST", "/rpc?key=" + etag, body, /*chunked=*/true);
  EXPECT_EQ(reply.Get("Transfer-Encoding"), "chunked");
  std::string plain;
  ASSERT_TRUE(decodePayload(reply.body, reply.Get("etag"), &plain));
}

TEST_F(HttpEndpoint, UndecodableCallsAnswer20005WithTheCorsFieldsInOrder) {
  Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port_));
  Reply reply = Send(session, "OPTIONS", "/rpc");
  ASSERT_EQ(reply.status, 200);
  std::vector<std::string> names;
  for (const auto& h : reply.headers) names.push_back(h.first);
  std::vector<std::string> expected = {"Access-Control-Allow-Methods", "Access-Control-Expose-Headers",
                                       "Access-Control-Allow-Credentials", "Access-Control-Allow-Headers",
                                       "Content-Type", "exr", "etag"};
  std::vector<std::string> ours;
  for (const auto& n : names) {
    if (std::find(expected.begin(), expected.end(), n) != expected.end()) ours.push_back(n);
  }
  EXPECT_EQ(ours, expected);
  EXPECT_EQ(reply.Get("Access-Control-Allow-Methods"), "GET, POST, OPTIONS, PUT, DELETE");
  EXPECT_EQ(reply.Get("Content-Type"), "text/plain");
  EXPECT_EQ(reply.Count("Access-Control-Allow-Origin"), 0);
  EXPECT_EQ(reply.Get("exr"), "1");
  std::string plain;
  ASSERT_TRUE(decodePayload(reply.body, reply.Get("etag"), &plain));
  CZEVRPCExceptionResponse e;
  ASSERT_TRUE(e.ParseFromString(plain));
  EXPECT_EQ(e.code(), "20005");
  EXPECT_EQ(e.message(), "Failed to parse the request data.");

  // A wrong key, and a body that decodes to garbage.
  std::string etag;
  std::string body = SealCall(kEchoServerId, "echo", EchoRequestBytes("x"), &etag);
  reply = Send(session, "POST", "/rpc?key=00000000-0000-0000-0000-000000000000", body);
  EXPECT_EQ(reply.Get("exr"), "1");
  std::string garbage_body, garbage_etag;
  encodePayload("\xff\xff\xff", &garbage_body, &garbage_etag);
  reply = Send(session, "POST", "/rpc?key=" + garbage_etag, garbage_body);
  ASSERT_TRUE(decodePayload(reply.body, reply.Get("etag"), &plain));
  ASSERT_TRUE(e.ParseFromString(plain));
  EXPECT_EQ(e.code(), "20005");
}

TEST_F(HttpEndpoint, TheLastKeyParameterCountsAndFailingCallsSendOneExr) {
  Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port_));
  std::string etag;
  std::string body = SealCall(kEchoServerId, "echo", EchoRequestBytes("twice"), &etag);
  Reply reply = Send(session, "POST", "/rpc?key=00000000-0000-0000-0000-000000000000&key=" + etag, body);
  EXPECT_EQ(reply.Get("exr"), "0");

  body = SealCall("{http-test}", "FAIL", "", &etag);
  reply = Send(session, "POST", "/rpc?key=" + etag, body);
  EXPECT_EQ(reply.Count("exr"), 1);
  EXPECT_EQ(reply.Get("exr"), "1");
  std::string plain;
  ASSERT_TRUE(decodePayload(reply.body, reply.Get("etag"), &plain));
  CZEVRPCExceptionResponse e;
  ASSERT_TRUE(e.ParseFromString(plain));
  EXPECT_EQ(e.code(), "20003");
  EXPECT_EQ(e.message(), "handler failed");
}

TEST_F(HttpEndpoint, ConcurrentClientsAllGetTheirOwnAnswers) {
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port_));
      for (int i = 0; i < 20; ++i) {
        std::string text = "client " + std::to_string(c) + " call " + std::to_string(i);
        std::string etag;
        std::string body = SealCall(kEchoServerId, "echo", EchoRequestBytes(text), &etag);
        Reply reply = Send(session, "POST", "/rpc?key=" + etag, body);
        std::string plain;
        CZEVEchoResponse response;
        if (decodePayload(reply.body, reply.Get("etag"), &plain) && response.ParseFromString(plain) &&
            response.response() == text) {
          ++good;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), 160);
}

TEST_F(HttpEndpoint, UsersCountStartsAndStops) {
  EXPECT_TRUE(server_.start());
  EXPECT_EQ(server_.users(), 2);
  EXPECT_TRUE(server_.stop());
  EXPECT_EQ(server_.users(), 1);
  Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port_));
  EXPECT_EQ(Send(session, "GET", "/").status, 200);  // still serving
  EXPECT_TRUE(server_.stop());
  EXPECT_EQ(server_.users(), 0);
  Poco::Net::HTTPClientSession after("127.0.0.1", static_cast<Poco::UInt16>(port_));
  EXPECT_THROW(Send(after, "GET", "/"), Poco::Exception);
  // It can listen again.
  ASSERT_TRUE(server_.start());
  Poco::Net::HTTPClientSession again("127.0.0.1", static_cast<Poco::UInt16>(port_));
  EXPECT_EQ(Send(again, "GET", "/").status, 200);
}

TEST_F(HttpEndpoint, RefusesAmbiguousOrMalformedLengthsWith400AndCloses) {
  struct Case {
    std::string request;
    std::string status_line;
  };
  // Each is followed by a request that must never be served: were the first
  // framed by the wrong length, its bytes would be read as this one.
  const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: a\r\n\r\n";
  const std::vector<Case> cases = {
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\nContent-Length: 38\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0, 0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length : 38\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.0\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 501 Not Implemented"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    RawClient client(port_);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.Send(c.request + smuggled));
    bool closed = false;
    std::string answer = client.ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(answer.compare(0, c.status_line.size(), c.status_line), 0) << answer;
    EXPECT_EQ(CountOf(answer, "HTTP/1."), 1) << answer;
    EXPECT_EQ(answer.find("smuggled"), std::string::npos) << answer;
  }
}

TEST_F(HttpEndpoint, SkipsABodyNobodyReadInsteadOfServingItAsTheNextRequest) {
  // "/" and unknown paths do not read bodies; the next request on the
  // connection still starts after the body, whether framed by length or in
  // chunks.
  const std::string inner = "GET /smuggled HTTP/1.1\r\nHost: localhost\r\n\r\n";
  char size[16];
  snprintf(size, sizeof(size), "%zx", inner.size());
  RawClient client(port_);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send("POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(inner.size()) +
                          "\r\n\r\n" + inner +
                          "POST /nothing HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n" + size +
                          "\r\n" + inner + "\r\n0\r\n\r\n" +
                          "GET /last HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"));
  bool closed = false;
  std::string answers = client.ReadUntilClosed(&closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(CountOf(answers, "HTTP/1.1 "), 3) << answers;
  EXPECT_NE(answers.find("It is working."), std::string::npos) << answers;
  EXPECT_NE(answers.find("Find path error: /nothing"), std::string::npos) << answers;
  EXPECT_NE(answers.find("Find path error: /last"), std::string::npos) << answers;
  EXPECT_EQ(answers.find("smuggled"), std::string::npos) << answers;
}

TEST_F(HttpEndpoint, AnswersAnEchoPromptlyWhileIdleAndTricklingConnectionsAreOpen) {
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 100; ++i) {
    idle.push_back(std::make_unique<RawClient>(port_));
    ASSERT_TRUE(idle.back()->connected());
  }
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 16; ++i) {
    slow.push_back(std::make_unique<RawClient>(port_));
    ASSERT_TRUE(slow.back()->connected());
    ASSERT_TRUE(slow.back()->Send("POST /rpc HTTP/1.1\r\nX-Slow: "));
  }
  // The trickling clients send one byte of their header each every 100 ms
  // until the call below is done (at most a minute).
  Latch done;
  std::thread trickle([&] {
    for (int round = 0; round < 600 && !done.Wait(std::chrono::milliseconds(100)); ++round) {
      for (auto& client : slow) client->Send("a");
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const bool answered = EchoAnswers(port_, "through the crowd");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  done.Open();
  trickle.join();
  EXPECT_TRUE(answered);
  // A server that queued the call behind these clients would answer only
  // after their 5 s limits; the bound leaves room for a sanitizer build.
  EXPECT_LT(elapsed, std::chrono::seconds(3));
}

TEST(HttpEndpointLimits, ClosesConnectionsThatIdleOrDawdleBeyondTheirLimits) {
  zev::HttpServerLimits limits;
  limits.idle_limit = std::chrono::milliseconds(300);
  limits.head_limit = std::chrono::milliseconds(300);
  limits.body_limit = std::chrono::milliseconds(300);
  CZEVHttpServer server(TestMethods(), limits);
  server.setIp("127.0.0.1");
  server.setPort(FreePort());
  ASSERT_TRUE(server.start());
  const int port = server.port();
  const auto kBound = std::chrono::milliseconds(10000);

  RawClient silent(port);  // never sends a byte
  ASSERT_TRUE(silent.connected());
  EXPECT_TRUE(silent.ClosedWithin(kBound));

  RawClient kept(port);  // served once, then idle on a kept-alive connection
  ASSERT_TRUE(kept.Send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  EXPECT_TRUE(kept.ClosedWithin(kBound));

  // A header, and then a body (one that the call reads, one that nobody
  // reads), that arrive a byte at a time, each byte well within the limit of
  // a single read: the whole must still arrive in time.
  for (const std::string& opening : {std::string("GET / HTTP/1.1\r\nX-Slow: "),
                                     std::string("POST /rpc?key=k HTTP/1.1\r\nContent-Length: 1000\r\n\r\n"),
                                     std::string("POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n")}) {
    SCOPED_TRACE(opening);
    RawClient slow(port);
    ASSERT_TRUE(slow.Send(opening));
    bool closed = false;
    for (int i = 0; i < 200 && !closed; ++i) {  // at most 10 s
      closed = !slow.Send("a") || slow.ClosedWithin(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(closed);
  }

  EXPECT_TRUE(EchoAnswers(port, "still serving"));
  server.stop();
}

TEST(HttpServerEntry, RefusesPortZeroAndAPortInUse) {
  CZEVHttpServer server(TestMethods());
  EXPECT_FALSE(server.start());
  EXPECT_EQ(server.users(), 0);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  listen(fd, 1);
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  server.setIp("127.0.0.1");
  server.setPort(ntohs(addr.sin_port));
  EXPECT_FALSE(server.start());  // nothing listens, so no success and no user
  EXPECT_EQ(server.users(), 0);
  close(fd);

  // A listener that allows sharing its port (as another POCO server does)
  // gets no company either: the kernel would split the connections.
  int shared = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ASSERT_EQ(setsockopt(shared, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
  ASSERT_EQ(setsockopt(shared, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
  addr.sin_port = 0;
  ASSERT_EQ(bind(shared, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(shared, 1), 0);
  len = sizeof(addr);
  getsockname(shared, reinterpret_cast<sockaddr*>(&addr), &len);
  server.setPort(ntohs(addr.sin_port));
  EXPECT_FALSE(server.start());
  EXPECT_EQ(server.users(), 0);
  server.stop();
  close(shared);
}

TEST(CheckLocalEndpoint, IsTrueOnlyForTheServiceEndpoint) {
  PortServer other({"python3", HTTP_TEST_SERVER_PATH});
  CZEVHttpServer endpoint(TestMethods());
  endpoint.setIp("127.0.0.1");
  int port = 0;
  for (int candidate = 47900; candidate < 48000 && port == 0; ++candidate) {
    endpoint.setPort(candidate);
    if (endpoint.start()) port = candidate;
  }
  ASSERT_NE(port, 0);
  std::string body;
  EXPECT_TRUE(CheckLocalEndpoint("http://127.0.0.1", port, &body));
  EXPECT_EQ(body, "It is working.");
  endpoint.stop();
  EXPECT_FALSE(CheckLocalEndpoint("http://127.0.0.1", port, &body));
  EXPECT_FALSE(CheckLocalEndpoint("http://127.0.0.1", other.port(), &body));  // answers, but not the text
}


// The metrics go to loopback peers only, and count the calls the endpoint
// answered under their method.
TEST(HttpMetrics, AnswerLoopbackPeersAndCountCallsByMethod) {
  CZEVHttpServer endpoint(TestMethods());
  endpoint.setIp("0.0.0.0");
  endpoint.setPort(FreePort());
  ASSERT_TRUE(endpoint.start());
  const Poco::UInt16 port = static_cast<Poco::UInt16>(endpoint.port());
  std::string method = std::string(kEchoServerId) + ".echo";
  for (char& c : method) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  const uint64_t before = zev::Metrics().rpc_calls.Value({method, "answered"});
  const uint64_t timed = zev::Metrics().rpc_latency.Count();
  Poco::Net::HTTPClientSession session("127.0.0.1", port);
  std::string etag;
  const std::string body = SealCall(kEchoServerId, "ECHO", EchoRequestBytes("m"), &etag);
  ASSERT_EQ(Send(session, "POST", "/rpc?key=" + etag, body).status, 200);
  EXPECT_EQ(zev::Metrics().rpc_calls.Value({method, "answered"}), before + 1);
  EXPECT_EQ(zev::Metrics().rpc_latency.Count(), timed + 1);

  const Reply metrics = Send(session, "GET", "/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_EQ(metrics.Get("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(metrics.body.find("zev_rpc_calls_total{method=\"" + method + "\",result=\"answered\"} " +
                              std::to_string(before + 1) + "\n"),
            std::string::npos)
      << metrics.body;

  // This machine's own address on another interface is no loopback peer.
  std::string own;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* a = list; a != nullptr && own.empty(); a = a->ifa_next) {
      if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || IsLoopbackAddress(a->ifa_addr)) continue;
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof(text));
      own = text;
    }
    freeifaddrs(list);
  }
  if (own.empty()) GTEST_SKIP() << "no IPv4 address but loopback to come from";
  Poco::Net::HTTPClientSession outside(own, port);
  const Reply refused = Send(outside, "GET", "/metrics");
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.body.find("zev_"), std::string::npos);
  endpoint.stop();
}

}  // namespace zev
