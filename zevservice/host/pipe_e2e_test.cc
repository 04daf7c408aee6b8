// Calls over the service's local socket, against the real zevsvc binary.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "platform/process.h"
#include "rpc/echo_server.h"
#include "rpc/ipc_server.h"
#include "crypto/payload_envelope.h"
#include "rpc/pipe_processor.h"
#include "testing/pipe_client.h"
#include "testing/rpc_test_util.h"
#include "testing/test_util.h"

namespace zev {

namespace {

class Connection {
 public:
  explicit Connection(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~Connection() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }

  bool Send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      ssize_t n = write(fd_, bytes.data() + sent, bytes.size() - sent);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // The next reply frame; false on end of stream, a bad frame or time-out.
  bool Receive(Frame* frame, int timeout_ms = 20000) { return ReadFrameFrom(fd_, &in_, frame, timeout_ms); }

  // True when the server closed the connection (end of stream within the time).
  bool ClosedByPeer(int timeout_ms = 20000) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[256];
    return read(fd_, buf, sizeof(buf)) == 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string in_;
};

struct Opened {
  std::string exr;
  std::string plain;
};

Opened Open(const Frame& reply) {
  auto items = SplitExtend(reply.header);
  Opened o;
  o.exr = items["exr"];
  EXPECT_TRUE(decodePayload(reply.body, items["etag"], &o.plain));
  return o;
}

std::string EchoText(const Opened& o) {
  CZEVEchoResponse r;
  EXPECT_TRUE(r.ParseFromString(o.plain));
  return r.response();
}

std::string ExceptionMessage(const Opened& o) {
  CZEVRPCExceptionResponse e;
  EXPECT_TRUE(e.ParseFromString(o.plain));
  return e.code() + " " + e.message();
}

class ServicePipe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    common_ = new ScopedCommonDataDir();
    service_ = StartProcessArgv({ZEVSVC_PATH, "-application"}).release();
    path_ = new std::string(PipeSocketPath(GetRuntimeDir(), kServicePipeName));
    for (int i = 0; i < 2000; ++i) {
      if (Connection(*path_).connected()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  static void TearDownTestSuite() {
    kill(service_->pid(), SIGTERM);
    service_->Wait(20000);
    EXPECT_EQ(service_->ExitCode(), 0);
    delete service_;
    delete path_;
    delete common_;
  }

  static ScopedCommonDataDir* common_;
  static ProcessHandle* service_;
  static std::string* path_;
};
ScopedCommonDataDir* ServicePipe::common_ = nullptr;
ProcessHandle* ServicePipe::service_ = nullptr;
std::string* ServicePipe::path_ = nullptr;

}  // namespace

TEST_F(ServicePipe, EchoesWithTheTagAndAnyItemsAroundTheKey) {
  Connection c(*path_);
  ASSERT_TRUE(c.connected());
  std::string etag;
  std::string body = SealEcho("over the socket", kEchoServerId, &etag);
  const std::string tag = "0123456789ABCDEF";
  for (const std::string& header : {"key:" + etag, "a:1;key:" + etag + ";b:2"}) {
    ASSERT_TRUE(c.Send(EncodeFrame({tag, header, body})));
    Frame reply;
    ASSERT_TRUE(c.Receive(&reply));
    EXPECT_EQ(reply.tag, tag);
    Opened o = Open(reply);
    EXPECT_EQ(o.exr, "0");
    EXPECT_EQ(EchoText(o), "over the socket");
  }
}

TEST_F(ServicePipe, AnswersMalformedCallsWithExceptionResponses) {
  Connection c(*path_);
  std::string etag;
  std::string body = SealEcho("x", kEchoServerId, &etag);
  std::string bad_body = body;
  bad_body[4] = bad_body[4] == 'A' ? 'B' : 'A';
  std::string other_etag;
  std::string unknown = SealEcho("x", "{nobody}", &other_etag);
  struct Case {
    std::string header, body, expected;
  };
  const Case cases[] = {
      {"etag:" + etag, body, "20005 Extend request key not exist"},
      {"", body, "20005  Extend request is empty"},
      {"key:" + etag, bad_body, "20005 request decryptData is empty:[" + bad_body + "]\nkey:[" + etag + "]"},
      {"key:" + other_etag, unknown, "20003 函数 {nobody}.echo 签名不匹配"},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(c.Send(EncodeFrame({"t", k.header, k.body})));
    Frame reply;
    ASSERT_TRUE(c.Receive(&reply));
    Opened o = Open(reply);
    EXPECT_EQ(o.exr, "1");
    EXPECT_EQ(ExceptionMessage(o), k.expected);
  }
}

TEST_F(ServicePipe, TakesLargeJoinedAndSplitFrames) {
  Connection c(*path_);
  std::string big(300 * 1024, 'b');
  std::string e1, e2, e3;
  std::string b1 = SealEcho(big, kEchoServerId, &e1);
  ASSERT_TRUE(c.Send(EncodeFrame({"big", "key:" + e1, b1})));
  Frame reply;
  ASSERT_TRUE(c.Receive(&reply));
  EXPECT_EQ(EchoText(Open(reply)), big);

  // Two frames in one write: both are answered (in either order).
  std::string b2 = SealEcho("first", kEchoServerId, &e2);
  std::string b3 = SealEcho("second", kEchoServerId, &e3);
  ASSERT_TRUE(c.Send(EncodeFrame({"one", "key:" + e2, b2}) + EncodeFrame({"two", "key:" + e3, b3})));
  std::map<std::string, std::string> by_tag;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(c.Receive(&reply));
    by_tag[reply.tag.substr(0, 3)] = EchoText(Open(reply));
  }
  EXPECT_EQ(by_tag["one"], "first");
  EXPECT_EQ(by_tag["two"], "second");

