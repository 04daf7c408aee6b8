// The endpoint served for real on loopback and called with POCO's client.
#include "rpc/http_server.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "rpc/echo_server.h"
#include "crypto/payload_envelope.h"
#include "rpc/rpc_method.h"
#include "server/http_poster.h"
#include "testing/port_server.h"
#include "testing/rpc_test_util.h"

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

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

struct Reply {
  int status = 0;
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
  Poco::StreamCopier::copyToString(in, reply.body);
  for (const auto& h : response) reply.headers.emplace_back(h.first, h.second);
  return reply;
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

TEST(HttpServerEntry, RefusesPortZeroAndAPortInUse) {
  CZEVHttpServer server;
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
}

TEST(CheckLocalEndpoint, IsTrueOnlyForTheServiceEndpoint) {
  PortServer other({"python3", HTTP_TEST_SERVER_PATH});
  CZEVHttpServer endpoint;
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
