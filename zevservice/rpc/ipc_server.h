// The named-pipe RPC server: a Unix stream socket (the Linux form of the
// named pipe) served by one libuv loop thread. A request the quick handler
// takes is answered on the loop thread itself, at the cost of no thread
// switch; every other one goes to a pool of as many workers as there are
// cores plus one, which call the request handler and frame the replies. The
// pool starts a worker only when a frame finds none idle and lets it go
// after a minute without work (base/thread_pool.h), so an idle service holds
// none of them.
//
// Frames are those of contract/pipe_frame.h. A connection whose next frame
// does not start with the magic, or declares more than kMaxFrameSize bytes,
// is closed (the stream has no way to find the next frame).
#ifndef ZEV_RPC_IPC_SERVER_H_
#define ZEV_RPC_IPC_SERVER_H_

#include <sys/types.h>
#include <uv.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/annotated_mutex.h"
#include "base/thread_pool.h"
#include "contract/names.h"
#include "contract/pipe_frame.h"

namespace zev {

extern const char kServicePipeServerName[];  // "ZEVServicePipeServer"

// The process at the other end of a connection, as the kernel gave it when
// the connection was made (SO_PEERCRED).
struct IpcPeer {
  bool known = false;
  uid_t uid = 0;
  pid_t pid = 0;
};

class IZEVIPCRequest {
 public:
  virtual ~IZEVIPCRequest() = default;
  // Who sent the request; not known unless the server set it.
  virtual const IpcPeer& getPeer() const {
    static const IpcPeer unknown;
    return unknown;
  }
  virtual const std::string& getBody() const = 0;
  virtual void setBody(const std::string& body) = 0;
  virtual const std::string& getExtend() const = 0;
  virtual void setExtend(const std::string& extend) = 0;
};
using IZEVIPCResponse = IZEVIPCRequest;

class CZEVIPCMessage : public IZEVIPCRequest {
 public:
  const std::string& getBody() const override { return body_; }
  void setBody(const std::string& body) override { body_ = body; }
  const std::string& getExtend() const override { return extend_; }
  void setExtend(const std::string& extend) override { extend_ = extend; }
  const IpcPeer& getPeer() const override { return peer_; }
  void setPeer(const IpcPeer& peer) { peer_ = peer; }

 private:
  std::string body_;
  std::string extend_;
  IpcPeer peer_;
};
using CZEVIPCRequest = CZEVIPCMessage;
using CZEVIPCResponse = CZEVIPCMessage;

class CZEVIPCServer {
 public:
  using Handler = std::function<void(IZEVIPCRequest& request, IZEVIPCResponse& response)>;

  // Idle pool workers end on `clock` (not owned; must outlive the server).
  explicit CZEVIPCServer(Clock* clock);
  ~CZEVIPCServer();  // stop(), then joins the pool
  CZEVIPCServer(const CZEVIPCServer&) = delete;
  CZEVIPCServer& operator=(const CZEVIPCServer&) = delete;

  // Stores the handler when it is not empty. Call before start.
  void setHandler(Handler handler);
  // Offered each request of at most kMaxQuickFrameBytes on the loop thread
  // before the pool sees it: true when it filled the response itself, which
  // is then sent at once; false leaves the request to the handler on the
  // pool. It must never block, since every connection waits while it runs.
  // Empty (the default): every request goes to the pool. Call before start.
  using QuickHandler = std::function<bool(IZEVIPCRequest& request, IZEVIPCResponse& response)>;
  void setQuickHandler(QuickHandler handler) { quick_handler_ = std::move(handler); }
  static constexpr size_t kMaxQuickFrameBytes = 16u << 10;
  // The folder of the socket file; without one nothing can listen. Call
  // before start.
  void setRuntimeDir(const std::string& dir) { runtime_dir_ = dir; }
  // Binds the socket of `pipe_name` (mode 0666; a stale socket file left by
  // a dead process is replaced) and starts the loop thread. True when
  // listening, or already started; a stopped server starts anew. False, with
  // the reason logged, when nothing listens.
  bool start(const std::string& name, const std::string& pipe_name);
  // Closes the listener and every client, ends and joins the loop thread,
  // and removes the socket file. Replies still being made are dropped.
  // Always true; a call on a stopped server only logs. start and stop may
  // be called from any thread, one at a time.
  bool stop();

  const std::string& socket_path() const { return socket_path_; }
  // Number of connected clients (for tests and logs).
  size_t client_count();
  // Threads of the pool alive now; 0 while stopped (for tests and logs).
  size_t worker_count();