  // One frame over many writes.
  std::string frame = EncodeFrame({"split", "key:" + e2, b2});
  for (size_t i = 0; i < 30; ++i) {
    ASSERT_TRUE(c.Send(frame.substr(i, 1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(c.Send(frame.substr(30)));
  ASSERT_TRUE(c.Receive(&reply));
  EXPECT_EQ(reply.tag.substr(0, 5), "split");
  EXPECT_EQ(EchoText(Open(reply)), "first");
}

TEST_F(ServicePipe, ClosesAConnectionThatLosesTheFrameBoundary) {
  Connection c(*path_);
  ASSERT_TRUE(c.Send("GET / HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(c.ClosedByPeer());
  Connection huge(*path_);
  ASSERT_TRUE(huge.Send(std::string("\x0D\x7A", 2) + std::string(16, 't') + std::string("\xff\xff\xff\x7f", 4)));
  EXPECT_TRUE(huge.ClosedByPeer());
  // Other clients are not affected.
  Connection fine(*path_);
  std::string etag;
  std::string body = SealEcho("still here", kEchoServerId, &etag);
  ASSERT_TRUE(fine.Send(EncodeFrame({"t", "key:" + etag, body})));
  Frame reply;
  ASSERT_TRUE(fine.Receive(&reply));
  EXPECT_EQ(EchoText(Open(reply)), "still here");
}

TEST_F(ServicePipe, SurvivesClientsThatLeaveAndServesManyAtOnce) {
  std::string etag;
  std::string body = SealEcho(std::string(100000, 'l'), kEchoServerId, &etag);
  for (int i = 0; i < 20; ++i) {
    Connection gone(*path_);
    ASSERT_TRUE(gone.Send(EncodeFrame({"gone", "key:" + etag, body})));
  }  // closed before any reply

  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 16; ++t) {
    clients.emplace_back([&, t] {
      Connection c(*path_);
      for (int i = 0; i < 15; ++i) {
        std::string text = "client " + std::to_string(t) + " call " + std::to_string(i);
        std::string e;
        std::string b = SealEcho(text, kEchoServerId, &e);
        Frame reply;
        if (c.Send(EncodeFrame({std::to_string(i), "key:" + e, b})) && c.Receive(&reply)) {
          CZEVEchoResponse r;
          auto items = SplitExtend(reply.header);
          std::string plain;
          if (decodePayload(reply.body, items["etag"], &plain) && r.ParseFromString(plain) && r.response() == text) {
            ++good;
          }
        }
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(good.load(), 16 * 15);
  EXPECT_EQ(RunAndRead(std::string(ZEVCTL_PATH) + " echo viazevctl --pipe"), "exr: 0\nresponse: viazevctl\n");
}

}  // namespace zev
