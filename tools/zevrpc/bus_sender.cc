#include "tools/zevrpc/bus_sender.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "tools/zevrpc/bus_folder.h"

namespace zev::rpc {
namespace {

using SteadyClock = std::chrono::steady_clock;

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

// How the exchange of one message on a connection ended.
struct Exchange {
  pubsdk::HRESULT result = pubsdk::kBusErrIo;
  bool answered = false;
  // The receiver answered that it took the message (or that its inbox was
  // full) and keeps reading the connection.
  bool reusable = false;
  // The receiver had closed its side without taking the message: nothing of
  // it reached the inbox, so it may be sent again on a new connection.
  bool untaken = false;
};

// Bounds the connection's blocking reads by the time left until `deadline`
// (SO_RCVTIMEO, whole milliseconds rounded up); false when no time is left.
// The bound is set again only when it would reach past the deadline or
// `force` asks (it ran out early), so that a connection used with the same
// time limit over and over is not set for every message.
bool LimitReceive(FrameSender::Link* link, SteadyClock::time_point deadline, bool force) {
  int ms = RemainingMs(deadline);
  if (ms <= 0) return false;
  if (!force && link->receive_limit_ms > 0 && link->receive_limit_ms <= ms) return true;
  timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
  if (setsockopt(link->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) return false;
  link->receive_limit_ms = ms;
  return true;
}

// Reads the 4-byte acknowledgement in blocking reads bounded by the deadline
// (one system call where waiting first and then reading would take two).
Exchange ReadAck(FrameSender::Link* link, SteadyClock::time_point deadline) {
  Exchange out;
  uint8_t ack[kAckSize];
  size_t got = 0;
  bool force = false;
  while (got < kAckSize) {
    if (!LimitReceive(link, deadline, force)) {
      out.result = pubsdk::kBusErrTimeout;
      return out;
    }
    force = false;
    ssize_t n = recv(link->fd, ack + got, kAckSize - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      force = true;  // the bound ran out; the deadline decides
      continue;
    }
    // The kernel reports a reset when the receiver closed with bytes of ours
    // still unread; a plain end means it had read them all and then went
    // away without an answer, so the message may or may not be in.
    out.untaken = got == 0 && n < 0 && errno == ECONNRESET;
    return out;
  }
  uint32_t code = DecodeAck(ack);
  out.answered = true;
  out.result = ResultForAck(code);
  out.reusable = code == kAckQueued || code == kAckInboxFull;
  return out;
}

// Writes the frame and reads its acknowledgement. Writes never block (the
// connection's reads do), so that a full socket waits in poll, bounded by
// the deadline.
Exchange Deliver(FrameSender::Link* link, const FrameHeader& header, const void* data,
                 SteadyClock::time_point deadline) {
  const int fd = link->fd;
  uint8_t head[kFrameHeaderSize];
  EncodeFrameHeader(header, head);
  iovec iov[2] = {{head, sizeof(head)}, {const_cast<void*>(data), header.length}};
  int iov_count = header.length > 0 ? 2 : 1;
  iovec* next = iov;
  while (iov_count > 0) {
    msghdr msg{};
    msg.msg_iov = next;
    msg.msg_iovlen = static_cast<size_t>(iov_count);
    ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      Exchange out;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        int ready = WaitFor(fd, POLLOUT, deadline);
        if (ready == 0) out.result = pubsdk::kBusErrTimeout;
        if (ready <= 0) return out;
        continue;
      }
      if (errno != EPIPE && errno != ECONNRESET) return out;
      // The receiver may refuse the header and close before taking the
      // data; its answer is then already waiting to be read. Without an
      // answer it had closed before this frame was whole, so the frame
      // never reached its inbox.
      out = ReadAck(link, deadline);
      out.untaken = !out.answered;
      out.reusable = false;
      return out;
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
  return ReadAck(link, deadline);
}

// Connects to `socket_path` and checks who listens there; *fd is the
// connection on kS_OK.
pubsdk::HRESULT Connect(const std::string& socket_path, uid_t own_uid, SteadyClock::time_point deadline, int* fd) {
  sockaddr_un addr{};
  if (socket_path.size() >= sizeof(addr.sun_path)) return pubsdk::kBusErrArgument;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return pubsdk::kBusErrIo;
  auto fail = [s](pubsdk::HRESULT result) {
    close(s);
    return result;
  };
  // A blocking connect waits for room in a busy listener's backlog, bounded
  // by the send time-out; a missing or refusing listener fails at once.
  int ms = std::max(RemainingMs(deadline), 1);
  timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  for (;;) {
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) break;
    if (errno == EINTR) continue;
    if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) return fail(pubsdk::kBusErrNoNode);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS || errno == ETIMEDOUT) {
      return fail(pubsdk::kBusErrTimeout);
    }
    return fail(pubsdk::kBusErrIo);
  }
  // The credentials are those of the process that listened; the connection
  // stays with that listener for its whole life, so one check covers every
  // message sent on it.
  ucred peer{};
  socklen_t peer_len = sizeof(peer);
  if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &peer_len) != 0) return fail(pubsdk::kBusErrIo);
  if (peer.uid != own_uid && peer.uid != 0) return fail(pubsdk::kBusErrNoNode);
  *fd = s;
  return pubsdk::kS_OK;
}

}  // namespace

