#include "tools/zevrpc/endpoint.h"

#include <pthread.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "tools/zevrpc/bus_folder.h"
#include "tools/zevrpc/bus_message.h"
#include "tools/zevrpc/bus_sender.h"

namespace zev::rpc {
namespace {

constexpr int kListenBacklog = 128;
// After accept fails for want of descriptors the listener stays readable;
// it is left alone this long instead of being polled in a tight loop.
constexpr int kAcceptPauseMs = 100;
// How long the reading thread waits before polling again after poll failed.
constexpr int kPollFailurePauseMs = 10;

int MillisUntil(std::chrono::steady_clock::time_point when, std::chrono::steady_clock::time_point now) {
  if (when <= now) return 0;
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(when - now).count();
  return static_cast<int>(std::min<long long>((us + 999) / 1000, 0x7fffffff));
}

void CloseIfOpen(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace

// A sender's connection. It carries frames one after another, each
// answered in turn; between frames it is idle. `deadline` is when a frame
// begun (or expected, right after accept) must be whole, or when an idle
// connection is closed. `surplus` holds bytes read past the end of a frame,
// the start of the next one.
struct BusEndpoint::Connection {
  int fd = -1;
  std::unique_ptr<FrameReader> reader;
  SteadyClock::time_point deadline;
  bool idle = false;
  std::vector<uint8_t> surplus;
};

BusEndpoint* BusEndpoint::Open(const std::string& folder, uint32_t node_id, uint32_t channel,
                               pubsdk::IMessageCallBack* callback, int frame_timeout_ms) {
  if (callback == nullptr || folder.empty() || frame_timeout_ms < 1) return nullptr;
  std::string socket_path = SocketPath(folder, node_id);
  if (socket_path.size() > MaxSocketPathLength()) return nullptr;
  if (!ClaimIdInProcess(folder, node_id)) return nullptr;

  int lock_fd = TakeNodeLock(folder, node_id);
  if (lock_fd < 0) {
    ForgetIdInProcess(folder, node_id);
    return nullptr;
  }
  // Only the holder of the lock may remove a socket left by a dead holder.
  unlink(socket_path.c_str());
  int listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  bool bound = listen_fd >= 0 && bind(listen_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  if (!bound || wake_fd < 0 || timer_fd < 0 || listen(listen_fd, kListenBacklog) != 0) {
    if (bound) unlink(socket_path.c_str());
    unlink(LockPath(folder, node_id).c_str());
    CloseIfOpen(listen_fd);
    CloseIfOpen(wake_fd);
    CloseIfOpen(timer_fd);
    close(lock_fd);
    ForgetIdInProcess(folder, node_id);
    return nullptr;
  }
  callback->AddRef();
  auto* endpoint = new BusEndpoint(folder, node_id, channel, callback, lock_fd, listen_fd, wake_fd, timer_fd,
                                   frame_timeout_ms);
  if (!endpoint->Start()) {
    endpoint->Release();  // closes, which undoes all of the above
    return nullptr;
  }
  return endpoint;
}

BusEndpoint::BusEndpoint(const std::string& folder, uint32_t node_id, uint32_t channel,
                         pubsdk::IMessageCallBack* callback, int lock_fd, int listen_fd, int wake_fd, int timer_fd,
                         int frame_timeout_ms)
    : folder_(folder),
      socket_path_(SocketPath(folder, node_id)),
      lock_path_(LockPath(folder, node_id)),
      node_id_(node_id),
      channel_(channel),
      callback_(callback),
      lock_fd_(lock_fd),
      listen_fd_(listen_fd),
      wake_fd_(wake_fd),
      timer_fd_(timer_fd),
      frame_timeout_(frame_timeout_ms),
      own_uid_(geteuid()),
      sender_(folder),
      scratch_(new uint8_t[kScratchSize]),
      inbox_(kInboxMaxMessages, kInboxMaxBytes) {}

BusEndpoint::~BusEndpoint() { Close(); }

bool BusEndpoint::Start() {
  try {
    for (size_t i = 0; i < 2; ++i) {
      threads_[i] = std::thread(&BusEndpoint::WorkerLoop, this);
      pthread_setname_np(threads_[i].native_handle(), "zevrpc-node");
      thread_ids_[i] = threads_[i].get_id();
    }
  } catch (...) {
    return false;
  }
  return true;
}

bool BusEndpoint::IsOwnThread() const {
  std::thread::id self = std::this_thread::get_id();
  for (const std::thread::id& id : thread_ids_) {
    if (id != std::thread::id() && id == self) return true;
  }
  return false;
}

void BusEndpoint::StopThreads() {
  {
    MutexLock lock(&mu_);
    stopping_ = true;
    inbox_.Clear();
  }
  uint64_t one = 1;
  ssize_t ignored = write(wake_fd_, &one, sizeof(one));
  (void)ignored;  // the counter cannot overflow from one write per close
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  {
    MutexLock lock(&mu_);
    AnswerDeferred();  // the message was taken; its callback will not run
  }
  for (Connection& c : connections_) close(c.fd);
  connections_.clear();
}

pubsdk::HRESULT BusEndpoint::Close() {
  if (IsOwnThread()) return pubsdk::kE_FAIL;
  std::lock_guard<std::mutex> lock(close_mu_);
  if (closed_.exchange(true)) return pubsdk::kS_OK;
  StopThreads();
  unlink(socket_path_.c_str());
  // Unlinked while the lock is held, so that no newcomer can take a lock on
  // this name that we still think is ours; TakeNodeLock spots the orphan.
  unlink(lock_path_.c_str());
  close(listen_fd_);
  close(wake_fd_);
  close(timer_fd_);
  close(lock_fd_);
  sender_.Close();
  ForgetIdInProcess(folder_, node_id_);
  callback_->Release();
  return pubsdk::kS_OK;
}

pubsdk::HRESULT BusEndpoint::QueryInterface(const pubsdk::GUID& iid, void** out) {
  if (out == nullptr) return pubsdk::kE_POINTER;
  if (iid == pubsdk::IID_IUnknown || iid == pubsdk::IID_IBusEndpoint) {
    AddRef();
    *out = static_cast<pubsdk::IBusEndpoint*>(this);
    return pubsdk::kS_OK;
  }
  *out = nullptr;
  return pubsdk::kE_NOINTERFACE;
}

uint32_t BusEndpoint::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t BusEndpoint::Release() {
  uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

pubsdk::HRESULT BusEndpoint::Send(uint32_t destination, uint32_t word_a, uint32_t word_b, const void* data,
                                  uint32_t length, uint32_t timeout_ms) {
  if (length > pubsdk::kBusMaxMessage) return pubsdk::kBusErrTooLarge;
  if (length > 0 && data == nullptr) return pubsdk::kBusErrArgument;
  if (closed_.load(std::memory_order_acquire)) return pubsdk::kE_FAIL;
  FrameHeader header;
  header.source = node_id_;
  header.destination = destination;
  header.word_a = word_a;
  header.word_b = word_b;
  header.channel = channel_;
  header.length = length;
  if (destination == node_id_) {
    // The thread that would read this frame may be the one running the
    // caller's callback; the other one reads it without waiting for the
    // takeover delay.
    MutexLock lock(&mu_);
    if (!stopping_ && !reading_) ArmTakeoverTimer(std::chrono::microseconds(1));
  }
  return sender_.Send(header, data, timeout_ms == 0 ? kDefaultSendTimeoutMs : timeout_ms);
}

bool BusEndpoint::Answer(int fd, uint32_t code) {
  uint8_t ack[kAckSize];
  EncodeAck(code, ack);
  // A sender reads each answer before it sends the next frame, so the four
  // bytes always find room; a client that does not leaves its connection
  // out of step and loses it. A client that already left misses its answer.
  return send(fd, ack, sizeof(ack), MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof(ack));
}

// Reads what the connection has and answers each frame it completes; true
// when the connection is finished (refused, out of step or left) and must
// be closed, false when it stays for more bytes or frames. Small frames
// arrive in one read through the scratch buffer, which may take bytes past
// the frame's end when a client wrote its next frame before reading its
// answer; those are served from `surplus` right away, since poll will not
// report them again. Once a frame is answered, no more is read until the
// next poll: a client that keeps its socket full would otherwise keep this
// thread from the other connections and from Close. A frame begun in
// `surplus` waits in the reader meanwhile. Bytes of a large frame's data
// are read straight into its buffer.
bool BusEndpoint::ServeConnection(Connection* connection) {
  FrameReader& reader = *connection->reader;
  std::vector<uint8_t>& surplus = connection->surplus;
  bool answered = false;
  for (;;) {
    if (!surplus.empty()) {
      if (connection->idle) {
        connection->idle = false;
        connection->deadline = SteadyClock::now() + frame_timeout_;
      }
      size_t taken = reader.Feed(surplus.data(), surplus.size());
      surplus.erase(surplus.begin(), surplus.begin() + static_cast<std::ptrdiff_t>(taken));
    }
    if (answered && reader.WriteRoom() > 0) return false;
    while (reader.WriteRoom() > 0) {
      bool direct = reader.WriteRoom() >= kScratchSize;
      uint8_t* into = direct ? reader.WritePointer() : scratch_.get();
      ssize_t n = recv(connection->fd, into, direct ? reader.WriteRoom() : kScratchSize, 0);
      if (n > 0) {
        if (connection->idle) {
          connection->idle = false;
          connection->deadline = SteadyClock::now() + frame_timeout_;
        }
        if (direct) {
          reader.Commit(static_cast<size_t>(n));
        } else {
          size_t taken = reader.Feed(into, static_cast<size_t>(n));
          surplus.assign(into + taken, into + n);
        }
        continue;
      }
      if (n == 0) return true;  // the client left, between frames or in one
      if (errno == EINTR) continue;
      return errno != EAGAIN && errno != EWOULDBLOCK;
    }
    FrameStatus status = reader.status();
    uint32_t code = AckForStatus(status);
    bool deferred = false;
    if (status == FrameStatus::kOk) {
      InboxMessage message;
      message.header = reader.header();
      message.data = reader.TakeData();
      MutexLock lock(&mu_);
      // The message this thread will dispatch itself next is answered when
      // its callback returns (see AnswerDeferred). Not when its client
      // already sent more: answers must come in the order of the frames.
      // Once Close began, nothing queued would run.
      bool next_to_run = inbox_.empty() && !dispatching_ && deferred_fd_ < 0 && surplus.empty();
      if (stopping_ || !inbox_.Push(std::move(message))) {
        code = kAckInboxFull;
      } else if (next_to_run) {
        deferred_fd_ = connection->fd;
        deferred = true;
      }
    }
    // A refused header leaves its data unread in the stream, so only a
    // frame taken whole lets the connection carry the next one.
    if (!deferred && (!Answer(connection->fd, code) || (code != kAckQueued && code != kAckInboxFull))) return true;
    reader.Reset();
    connection->idle = true;
    connection->deadline = SteadyClock::now() + kIdleConnectionClose;
    if (surplus.empty()) return false;
    answered = true;
  }
}

bool BusEndpoint::ReadOnce() {
  std::vector<Connection>& connections = connections_;
  // The idle connection that has been idle longest, closed to make room
  // for a new one when all slots are taken; -1 when none is idle. One whose
  // answer waits for its callback is not idle yet.
  constexpr size_t kNone = static_cast<size_t>(-1);
  auto longest_idle = [this, &connections]() {
    int waiting;
    {
      MutexLock lock(&mu_);
      waiting = deferred_fd_;
    }
    size_t found = kNone;
    for (size_t i = 0; i < connections.size(); ++i) {
      if (connections[i].idle && connections[i].fd != waiting &&
          (found == kNone || connections[i].deadline < connections[found].deadline)) {
        found = i;
      }
    }
    return found;
  };
  SteadyClock::time_point now = SteadyClock::now();
  bool accepting =
      (connections.size() < kMaxPendingConnections || longest_idle() != kNone) && now >= accept_paused_until_;
  std::vector<pollfd>& fds = poll_fds_;
  fds.clear();
  fds.push_back(pollfd{wake_fd_, POLLIN, 0});
  fds.push_back(pollfd{accepting ? listen_fd_ : -1, POLLIN, 0});
  int timeout = -1;
  if (!accepting && now < accept_paused_until_) timeout = MillisUntil(accept_paused_until_, now);
  for (const Connection& c : connections) {
    fds.push_back(pollfd{c.fd, POLLIN, 0});
    int left = MillisUntil(c.deadline, now);
    if (timeout < 0 || left < timeout) timeout = left;
  }
  int ready = poll(fds.data(), fds.size(), timeout);
  if (ready < 0 && errno != EINTR) return false;
  if (ready > 0 && fds[0].revents != 0) return false;  // Close asked us to stop

  now = SteadyClock::now();
  size_t kept = 0;
  for (size_t i = 0; i < connections.size(); ++i) {
    Connection& c = connections[i];
    bool finished = false;
    if (ready > 0 && fds[i + 2].revents != 0) finished = ServeConnection(&c);
    // A client that has not delivered its frame in time is dropped without
    // an answer, so that a stalled or garbage client costs one slot for a
    // bounded time; an idle one is let go when its time is up.
    if (!finished && now >= c.deadline) finished = true;
    if (finished) {
      close(c.fd);
    } else {
      if (kept != i) connections[kept] = std::move(c);
      ++kept;
    }
  }
  connections.resize(kept);

  if (!accepting || ready <= 0 || fds[1].revents == 0) return true;
  for (;;) {
    size_t room_maker = connections.size() < kMaxPendingConnections ? kNone : longest_idle();
    if (connections.size() >= kMaxPendingConnections && room_maker == kNone) break;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        accept_paused_until_ = SteadyClock::now() + std::chrono::milliseconds(kAcceptPauseMs);
      }
      break;
    }
    if (room_maker != kNone) {
      close(connections[room_maker].fd);
      connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(room_maker));
    }
    ucred peer{};
    socklen_t peer_len = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_len) != 0 ||
        (peer.uid != own_uid_ && peer.uid != 0)) {
      Answer(fd, kAckNotAllowed);
      close(fd);
      continue;
    }
    Connection c;
    c.fd = fd;
    c.reader = std::make_unique<FrameReader>(node_id_);
    c.deadline = SteadyClock::now() + frame_timeout_;
    // The sender writes right after connecting, so the frame is usually
    // there already; reading now saves a trip through poll.
    if (ServeConnection(&c)) {
      close(fd);
    } else {
      connections.push_back(std::move(c));
    }
  }
  return true;
}

