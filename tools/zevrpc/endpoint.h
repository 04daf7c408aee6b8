// One node on the bus: its lock, its listening socket, two threads that
// between them read its connections and run its callback (see BusEndpoint),
// and the connections it keeps to the nodes it sends to.
#ifndef ZEV_TOOLS_ZEVRPC_ENDPOINT_H_
#define ZEV_TOOLS_ZEVRPC_ENDPOINT_H_

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/annotated_mutex.h"
#include "bus/bus_abi.h"
#include "tools/zevrpc/bus_sender.h"
#include "tools/zevrpc/inbox.h"

namespace zev::rpc {

// Bounds of one endpoint's inbox.
constexpr size_t kInboxMaxMessages = 1024;
constexpr size_t kInboxMaxBytes = 64u * 1024 * 1024;
// Connections the reading thread serves at once; more wait in the backlog until
// a stalled one is dropped or an idle one is closed to make room.
constexpr size_t kMaxPendingConnections = 64;
// Time a client has to deliver its whole frame, counted from accept or from
// the frame's first byte on a kept connection, unless the endpoint is opened
// with another.
constexpr int kDefaultFrameTimeoutMs = 3000;
// A kept connection that carried no frame for this long is closed. Senders
// let theirs go sooner (kKeptConnectionIdle), so that this is rarely the
// side that closes.
constexpr std::chrono::seconds kIdleConnectionClose{120};
// Send's time limit when the caller passes 0.
constexpr uint32_t kDefaultSendTimeoutMs = 10000;
// How long a running callback may keep the node's connections unread before
// the endpoint's other thread takes them over.
constexpr std::chrono::microseconds kReadTakeoverDelay{1000};

// Threads. An endpoint has two threads and three roles: reading (polling the
// listener and the connections, queueing each whole frame in the inbox and
// acknowledging it), dispatching (running the callback on queued messages,
// one at a time, in the order they were queued) and standing by. The thread
// that reads a frame while nothing is dispatched runs the callback itself,
// so that a message reaches its callback without a hand-off between
// threads; it lets go of reading while the callback runs and takes it back
// afterwards. That frame's acknowledgement is sent when its callback
// returns, so that its sender, usually asleep until then, is woken once
// rather than twice when the callback answers it (on one processor the
// early answer costs two extra thread switches per message). Should the
// callback take longer than kReadTakeoverDelay, the thread standing by
// takes over reading (at once when the callback sends to its own node),
// sends that acknowledgement first, and the first thread goes on to run
// whatever was queued meanwhile and then stands by. So a callback that is
// slow or blocks delays acknowledgements by at most kReadTakeoverDelay;
// messages wait in the inbox (up to its bounds) until the callback returns.
//
// Rules for callbacks: a callback may Send to any node, its own included
// (the acknowledgement comes from the other thread; the message is
// dispatched after the callback returns), and may open and release other
// endpoints. It may not close its own endpoint (Close answers kE_FAIL). A
// callback that waits for another of its own node's messages to be
// dispatched waits for ever, as dispatching is one message at a time.
// Callbacks run on either of the node's two threads, one after another, so
// they may keep no thread-local state and rely on no thread's identity from
// one callback to the next. The acknowledgement of a message whose callback
// runs long may come up to about kReadTakeoverDelay after it began, plus the
// time to wake the other thread; Send time limits below a few milliseconds
// are therefore not meaningful.
class BusEndpoint final : public pubsdk::IBusEndpoint {
 public:
  // Joins the bus in `folder` (made ready by PrepareBusFolder) as
  // `node_id`. Null when `callback` is null, the socket path does not fit a
  // socket address, the id is held by anyone (this process included) or a
  // system call fails; nothing is left behind then. On success the endpoint
  // holds a reference on `callback` until Close and answers with one
  // reference, which its owner (the call center) drops after Close.
  // `frame_timeout_ms`: the time a client has to deliver its whole frame.
  static BusEndpoint* Open(const std::string& folder, uint32_t node_id, uint32_t channel,
                           pubsdk::IMessageCallBack* callback, int frame_timeout_ms = kDefaultFrameTimeoutMs);

  BusEndpoint(const BusEndpoint&) = delete;
  BusEndpoint& operator=(const BusEndpoint&) = delete;

  // Stops and joins both threads (a callback in progress finishes first;
  // none starts afterwards; queued messages are dropped), which closes every
  // connection of its senders, unlinks the socket and then the lock file
  // while the lock is still held, closes the descriptors, its own kept
  // connections and releases the callback. kS_OK, also when already closed;
  // kE_FAIL when called from this endpoint's own callback, which cannot
  // wait for itself. Thread-safe.
  pubsdk::HRESULT Close();

