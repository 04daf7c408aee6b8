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

#include <sys/resource.h>

#include <dirent.h>
#include <pthread.h>

#include "base/log.h"
#include "platform/process.h"
#include "rpc/echo_server.h"
#include "rpc/pipe_processor.h"
#include "platform/text.h"
#include "testing/pipe_client.h"
#include "testing/rpc_test_util.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"
#include "testing/unix_socket.h"

namespace zev {

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
  CZEVIPCServer server_{Clock::Real()};
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
  for (size_t replies = 0; replies < frames_sent; ++replies) {
    Frame reply;
    ASSERT_TRUE(ReadFrameFrom(fd, &in, &reply, 10000)) << replies << " of " << frames_sent;
    EXPECT_NE(reply.header.find("exr:0"), std::string::npos);
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
  for (int i = 0; i < 2000 && server_.client_count() < 2; ++i) usleep(5000);  // accepted by the loop
  ASSERT_EQ(server_.client_count(), 2u);
  int c = ConnectUnixSocket(server_.socket_path());
  ASSERT_GE(c, 0);
  EXPECT_TRUE(ClosedWithin(c, 10000));
  EXPECT_FALSE(ClosedWithin(a, 100));
  close(a);
  close(b);
  close(c);
}

// Quick requests are answered on the loop while cores + 1 slow ones hold the pool.
TEST(PipeServer, AnswersQuickRequestsOnItsLoopWhileSlowOnesFillThePool) {
  ScopedTempDir run;
  Latch release;
  Counter started;
  CZEVIPCServer server(Clock::Real());  // its workers go before what they use
  server.setRuntimeDir(run.path());
  server.setHandler([&](IZEVIPCRequest&, IZEVIPCResponse&) {
    started.Hit();
    release.Wait();
  });
  server.setQuickHandler([](IZEVIPCRequest& request, IZEVIPCResponse& response) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    response.setBody(name);
    return request.getBody() == "quick";
  });
  ASSERT_TRUE(server.start("test", "quick"));
  const size_t limit = CZEVThreadPool::AwakeLimit();
  int fd = ConnectUnixSocket(server.socket_path());
  std::string frames, in;
  for (size_t i = 0; i <= limit; ++i) frames += EncodeFrame({"slow", "", "slow"});
  frames += EncodeFrame({"quick", "", "quick"});
  ASSERT_TRUE(WriteAll(fd, frames.data(), frames.size()));
  ASSERT_TRUE(started.WaitFor(static_cast<int>(limit)));
  Frame reply;
  ASSERT_TRUE(ReadFrameFrom(fd, &in, &reply, 10000));
  EXPECT_EQ(reply.body, "zev-pipe-loop");
  EXPECT_EQ(server.worker_count(), limit);  // every slow frame, read before the quick one, is queued
  release.Open();
  close(fd);
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

namespace {

size_t OpenDescriptors() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(PipeLimits, ClientsNeverTakeMoreThanHalfTheDescriptorsAndRefusalsAreLoggedOnce) {
  ScopedTempDir logs;
  ASSERT_TRUE(LogInit(logs.path(), "zevservice"));
  ASSERT_TRUE(pipe_.start());
  int served = ConnectUnixSocket(server_.socket_path());
  ASSERT_GE(served, 0);
  for (int i = 0; i < 2000 && server_.client_count() < 1; ++i) usleep(5000);
  ASSERT_EQ(server_.client_count(), 1u);

  // Forty clients in another process, while this one may open only forty
  // more descriptors: the cap of half the limit comes first.
  int out[2], in[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(in), 0);
  struct rlimit original;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  struct rlimit tight = original;
  // Room for the clients up to the cap (half the limit) and for refusing
  // the rest.
  tight.rlim_cur = OpenDescriptors() + 40;

  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  StartOptions options;
  options.stdin_fd = in[0];
  options.stdout_fd = out[1];
  auto clients = StartProcessArgv(
      {"python3", "-c",
       "import resource, socket, sys\n"
       "hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]\n"
       "resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))\n"
       "socks = []\n"
       "for _ in range(40):\n"
       "    s = socket.socket(socket.AF_UNIX)\n"
       "    s.connect(sys.argv[1])\n"
       "    socks.append(s)\n"
       "print('connected', flush=True)\n"
       "sys.stdin.read()\n",
       server_.socket_path()},
      options);
  close(in[0]);
  close(out[1]);
  ASSERT_TRUE(clients);
  char c;
  std::string said;
  while (read(out[0], &c, 1) == 1 && c != '\n') said.push_back(c);
  EXPECT_EQ(said, "connected");

  // Connections past half the limit are refused, again and again: one line.
  const std::string refused = "connections, its limit; new ones are refused.";
  std::string log;
  for (int i = 0; i < 4000 && Occurrences(log, refused) == 0; ++i) {
    usleep(5000);
    LogFlush();
    ReadFileToString(LogCurrentPath(), &log);
  }
  usleep(100000);
  setrlimit(RLIMIT_NOFILE, &original);
  LogFlush();
  ASSERT_TRUE(ReadFileToString(LogCurrentPath(), &log));
  EXPECT_EQ(Occurrences(log, refused), 1u) << log;
  EXPECT_LE(server_.client_count(), tight.rlim_cur / 2);
  EXPECT_EQ(Occurrences(log, "Connection establishment failed"), 0u) << log;

  // The connection that was open before is still served.
  std::string etag;
  std::string body = SealEcho("still here", kEchoServerId, &etag);
  std::string frame = EncodeFrame({"t", "key:" + etag, body});
  ASSERT_TRUE(WriteAll(served, frame.data(), frame.size()));
  std::string reply;
  Frame f;
  ASSERT_TRUE(ReadFrameFrom(served, &reply, &f, 10000));
  EXPECT_NE(f.header.find("exr:0"), std::string::npos);
  close(in[1]);
  clients->Wait(kInfinite);
  close(out[0]);
  close(served);
}

namespace {

// Sends an echo on `fd` and tells whether it was answered.
bool Echoed(int fd) {
  std::string etag, pending;
  const std::string body = SealEcho("hi", kEchoServerId, &etag);
  const std::string sent = EncodeFrame({"t", "key:" + etag, body});
  Frame reply;
  return WriteAll(fd, sent.data(), sent.size()) && ReadFrameFrom(fd, &pending, &reply, 10000) &&
         reply.header.find("exr:0") != std::string::npos;
}

}  // namespace

TEST_F(PipeLimits, OneUserHoldsAtMost256ConnectionsAndRootIsServedWhileItDoes) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  ASSERT_EQ(chmod(run_.path().c_str(), 0711), 0);
  ASSERT_TRUE(pipe_.start());
  int out[2], in[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(in), 0);
  // The user connects 300 times, then counts the connections the server
  // left open once it has closed the others (for 10 s at most).
  const std::string path = server_.socket_path();
  std::thread holder([&] {
    user.RunAs([&] {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);  // so that its input ends when ours closes
      const char* argv[] = {"python3", "-c",
                            "import socket, sys, select, time\n"
                            "socks = [socket.socket(socket.AF_UNIX) for _ in range(300)]\n"
                            "for s in socks: s.connect(sys.argv[1])\n"
                            "sys.stdin.read(1)\n"
                            "end = time.time() + 10\n"
                            "while len(socks) > 256 and time.time() < end:\n"
                            "    for s in select.select(socks, [], [], 1)[0]:\n"
                            "        if not s.recv(1): socks.remove(s)\n"
                            "print(len(socks), flush=True)\n"
                            "sys.stdin.read(1)\n",
                            path.c_str(), nullptr};
      execv("/usr/bin/python3", const_cast<char**>(argv));
      return 127;
    });
  });
  // Root connects after all of them and is served.
  for (int i = 0; i < 2000 && server_.client_count() < 256; ++i) usleep(5000);
  int root = ConnectUnixSocket(path);
  EXPECT_TRUE(root >= 0 && Echoed(root));
  EXPECT_EQ(write(in[1], "g", 1), 1);
  std::string said;  // the count may come in more than one read
  char c;
  while (said.size() < 16 && (said.empty() || said.back() != '\n') && read(out[0], &c, 1) == 1) said += c;
  EXPECT_EQ(said, "256\n");
  EXPECT_EQ(server_.client_count(), 257u);
  close(in[1]);
  holder.join();
  for (int fd : {in[0], out[0], out[1], root}) close(fd);
}

TEST_F(PipeLimits, AFullSocketMakesRoomByClosingTheConnectionIdleLongest) {
  server_.setMaxClients(4);
  server_.setIdleCloseAfter(0);
  ASSERT_TRUE(pipe_.start());
  int fds[5];
  for (int i = 0; i < 4; ++i) {
    fds[i] = ConnectUnixSocket(server_.socket_path());
    ASSERT_GE(fds[i], 0);
    for (int wait = 0; wait < 2000 && server_.client_count() < static_cast<size_t>(i) + 1; ++wait) usleep(5000);
  }
  ASSERT_TRUE(WriteAll(fds[0], "\x0d\x7a", 2));  // the oldest is inside a frame: not idle
  ASSERT_TRUE(Echoed(fds[3]));  // the loop has read it
  fds[4] = ConnectUnixSocket(server_.socket_path());
  EXPECT_TRUE(Echoed(fds[4]));
  EXPECT_TRUE(ClosedWithin(fds[1], 10000));
  EXPECT_FALSE(ClosedWithin(fds[2], 100));
  for (int fd : fds) close(fd);
}

}  // namespace zev