  // Limits, each set before start. A connection whose frame has not
  // completed within `ms` of its first byte is closed (idle connections
  // between frames stay). Reading from a connection stops while its unsent
  // replies exceed `bytes` (or kMaxInFlightFrames of its requests wait for
  // an answer) and resumes once they have drained to half. At most
  // `clients` connections (and never more than half the process's descriptor
  // limit) are served; more are accepted and closed at once, with a log line
  // at most once a minute. Failed accepts are logged as rarely.
  //
  // Of those, the last `reserved` serve root and the service's own user
  // only, and every other uid may hold at most `per_user` connections, so
  // that no user can lock the others, or the service's own clients, out.
  // When a connection finds no free slot, the connection that has been idle
  // longest (nothing received, no frame begun, no reply owed) for at least
  // `idle_ms` is closed to make room; other users' connections go first,
  // and a connection of root or the service's user goes only to make room
  // for another such one.
  void setPartialFrameTimeout(uint64_t ms) { partial_frame_timeout_ms_ = ms; }
  void setMaxUnsentBytes(size_t bytes) { max_unsent_bytes_ = bytes; }
  void setMaxClients(size_t clients) { max_clients_ = clients; }
  void setReservedClients(size_t reserved) { reserved_clients_ = reserved; }
  void setMaxClientsPerUser(size_t per_user) { max_clients_per_user_ = per_user; }
  void setIdleCloseAfter(uint64_t idle_ms) { idle_close_ms_ = idle_ms; }
  static constexpr uint64_t kDefaultPartialFrameTimeoutMs = 30000;
  static constexpr size_t kDefaultMaxUnsentBytes = 4u << 20;
  static constexpr size_t kDefaultMaxClients = 4096;
  static constexpr size_t kDefaultReservedClients = 64;
  static constexpr size_t kDefaultMaxClientsPerUser = 256;
  static constexpr uint64_t kDefaultIdleCloseMs = 10000;
  static constexpr size_t kMaxInFlightFrames = 64;

 private:
  struct Client;
  struct Reply {
    uint64_t client_id;
    std::string bytes;
  };

  static void OnConnection(uv_stream_t* server, int status);
  static void OnAlloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buf);
  static void OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf);
  static void OnAsync(uv_async_t* async);
  static void OnClientClosed(uv_handle_t* handle);
  static void OnShutdown(uv_shutdown_t* request, int status);
  static void OnWrite(uv_write_t* request, int status);
  static void OnSweep(uv_timer_t* timer);

  void UpdateReading(Client* client);  // loop thread
  // Whether a log line about connections is due, the last one having been
  // written at *last (updated when due).
  bool AcceptLogDue(uint64_t* last);   // loop thread
  // Whether a new connection of `peer` may be served, closing an idle
  // connection to make room when that is what it takes. False with the log
  // line and its level. Loop thread.
  bool Admit(const IpcPeer& peer, std::string* why, int* level);
  // The connection idle longest, for at least idle_close_ms_, among those
  // of root and the service's user (`privileged`) or of everyone else; null
  // when there is none. Loop thread.
  Client* OldestIdle(bool privileged);

  void CloseClient(Client* client);    // loop thread
  // Answers the frame on the loop thread when the quick handler takes it.
  bool AnswerQuickly(Client* client, const Frame& frame);  // loop thread
  void WriteReply(Client* client, std::string bytes);       // loop thread
  void HandleFrame(uint64_t client_id, const IpcPeer& peer, Frame frame);  // pool thread
  void QueueReply(uint64_t client_id, std::string bytes);  // any thread
  void RunStopOnLoop();                // loop thread

  std::string name_;
  std::string pipe_name_;
  std::string socket_path_;
  Clock* const clock_;
  std::string runtime_dir_;
  Handler handler_;
  QuickHandler quick_handler_;
  std::unique_ptr<std::thread> loop_thread_;
  uv_loop_t loop_;
  uv_pipe_t listener_;
  uv_async_t async_;
  uv_timer_t sweep_;               // closes connections stuck inside a frame
  uint64_t last_accept_log_ = 0;   // loop thread only
  uint64_t last_idle_close_log_ = 0;  // loop thread only
  uint64_t partial_frame_timeout_ms_ = kDefaultPartialFrameTimeoutMs;
  size_t max_unsent_bytes_ = kDefaultMaxUnsentBytes;
  size_t max_clients_ = kDefaultMaxClients;
  size_t reserved_clients_ = kDefaultReservedClients;
  size_t max_clients_per_user_ = kDefaultMaxClientsPerUser;
  uint64_t idle_close_ms_ = kDefaultIdleCloseMs;
  bool loop_initialised_ = false;
  // Connections served per uid other than root's and the service's user's.
  std::map<uid_t, size_t> per_user_;  // loop thread only

  Mutex client_mu_;
  std::map<uint64_t, Client*> clients_ GUARDED_BY(client_mu_);  // owned by the loop thread
  uint64_t next_client_id_ = 1;          // loop thread only

  Mutex queue_mu_;
  std::deque<Reply> replies_ GUARDED_BY(queue_mu_);
  bool loop_alive_ GUARDED_BY(queue_mu_) = false;  // async_ may be signalled
  bool stop_requested_ GUARDED_BY(queue_mu_) = false;

  std::mutex lifecycle_mu_;  // held for the whole of start and stop
  std::unique_ptr<CZEVThreadPool> pool_;
};

}  // namespace zev

#endif  // ZEV_RPC_IPC_SERVER_H_