  pubsdk::HRESULT QueryInterface(const pubsdk::GUID& iid, void** out) override;
  uint32_t AddRef() override;
  // Deletes at zero (closing first); the call center owns the first
  // reference.
  uint32_t Release() override;
  uint32_t GetNodeId() override { return node_id_; }
  uint32_t GetChannel() override { return channel_; }
  pubsdk::HRESULT Reserved5() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved6() override { return pubsdk::kE_NOTIMPL; }
  // Sends from this node; the frame carries this node's id and channel.
  // kBusErrTooLarge above kBusMaxMessage (checked first), kBusErrArgument
  // for null data with a length, kE_FAIL once closed; a timeout_ms of 0
  // means kDefaultSendTimeoutMs. See bus_abi.h and FrameSender::Send for the rest.
  // Thread-safe, also from callbacks.
  pubsdk::HRESULT Send(uint32_t destination, uint32_t word_a, uint32_t word_b, const void* data, uint32_t length,
                       uint32_t timeout_ms) override;
  pubsdk::HRESULT Reserved8() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved9() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved10() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved11() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved12() override { return pubsdk::kE_NOTIMPL; }
  // Listing of the live nodes. The cursor is (generation << 32) | index; a
  // cursor of an older snapshot reads as the end. kE_POINTER for null
  // pointers, kE_FAIL when the folder cannot be read. Thread-safe.
  pubsdk::HRESULT BeginNodes(uint64_t* cursor) override;
  pubsdk::HRESULT NextNode(uint64_t* cursor) override;
  pubsdk::HRESULT GetNode(uint64_t cursor, pubsdk::BusNodeRecord* record) override;

 private:
  using SteadyClock = std::chrono::steady_clock;

  BusEndpoint(const std::string& folder, uint32_t node_id, uint32_t channel, pubsdk::IMessageCallBack* callback,
              int lock_fd, int listen_fd, int wake_fd, int timer_fd, int frame_timeout_ms);
  ~BusEndpoint();

  struct Connection;

  bool Start();
  // Wakes both threads for good and joins those that run.
  void StopThreads();
  // Each thread's life: reading, dispatching or standing by in turn.
  void WorkerLoop();
  // Reads connections; returns when the endpoint stops, when this thread
  // dispatched and meanwhile the other one took over reading, or after poll
  // failed, having let go of reading.
  void ReadLoop();
  // One poll of the listener and the connections and what it found.
  // False when Close asked the threads to stop or poll failed.
  bool ReadOnce();
  // Runs the callback on queued messages until none is left. True when the
  // thread took reading back afterwards.
  bool Dispatch();
  // Waits until reading may need to be taken over, or the endpoint stops.
  void StandBy();
  // Sends the answer that waits for the running callback, if any.
  void AnswerDeferred() REQUIRES(mu_);
  // Sets the takeover timer to fire once, after `delay`.
  void ArmTakeoverTimer(std::chrono::microseconds delay) REQUIRES(mu_);
  // Serves one accepted connection; see the .cc.
  bool ServeConnection(Connection* connection);
  bool Answer(int fd, uint32_t code);
  bool IsOwnThread() const;

  const std::string folder_;
  const std::string socket_path_;
  const std::string lock_path_;
  const uint32_t node_id_;
  const uint32_t channel_;
  pubsdk::IMessageCallBack* const callback_;  // referenced until Close
  const int lock_fd_;
  const int listen_fd_;
  const int wake_fd_;   // readable once Close asked the threads to stop
  const int timer_fd_;  // the takeover timer, which wakes the thread standing by
  const std::chrono::milliseconds frame_timeout_;
  const uid_t own_uid_;

  FrameSender sender_;
  // The reading thread's buffer for small frames (header and data in one
  // read); larger data is read straight into the message.
  static constexpr size_t kScratchSize = 16 * 1024;
  const std::unique_ptr<uint8_t[]> scratch_;
  std::thread threads_[2];
  std::thread::id thread_ids_[2];  // set by Start, before the endpoint is handed out
  std::atomic<uint32_t> refs_{1};

  Mutex mu_;
  Inbox inbox_ GUARDED_BY(mu_);
  bool reading_ GUARDED_BY(mu_) = false;      // a thread has the reading role
  bool dispatching_ GUARDED_BY(mu_) = false;  // a thread has the dispatching role
  bool stopping_ GUARDED_BY(mu_) = false;
  bool timer_armed_ GUARDED_BY(mu_) = false;  // set and not yet seen to fire
  // The connection whose frame's answer waits for its callback; -1 for none.
  int deferred_fd_ GUARDED_BY(mu_) = -1;
  // Used only by the thread with the reading role (handed over under mu_).
  std::vector<Connection> connections_;
  std::vector<pollfd> poll_fds_;
  std::chrono::steady_clock::time_point accept_paused_until_ = std::chrono::steady_clock::time_point::min();

  std::atomic<bool> closed_{false};

  std::mutex close_mu_;  // serializes Close

  Mutex nodes_mu_;
  std::vector<pubsdk::BusNodeRecord> nodes_ GUARDED_BY(nodes_mu_);
  uint32_t generation_ GUARDED_BY(nodes_mu_) = 0;
};

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_ENDPOINT_H_
