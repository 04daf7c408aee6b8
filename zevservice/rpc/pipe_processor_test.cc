#include "rpc/pipe_processor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "rpc/echo_server.h"
#include "crypto/payload_envelope.h"
#include "testing/pipe_client.h"
#include "testing/rpc_test_util.h"
#include "testing/test_util.h"
#include "testing/unix_socket.h"

namespace zev {

namespace {

CZEVMethodRegistry* EchoMethods() {
  static CZEVMethodRegistry* methods = [] {
    auto* m = new CZEVMethodRegistry();
    RegisterEchoMethods(*m);
    return m;
  }();
  return methods;
}

// Sends one frame over a new connection to `path` and reads the reply
// frame. False when the connection or the exchange fails.
bool Exchange(const std::string& path, const Frame& frame, Frame* reply) {
  int fd = ConnectUnixSocket(path);
  if (fd < 0) return false;
  std::string bytes = EncodeFrame(frame);
  bool ok = WriteAll(fd, bytes.data(), bytes.size());
  std::string in;
  ok = ok && ReadFrameFrom(fd, &in, reply, 10000);
  close(fd);
  return ok;
}

struct Answer {
  int32_t result;
  std::string exr;
  std::string plain;
};

Answer Process(const std::string& header, const std::string& body) {
  CZEVIPCRequest request;
  request.setExtend(header);
  request.setBody(body);
  CZEVIPCResponse response;
  CZEVServicePipeProcessorImpl processor(EchoMethods());
  Answer a;
  a.result = processor.process(request, response);
  std::map<std::string, std::string> items = SplitExtend(response.getExtend());
  EXPECT_EQ(response.getExtend().rfind("etag:", 0), 0u);
  a.exr = items["exr"];
  EXPECT_TRUE(decodePayload(response.getBody(), items["etag"], &a.plain));
  return a;
}

CZEVRPCExceptionResponse Exception(const Answer& a) {
  CZEVRPCExceptionResponse e;
  EXPECT_TRUE(e.ParseFromString(a.plain));
  return e;
}

}  // namespace

TEST(PipeFrame, EncodesAndFindsFramesInAStream) {
  std::string one = EncodeFrame({"0123456789abcdef", "key:x", "body"});
  ASSERT_EQ(one.size(), 26u + 5 + 4);
  EXPECT_EQ(one.substr(0, 2), "\x0D\x7A");
  std::string empty = EncodeFrame({"t", "", ""});
  EXPECT_EQ(empty.size(), 26u);

  std::string stream = one + empty;
  Frame f;
  size_t used = 0;
  ASSERT_EQ(DecodeFrame(stream.data(), stream.size(), &f, &used), FrameStatus::kComplete);
  EXPECT_EQ(f.tag, "0123456789abcdef");
  EXPECT_EQ(f.header, "key:x");
  EXPECT_EQ(f.body, "body");
  ASSERT_EQ(DecodeFrame(stream.data() + used, stream.size() - used, &f, &used), FrameStatus::kComplete);
  EXPECT_EQ(f.tag, std::string("t") + std::string(15, '\0'));
  EXPECT_TRUE(f.header.empty() && f.body.empty());

  for (size_t cut = 0; cut < one.size(); ++cut) {
    EXPECT_EQ(DecodeFrame(one.data(), cut, &f, &used), FrameStatus::kNeedMore) << cut;
  }
  EXPECT_EQ(DecodeFrame("\x0D\x7B", 2, &f, &used), FrameStatus::kBad);
  EXPECT_EQ(DecodeFrame("x", 1, &f, &used), FrameStatus::kBad);
  std::string huge = one.substr(0, 18) + std::string("\xff\xff\xff\x7f", 4);
  EXPECT_EQ(DecodeFrame(huge.data(), huge.size(), &f, &used), FrameStatus::kBad);
}

TEST(PipeProcessor, SplitsTheExtendedRequestByItsRules) {
  auto items = SplitExtend("a:1;key:K:V;;plain;a:2;");
  EXPECT_EQ(items["a"], "2");
  EXPECT_EQ(items["key"], "K:V");
  EXPECT_EQ(items["plain"], "plain");
  EXPECT_EQ(items.count(""), 1u);  // an empty piece inside the text is kept
  EXPECT_EQ(items.size(), 4u);
  EXPECT_TRUE(SplitExtend("").empty());
  EXPECT_GE(NewRequestId(), 0);
}

TEST(PipeProcessor, AnswersCallsAndEveryKindOfFailure) {
  std::string etag;
  std::string body = SealEcho("piped", kEchoServerId, &etag);
  Answer ok = Process("x:1;key:" + etag + ";y:2", body);
  EXPECT_EQ(ok.result, 0);
  EXPECT_EQ(ok.exr, "0");
  CZEVEchoResponse echo;
  ASSERT_TRUE(echo.ParseFromString(ok.plain));
  EXPECT_EQ(echo.response(), "piped");

  struct Case {
    std::string header, body, message;
  };
  std::string bad_body = body;
  bad_body[5] = bad_body[5] == 'A' ? 'B' : 'A';
  const Case cases[] = {
      {"", body, " Extend request is empty"},
      {"etag:" + etag, body, "Extend request key not exist"},
      {"key:" + etag, "", "Encoce request string is empty"},
      {"key:" + etag, bad_body, "request decryptData is empty:[" + bad_body + "]\nkey:[" + etag + "]"},
  };
  for (const Case& c : cases) {
    Answer a = Process(c.header, c.body);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.exr, "1");
    CZEVRPCExceptionResponse e = Exception(a);
    EXPECT_EQ(e.code(), "20005");
    EXPECT_EQ(e.message(), c.message);
  }

  std::string garbage_body, garbage_etag;
  encodePayload("\xff\xff", &garbage_body, &garbage_etag);
  EXPECT_EQ(Exception(Process("key:" + garbage_etag, garbage_body)).message(), "[ERROR]:CommandData parse Error");

  body = SealEcho("x", "{no-such-server}", &etag);
  Answer missing = Process("key:" + etag, body);
  EXPECT_EQ(missing.result, -1);
  EXPECT_EQ(missing.exr, "1");
  EXPECT_EQ(Exception(missing).code(), "20003");
}

TEST(PipeServer, AStoppedServerStartsAgainForReal) {
  ScopedTempDir run;
  CZEVIPCServer server(Clock::Real());
  server.setRuntimeDir(run.path());
  CZEVPipeServerImpl pipe(&server, EchoMethods());
  std::string etag;
  std::string body = SealEcho("again", kEchoServerId, &etag);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(pipe.start()) << round;
    ASSERT_TRUE(pipe.start());  // already listening
    Frame reply;
    ASSERT_TRUE(Exchange(server.socket_path(), {"tag", "key:" + etag, body}, &reply)) << round;
    std::map<std::string, std::string> items = SplitExtend(reply.header);
    EXPECT_EQ(items["exr"], "0");
    std::string plain;
    ASSERT_TRUE(decodePayload(reply.body, items["etag"], &plain));
    CZEVEchoResponse echo;
    ASSERT_TRUE(echo.ParseFromString(plain));
    EXPECT_EQ(echo.response(), "again");
    EXPECT_TRUE(pipe.stop());
    EXPECT_TRUE(pipe.stop());  // a second stop only logs
    Frame none;
    EXPECT_FALSE(Exchange(server.socket_path(), {"tag", "key:" + etag, body}, &none));
  }
}

}  // namespace zev
