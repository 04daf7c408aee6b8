// The pipe server against clients that misbehave: frames left unfinished,
// replies never read, more connections than it serves.
#include "rpc/ipc_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "rpc/echo_server.h"
#include "rpc/pipe_processor.h"
#include "platform/text.h"
#include "testing/rpc_test_util.h"
#include "testing/test_util.h"
#include "testing/unix_socket.h"

namespace {

// True when the server closes `fd` within `timeout_ms` (bytes sent before
// the close are read and dropped).
bool ClosedWithin(int fd, int timeout_ms) {
  char buf[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) return true;
  }
}

class PipeLimits : public ::testing::Test {
 protected:
  PipeLimits() : pipe_(&server_, &methods_) {
    RegisterEchoMethods(methods_);
    server_.setRuntimeDir(run_.path());
  }
  ~PipeLimits() override { pipe_.stop(); }

  ScopedTempDir run_;
  CZEVMethodRegistry methods_;
  CZEVIPCServer server_;
  CZEVPipeServerImpl pipe_;
};

}  // namespace

TEST_F(PipeLimits, TheSocketIsReadableAndWritableByEveryoneAndNothingMore) {
  ASSERT_TRUE(pipe_.start());
  struct stat st;
  ASSERT_EQ(stat(server_.socket_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(PipeLimits, AConnectionStuckInsideAFrameIsClosedAndIdleOnesStay) {
  server_.setPartialFrameTimeout(100);
  ASSERT_TRUE(pipe_.start());
  int idle = ConnectUnixSocket(server_.socket_path());
  int stuck = ConnectUnixSocket(server_.socket_path());
  ASSERT_GE(idle, 0);
  ASSERT_GE(stuck, 0);
  std::string etag;
  std::string frame = EncodeFrame({"t", "key:x", std::string(100, 'b')});
  ASSERT_TRUE(WriteAll(stuck, frame.data(), 40));  // the rest never comes
  EXPECT_TRUE(ClosedWithin(stuck, 10000));
  EXPECT_FALSE(ClosedWithin(idle, 300));  // no frame begun: stays
  EXPECT_EQ(server_.client_count(), 1u);
  close(stuck);
  close(idle);
}

TEST_F(PipeLimits, AClientThatNeverReadsIsHeldBackAndServedOnceItReads) {
  server_.setMaxUnsentBytes(256 << 10);
  ASSERT_TRUE(pipe_.start());
  int fd = ConnectUnixSocket(server_.socket_path());
  ASSERT_GE(fd, 0);
  std::string etag;
  std::string body = SealEcho(std::string(32 << 10, 'e'), kEchoServerId, &etag);
  std::string frame = EncodeFrame({"t", "key:" + etag, body});
  // Without a limit the server would take all of it and keep every reply.
  fcntl(fd, F_SETFL, O_NONBLOCK);
  size_t frames_sent = 0;
  size_t offset = 0;
  for (size_t total = 0; total < (256u << 20);) {
    ssize_t n = write(fd, frame.data() + offset, frame.size() - offset);
    if (n < 0) {
      if (errno != EAGAIN) break;
      struct pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, 500) == 0) break;  // the server stopped reading us
      continue;
    }
    total += static_cast<size_t>(n);
    offset += static_cast<size_t>(n);
    if (offset == frame.size()) {
      offset = 0;
      ++frames_sent;
    }
  }
  EXPECT_LT(frames_sent * frame.size(), 64u << 20) << "the server kept reading";
  ASSERT_GT(frames_sent, 0u);
  // Reading the replies lets the server go on: every whole frame is answered.
  fcntl(fd, F_SETFL, 0);
  if (offset != 0) {
    ASSERT_TRUE(WriteAll(fd, frame.data() + offset, frame.size() - offset));
    ++frames_sent;
  }
  std::string in;
  char buf[65536];
  size_t replies = 0;
  while (replies < frames_sent) {
    Frame reply;
    size_t used = 0;
    FrameStatus status = DecodeFrame(in.data(), in.size(), &reply, &used);
    if (status == FrameStatus::kComplete) {
      EXPECT_NE(reply.header.find("exr:0"), std::string::npos);
      in.erase(0, used);
      ++replies;
      continue;
    }
    ASSERT_EQ(status, FrameStatus::kNeedMore);
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 10000), 0) << replies << " of " << frames_sent;
    ssize_t n = read(fd, buf, sizeof(buf));
    ASSERT_GT(n, 0);
    in.append(buf, static_cast<size_t>(n));
  }
  close(fd);
}

TEST_F(PipeLimits, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  server_.setMaxClients(2);
  ASSERT_TRUE(pipe_.start());
  int a = ConnectUnixSocket(server_.socket_path());
  int b = ConnectUnixSocket(server_.socket_path());
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  for (int i = 0; i < 200 && server_.client_count() < 2; ++i) usleep(5000);  // accepted by the loop
  int c = ConnectUnixSocket(server_.socket_path());
  ASSERT_GE(c, 0);
  EXPECT_TRUE(ClosedWithin(c, 10000));
  EXPECT_FALSE(ClosedWithin(a, 100));
  close(a);
  close(b);
  close(c);
}

TEST(PipeText, EchoedRequestTextIsCutOnACharacterBoundary) {
  EXPECT_EQ(CapEchoedText("short"), "short");
  std::string wide;
  for (int i = 0; i < 600; ++i) wide += "é";  // 2 bytes each
  std::string cut = CapEchoedText(wide);
  EXPECT_EQ(cut.rfind("...(1200 bytes)"), cut.size() - 15);
  std::string text = cut.substr(0, cut.size() - 15);
  EXPECT_EQ(text.size(), 1024u);
  EXPECT_TRUE(IsValidUtf8(text));
}
