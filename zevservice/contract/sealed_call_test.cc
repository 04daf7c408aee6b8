#include "contract/sealed_call.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/pipe_frame.h"
#include "crypto/payload_envelope.h"
#include "platform/paths.h"
#include "testing/free_ports.h"
#include "testing/test_util.h"
#include "tools/zevdownloader/loopback_http_server.h"

namespace zev {

namespace {

using downloader::LoopbackHttpServer;

// Every way an answer's body may be framed is read; answers that are not
// HTTP, are cut or oversized fail with a reason.
TEST(HttpClient, ReadsEveryBodyFramingAndRefusesBrokenAnswers) {
  struct Case {
    const char* answer;
    bool ok;
    int status;
    const char* body;
  };
  std::string interims, trailers = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n";
  for (int i = 0; i < 12000; ++i) interims += "HTTP/1.1 100 Continue\r\n\r\n", trailers += "X: y\r\n";
  interims += "HTTP/1.1 204 No Content\r\n\r\n", trailers += "\r\n";
  const std::map<std::string, Case> cases = {
      {"/length", {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nexr: 0\r\n\r\nhello", true, 200, "hello"}},
      {"/chunked",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2;x=y\r\nlo\r\n0\r\nTrailer: t\r\n\r\n", true,
        200, "hello"}},
      {"/to-close", {"HTTP/1.0 404 Not Found\r\n\r\nhello", true, 404, "hello"}},
      {"/interim", {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", true, 200, "hi"}},
      {"/cut", {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", false, 0, ""}},
      {"/garbage", {"SSH-2.0-OpenSSH\r\n\r\n", false, 0, ""}},
      {"/bad-chunk", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, 0, ""}},
      {"/huge", {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", false, 0, ""}},
      {"/gzip", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", false, 0, ""}},
      {"/interims", {interims.c_str(), false, 0, ""}},
      {"/trailers", {trailers.c_str(), false, 0, ""}},
  };
  LoopbackHttpServer server([&](const downloader::HttpRequest& request, downloader::HttpConnection& c) {
    c.Send(cases.at(request.path).answer);
  });
  ASSERT_TRUE(server.Start());
  for (const auto& [path, c] : cases) {
    HttpClient connection("127.0.0.1", server.port());
    HttpResponse response;
    std::string error;
    EXPECT_EQ(connection.Request("GET", path, {}, "", 5000, &response, &error), c.ok) << path << ": " << error;
    EXPECT_EQ(error.empty(), c.ok) << path << ": " << error;
    if (c.ok) {
      EXPECT_EQ(response.status, c.status) << path;
      EXPECT_EQ(response.body, c.body) << path;
    }
  }

  // Nothing listens: the reason comes back at once.
  HttpClient nowhere("127.0.0.1", FreePort());
  HttpResponse response;
  std::string error;
  EXPECT_FALSE(nowhere.Request("GET", "/", {}, "", 5000, &response, &error));
  EXPECT_EQ(error, "Connection refused");
}

// A sealed call goes out as the endpoint expects it, its reply is opened,
// a kept connection that the endpoint closed is replaced, and a silent
// endpoint costs no more than the limit.
TEST(HttpCallChannel, PostsSealedCallsAndOpensTheReplies) {
  std::mutex mu;
  std::string seen;  // guarded by mu
  bool silent = false;  // guarded by mu
  LoopbackHttpServer server([&](const downloader::HttpRequest& request, downloader::HttpConnection& c) {
    {
      std::lock_guard<std::mutex> lock(mu);
      seen = request.method + " " + request.path;
      if (silent) {
        c.HoldUntilClosed();
        return;
      }
    }
    std::string body, etag;
    encodePayload("the answer", &body, &etag);
    // No "Connection: close": the client keeps the connection that the
    // server then closes.
    c.Send("HTTP/1.1 200 OK\r\nexr: 0\r\netag: " + etag + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body);
  });
  ASSERT_TRUE(server.Start());

  const SealedCall call = SealCall("{server}", "method", "request bytes", {"zevctl", "client"});
  std::string plain;
  ASSERT_TRUE(decodePayload(call.body, call.etag, &plain));
  CZEVRPCCommandData command;
  CZEVComponentDescriptor descriptor;
  ASSERT_TRUE(command.ParseFromString(plain) && descriptor.ParseFromString(command.componentdescriptor()));
  EXPECT_EQ(descriptor.serverid(), "{server}");
  EXPECT_EQ(descriptor.methodcode(), "method");
  EXPECT_EQ(descriptor.componentid(), "zevctl");
  EXPECT_EQ(descriptor.clientidentifier(), "client");
  EXPECT_EQ(command.request(), "request bytes");

  HttpCallChannel channel("127.0.0.1", server.port(), 5000);
  for (int i = 0; i < 2; ++i) {
    SealedReply reply;
    std::string error, answer;
    ASSERT_TRUE(channel.Call(call, &reply, &error)) << error;
    EXPECT_EQ(reply.exr, "0");
    ASSERT_TRUE(OpenReply(reply, &answer));
    EXPECT_EQ(answer, "the answer");
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(seen, "POST /rpc?key=" + call.etag);
  }
  EXPECT_EQ(server.requests(), 2);

  {
    std::lock_guard<std::mutex> lock(mu);
    silent = true;
  }
  HttpCallChannel patient("127.0.0.1", server.port(), 200, /*keep_alive=*/false);
  SealedReply reply;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(patient.Call(call, &reply, &error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(error, "cannot call 127.0.0.1:" + std::to_string(server.port()) + ": no answer within 200 ms");
}

// Calls share one socket connection until a reply is not a frame; the next
// call connects anew.
TEST(PipeCallChannel, KeepsItsConnectionAndReplacesABrokenOne) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("pipe");
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  std::vector<std::string> tags;  // of the frames received, in the server thread until joined
  std::thread server([&] {
    // The first connection: two replies, then bytes that are no frame.
    for (int connection = 0; connection < 2; ++connection) {
      const int fd = accept(listener, nullptr, nullptr);
      std::string pending;
      Frame frame;
      for (int call = 0; call < (connection == 0 ? 3 : 1); ++call) {
        if (ReadFrame(fd, &pending, &frame, -1) != FrameRead::kFrame) break;
        tags.push_back(frame.tag.substr(0, frame.tag.find('\0')) + " " + frame.header);
        std::string body, etag;
        encodePayload("pong", &body, &etag);
        const std::string reply = call == 2 ? "no frame" : EncodeFrame({frame.tag, "etag:" + etag + ";exr:0", body});
        WriteAll(fd, reply.data(), reply.size());
      }
      close(fd);
    }
  });
  const SealedCall call = SealCall("{s}", "m", "");
  PipeCallChannel channel(path, 5000, "a-tag-longer-than-sixteen");
  for (const bool expected : {true, true, false, true}) {
    SealedReply reply;
    std::string error, answer;
    EXPECT_EQ(channel.Call(call, &reply, &error), expected) << error;
    if (expected) {
      EXPECT_EQ(reply.exr, "0");
      EXPECT_TRUE(OpenReply(reply, &answer));
      EXPECT_EQ(answer, "pong");
    } else {
      EXPECT_EQ(error, "no valid reply from " + path);
    }
  }
  server.join();
  close(listener);
  EXPECT_EQ(tags, std::vector<std::string>(4, "a-tag-longer-tha key:" + call.etag));
}

}  // namespace

}  // namespace zev