void BusEndpoint::ArmTakeoverTimer(std::chrono::microseconds delay) {
  timer_armed_ = true;
  itimerspec spec{};
  spec.it_value.tv_sec = static_cast<time_t>(delay.count() / 1000000);
  spec.it_value.tv_nsec = static_cast<long>(delay.count() % 1000000) * 1000;
  timerfd_settime(timer_fd_, 0, &spec, nullptr);
}

void BusEndpoint::WorkerLoop() {
  for (;;) {
    bool read = false;
    {
      MutexLock lock(&mu_);
      if (stopping_) return;
      if (!reading_) {
        read = reading_ = true;
        AnswerDeferred();
      }
    }
    if (read) {
      ReadLoop();
    } else {
      StandBy();
    }
  }
}

void BusEndpoint::StandBy() {
  pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {timer_fd_, POLLIN, 0}};
  int ready = poll(fds, 2, -1);
  if (ready > 0 && fds[1].revents != 0) {
    MutexLock lock(&mu_);
    uint64_t expirations;
    if (read(timer_fd_, &expirations, sizeof(expirations)) == static_cast<ssize_t>(sizeof(expirations))) {
      timer_armed_ = false;
    }
  }
}

void BusEndpoint::ReadLoop() {
  for (;;) {
    if (!ReadOnce()) {
      {
        MutexLock lock(&mu_);
        if (stopping_) return;
        // poll itself failed. Reading is let go, to be taken again after a
        // pause (by whichever thread is free then) rather than left with a
        // thread that no longer reads.
        reading_ = false;
      }
      pollfd wake{wake_fd_, POLLIN, 0};
      poll(&wake, 1, kPollFailurePauseMs);
      return;
    }
    {
      MutexLock lock(&mu_);
      if (stopping_) return;
      if (dispatching_ || inbox_.empty()) continue;
      // Dispatch here, letting go of reading meanwhile. The timer calls the
      // other thread in should the callback take long. It is not stopped
      // when reading is taken back: a timer left from an earlier callback
      // fires sooner or for nothing, which costs one wake-up of the thread
      // standing by at most once per delay, where setting and stopping it
      // would cost two system calls per message.
      dispatching_ = true;
      reading_ = false;
      if (!timer_armed_) ArmTakeoverTimer(kReadTakeoverDelay);
    }
    if (!Dispatch()) return;
  }
}