FrameSender::FrameSender(std::string folder) : folder_(std::move(folder)), own_uid_(geteuid()) {}

FrameSender::~FrameSender() { Close(); }

void FrameSender::Close() {
  MutexLock lock(&mu_);
  closed_ = true;
  for (const Kept& k : kept_) close(k.link.fd);
  kept_.clear();
}

FrameSender::Link FrameSender::TakeKept(uint32_t node) {
  MutexLock lock(&mu_);
  SteadyClock::time_point now = SteadyClock::now();
  Link found;
  size_t left = 0;
  for (size_t i = 0; i < kept_.size(); ++i) {
    if (kept_[i].node == node) {
      found = kept_[i].link;
    } else if (now - kept_[i].last_used >= kKeptConnectionIdle) {
      close(kept_[i].link.fd);
    } else {
      kept_[left++] = kept_[i];
    }
  }
  kept_.resize(left);
  return found;
}

void FrameSender::PutBack(uint32_t node, Link link) {
  MutexLock lock(&mu_);
  auto same = std::find_if(kept_.begin(), kept_.end(), [node](const Kept& k) { return k.node == node; });
  if (closed_ || same != kept_.end()) {
    close(link.fd);
    return;
  }
  if (kept_.size() >= kMaxKeptConnections) {
    auto oldest = std::min_element(kept_.begin(), kept_.end(),
                                   [](const Kept& a, const Kept& b) { return a.last_used < b.last_used; });
    close(oldest->link.fd);
    kept_.erase(oldest);
  }
  kept_.push_back(Kept{node, link, SteadyClock::now()});
}

pubsdk::HRESULT FrameSender::Send(const FrameHeader& header, const void* data, uint32_t timeout_ms) {
  const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  Link link = TakeKept(header.destination);
  if (link.fd >= 0) {
    Exchange kept = Deliver(&link, header, data, deadline);
    if (!kept.untaken) {
      if (kept.reusable) {
        PutBack(header.destination, link);
      } else {
        close(link.fd);
      }
      return kept.result;
    }
    // The node closed the kept connection (it left, restarted or let it go
    // idle) before taking the message.
    close(link.fd);
  }
  link = Link();
  pubsdk::HRESULT connected = Connect(SocketPath(folder_, header.destination), own_uid_, deadline, &link.fd);
  if (connected != pubsdk::kS_OK) return connected;
  Exchange fresh = Deliver(&link, header, data, deadline);
  if (fresh.reusable) {
    PutBack(header.destination, link);
  } else {
    close(link.fd);
  }
  return fresh.result;
}

}  // namespace zev::rpc
