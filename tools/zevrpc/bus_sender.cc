#include "tools/zevrpc/bus_sender.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace zev::rpc {
namespace {

using SteadyClock = std::chrono::steady_clock;

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  const int fd_;
};

// Milliseconds left until `deadline`, at least 0, rounded up so that a poll
// never wakes just before it.
int RemainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - SteadyClock::now()).count();
  if (left <= 0) return 0;
  long long ms = (left + 999) / 1000;
  return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

// Waits for `events` on fd until the deadline: 1 ready, 0 timed out, -1 error.
int WaitFor(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int ms = RemainingMs(deadline);
    int n = poll(&p, 1, ms);
    if (n > 0) return 1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Reads the 4-byte acknowledgement; a result code.
pubsdk::HRESULT ReadAck(int fd, SteadyClock::time_point deadline) {
  uint8_t ack[kAckSize];
  size_t got = 0;
  while (got < kAckSize) {
    ssize_t n = recv(fd, ack + got, kAckSize - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return pubsdk::kBusErrIo;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return pubsdk::kBusErrIo;
    int ready = WaitFor(fd, POLLIN, deadline);
    if (ready == 0) return pubsdk::kBusErrTimeout;
    if (ready < 0) return pubsdk::kBusErrIo;
  }
  return ResultForAck(DecodeAck(ack));
}

}  // namespace

pubsdk::HRESULT SendFrame(const std::string& socket_path, const FrameHeader& header, const void* data,
                          uint32_t timeout_ms) {
  sockaddr_un addr{};
  if (socket_path.size() >= sizeof(addr.sun_path)) return pubsdk::kBusErrArgument;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);

  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return pubsdk::kBusErrIo;
  // A blocking connect waits for room in a busy listener's backlog, bounded
  // by the send time-out; a missing or refusing listener fails at once.
  timeval tv{static_cast<time_t>(timeout_ms / 1000), static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
  if (timeout_ms > 0 && tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  for (;;) {
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) break;
    if (errno == EINTR) continue;
    if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) return pubsdk::kBusErrNoNode;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS || errno == ETIMEDOUT) {
      return pubsdk::kBusErrTimeout;
    }
    return pubsdk::kBusErrIo;
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return pubsdk::kBusErrIo;

  uint8_t head[kFrameHeaderSize];
  EncodeFrameHeader(header, head);
  iovec iov[2] = {{head, sizeof(head)}, {const_cast<void*>(data), header.length}};
  int iov_count = header.length > 0 ? 2 : 1;
  iovec* next = iov;
  while (iov_count > 0) {
    msghdr msg{};
    msg.msg_iov = next;
    msg.msg_iovlen = static_cast<size_t>(iov_count);
    ssize_t n = sendmsg(fd.get(), &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        int ready = WaitFor(fd.get(), POLLOUT, deadline);
        if (ready == 0) return pubsdk::kBusErrTimeout;
        if (ready < 0) return pubsdk::kBusErrIo;
        continue;
      }
      // The receiver may refuse the header and close before taking the
      // data; its answer is then already waiting to be read.
      if (errno == EPIPE || errno == ECONNRESET) return ReadAck(fd.get(), deadline);
      return pubsdk::kBusErrIo;
    }
    size_t sent = static_cast<size_t>(n);
    while (iov_count > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --iov_count;
    }
    if (iov_count > 0) {
      next->iov_base = static_cast<uint8_t*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
  return ReadAck(fd.get(), deadline);
}

}  // namespace zev::rpc