void BusEndpoint::AnswerDeferred() {
  if (deferred_fd_ < 0) return;
  // A client that left misses its answer; poll reports the connection
  // closed to whichever thread reads next.
  Answer(deferred_fd_, kAckQueued);
  deferred_fd_ = -1;
}

bool BusEndpoint::Dispatch() {
  InboxMessage message;
  bool ran = false;
  for (;;) {
    {
      MutexLock lock(&mu_);
      // The first message run here may be the one whose answer waited for
      // its callback (unless the other thread answered it taking over).
      if (ran) AnswerDeferred();
      if (stopping_ || !inbox_.Pop(&message)) {
        dispatching_ = false;
        if (stopping_ || reading_) return false;
        reading_ = true;
        return true;
      }
    }
    auto* bus_message = new BusMessage(message.header, message.data.get());
    callback_->OnMessage(bus_message);
    bus_message->Detach();
    bus_message->Release();
    message.data.reset();
    ran = true;
  }
}

pubsdk::HRESULT BusEndpoint::BeginNodes(uint64_t* cursor) {
  if (cursor == nullptr) return pubsdk::kE_POINTER;
  std::vector<LiveNode> live;
  if (!ListLiveNodes(folder_, node_id_, &live)) return pubsdk::kE_FAIL;
  std::vector<pubsdk::BusNodeRecord> records;
  records.reserve(live.size());
  for (const LiveNode& node : live) {
    pubsdk::BusNodeRecord record;
    std::memset(&record, 0, sizeof(record));
    record.record_size = sizeof(record);
    record.node_id = node.node_id;
    record.pid = node.pid;
    if (node.node_id == node_id_) {
      record.flags = 1;
      record.channel = channel_;
    }
    std::string path = SocketPath(folder_, node.node_id);
    size_t len = std::min(path.size(), sizeof(record.socket_path) - 1);
    std::memcpy(record.socket_path, path.data(), len);
    records.push_back(record);
  }
  MutexLock lock(&nodes_mu_);
  nodes_ = std::move(records);
  // Generation 0 never names a snapshot, so a zeroed cursor reads as the end.
  if (++generation_ == 0) ++generation_;
  *cursor = static_cast<uint64_t>(generation_) << 32;
  return pubsdk::kS_OK;
}

pubsdk::HRESULT BusEndpoint::NextNode(uint64_t* cursor) {
  if (cursor == nullptr) return pubsdk::kE_POINTER;
  MutexLock lock(&nodes_mu_);
  uint32_t generation = static_cast<uint32_t>(*cursor >> 32);
  uint32_t index = static_cast<uint32_t>(*cursor);
  if (generation != generation_ || index >= nodes_.size()) return pubsdk::kS_FALSE;
  ++index;
  *cursor = static_cast<uint64_t>(generation) << 32 | index;
  return index < nodes_.size() ? pubsdk::kS_OK : pubsdk::kS_FALSE;
}

pubsdk::HRESULT BusEndpoint::GetNode(uint64_t cursor, pubsdk::BusNodeRecord* record) {
  if (record == nullptr) return pubsdk::kE_POINTER;
  MutexLock lock(&nodes_mu_);
  uint32_t generation = static_cast<uint32_t>(cursor >> 32);
  uint32_t index = static_cast<uint32_t>(cursor);
  if (generation != generation_ || index >= nodes_.size()) return pubsdk::kS_FALSE;
  *record = nodes_[index];
  return pubsdk::kS_OK;
}

}  // namespace zev::rpc
