#include "rpc/ipc_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "platform/bytes.h"
#include "platform/file_modes.h"
#include "platform/paths.h"
#include "rpc/rpc_dispatch.h"

namespace zev {

const char kServicePipeServerName[] = "ZEVServicePipeServer";

namespace {

constexpr int kBacklog = 128;
// A log line about refused or failed connections at most this often.
constexpr uint64_t kAcceptLogIntervalMs = 60000;
// Where connections whose peer the kernel did not name are counted.
constexpr uid_t kUnknownUid = static_cast<uid_t>(-1);

IpcPeer PeerOf(uv_pipe_t* handle) {
  IpcPeer peer;
  uv_os_fd_t fd;
  struct ucred credentials;
  socklen_t size = sizeof(credentials);
  if (uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &fd) == 0 &&
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
    peer.known = true;
    peer.uid = credentials.uid;
    peer.pid = credentials.pid;
  }
  return peer;
}

bool Privileged(const IpcPeer& peer) { return peer.known && IsPrivilegedUid(peer.uid); }

// True when a socket file at `path` has nobody listening behind it.
bool IsStaleSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  bool stale = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 && errno == ECONNREFUSED;
  close(fd);
  return stale;
}

struct WriteRequest {
  uv_write_t request;
  std::string bytes;  // alive until the write callback
};

}  // namespace

// Loop thread only.
struct CZEVIPCServer::Client {
  uv_pipe_t handle;  // first, so that the handle's address is the client's
  CZEVIPCServer* server = nullptr;
  uint64_t id = 0;
  std::string buffer;  // bytes of frames not yet complete
  bool closing = false;
  // Frames handed to the pool whose replies have not been queued for
  // writing yet, and whether reading is held back until the client drains.
  size_t in_flight = 0;
  bool paused = false;
  // When the first byte of the frame still incomplete arrived (uv_now); 0
  // between frames.
  uint64_t partial_since = 0;
  IpcPeer peer;
  // When the connection was made or last sent a byte (uv_now).
  uint64_t last_active = 0;
};

CZEVIPCServer::CZEVIPCServer(Clock* clock) : clock_(clock) {}

CZEVIPCServer::~CZEVIPCServer() { stop(); }

void CZEVIPCServer::setHandler(Handler handler) {
  if (handler) handler_ = std::move(handler);
}

size_t CZEVIPCServer::client_count() {
  MutexLock lock(&client_mu_);
  return clients_.size();
}

size_t CZEVIPCServer::worker_count() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mu_);
  return pool_ ? pool_->worker_count() : 0;
}

bool CZEVIPCServer::start(const std::string& name, const std::string& pipe_name) {
  if (pipe_name.empty()) {
    LogWrite(kLogError, "The pipe name is empty.");
    return false;
  }
  std::lock_guard<std::mutex> lifecycle(lifecycle_mu_);
  if (loop_thread_) {
    LogWrite(kLogInfo, "The pipe server(%s:%s) has started.", name.c_str(), pipe_name.c_str());
    return true;
  }
  name_ = name;
  pipe_name_ = pipe_name;
  if (!runtime_dir_.empty()) CreateDirectoryWithMode(runtime_dir_, kRuntimeDirMode);
  socket_path_ = runtime_dir_.empty() ? std::string() : PipeSocketPath(runtime_dir_, pipe_name);
  if (socket_path_.empty() || socket_path_.size() >= sizeof(sockaddr_un{}.sun_path)) {
    LogWrite(kLogError, "uv_pipe_bind failed, error: %d:%s", UV_ENAMETOOLONG,
             socket_path_.empty() ? "no runtime folder for the pipe" : uv_strerror(UV_ENAMETOOLONG));
    return false;
  }

  int rc = uv_loop_init(&loop_);
  if (rc != 0) {
    LogWrite(kLogError, "uv_loop_init failed, error: %d:%s", rc, uv_strerror(rc));
    return false;
  }
  loop_initialised_ = true;
  bool listener_open = false, async_open = false;
  auto fail = [&](const char* what, int code) {
    LogWrite(kLogError, "%s failed, error: %d:%s", what, code, uv_strerror(code));
    if (listener_open) uv_close(reinterpret_cast<uv_handle_t*>(&listener_), nullptr);
    if (async_open) uv_close(reinterpret_cast<uv_handle_t*>(&async_), nullptr);
    uv_run(&loop_, UV_RUN_DEFAULT);  // runs the close callbacks
    uv_loop_close(&loop_);
    loop_initialised_ = false;
    return false;
  };
  if ((rc = uv_pipe_init(&loop_, &listener_, 0)) != 0) return fail("uv_pipe_init", rc);
  listener_open = true;
  listener_.data = this;
  if (access(socket_path_.c_str(), F_OK) == 0) {
    // A socket left by a process that died; a live one keeps its file.
    if (IsStaleSocket(socket_path_)) unlink(socket_path_.c_str());
  }
  if ((rc = uv_pipe_bind(&listener_, socket_path_.c_str())) != 0) return fail("uv_pipe_bind", rc);
  // Every local user may call; nobody but us may replace the socket. A mode
  // added to the umask's result would leave execute bits (0777).
  if (chmod(socket_path_.c_str(), 0666) != 0) return fail("chmod", uv_translate_sys_error(errno));
  if ((rc = uv_listen(reinterpret_cast<uv_stream_t*>(&listener_), kBacklog, OnConnection)) != 0) {
    return fail("uv_listen", rc);
  }
  if ((rc = uv_async_init(&loop_, &async_, OnAsync)) != 0) return fail("uv_async_init", rc);
  async_open = true;
  async_.data = this;
  if ((rc = uv_timer_init(&loop_, &sweep_)) != 0) return fail("uv_timer_init", rc);
  sweep_.data = this;
  const uint64_t period = std::max<uint64_t>(partial_frame_timeout_ms_ / 4, 10);
  uv_timer_start(&sweep_, OnSweep, period, period);
  last_accept_log_ = 0;
  last_idle_close_log_ = 0;

  pool_ = std::make_unique<CZEVThreadPool>(CZEVThreadPool::AwakeLimit(), "zev-pipe-work", clock_);
  {
    MutexLock lock(&queue_mu_);
    loop_alive_ = true;
    stop_requested_ = false;
  }
  loop_thread_ = std::make_unique<std::thread>([this] {
    pthread_setname_np(pthread_self(), "zev-pipe-loop");
    LogWrite(kLogInfo, "The main loop of uv started.");
    uv_run(&loop_, UV_RUN_DEFAULT);
    LogWrite(kLogInfo, "The main loop of uv end.");
  });
  return true;
}

bool CZEVIPCServer::stop() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mu_);
  if (!loop_thread_) {
    LogWrite(kLogInfo, "The pipe server has been stopped.");
    return true;
  }
  LogWrite(kLogInfo, "Stop the named pipe server: %s:%s", name_.c_str(), pipe_name_.c_str());
  {
    // libuv handles belong to the loop thread: it runs the stop steps.
    MutexLock lock(&queue_mu_);
    stop_requested_ = true;
    uv_async_send(&async_);
  }
  LogWrite(kLogInfo, "Wait for the thread of main loop to exit.");
  loop_thread_->join();
  loop_thread_.reset();  // a later start begins anew
  int rc = uv_loop_close(&loop_);
  if (rc != 0) LogWrite(kLogError, "uv_loop_close failed, error: %d:%s", rc, uv_strerror(rc));
  loop_initialised_ = false;
  // Requests still in the pool finish; their replies are dropped.
  pool_.reset();
  unlink(socket_path_.c_str());
  return true;
}

bool CZEVIPCServer::AcceptLogDue(uint64_t* last) {
  const uint64_t now = uv_now(&loop_);
  if (*last != 0 && now - *last < kAcceptLogIntervalMs) return false;
  *last = now == 0 ? 1 : now;
  return true;
}

void CZEVIPCServer::OnConnection(uv_stream_t* listener, int status) {
  auto* server = static_cast<CZEVIPCServer*>(listener->data);
  if (status != 0) {
    // Out of descriptors, for instance: what is open keeps being served, and
    // the log is told once a minute rather than for every attempt.
    if (server->AcceptLogDue(&server->last_accept_log_)) {
      LogWrite(kLogError, "Connection establishment failed, error: %d:%s.", status, uv_strerror(status));
    }
    return;
  }
  auto* client = new (std::nothrow) Client();
  if (client == nullptr) {
    LogWrite(kLogError, "Failed to allocate memory for client.");
    LogWrite(kLogError, "Connection establishment failed.");
    return;
  }
  client->server = server;
  int rc = uv_pipe_init(&server->loop_, &client->handle, 0);
  if (rc != 0) {
    LogWrite(kLogError, "uv_pipe_init failed, error: %d:%s", rc, uv_strerror(rc));
    LogWrite(kLogError, "Connection establishment failed.");
    delete client;
    return;
  }
  client->handle.data = client;
  auto* stream = reinterpret_cast<uv_stream_t*>(&client->handle);
  if ((rc = uv_accept(listener, stream)) != 0) {
    LogWrite(kLogError, "uv_accept failed, error: %d:%s", rc, uv_strerror(rc));
    LogWrite(kLogError, "Connection establishment failed.");
    uv_close(reinterpret_cast<uv_handle_t*>(&client->handle), OnClientClosed);
    return;
  }
  client->peer = PeerOf(&client->handle);
  std::string refusal;
  int level = kLogError;
  if (!server->Admit(client->peer, &refusal, &level)) {
    // Taken and closed at once, so that the client learns it and the
    // listener's backlog does not fill.
    if (server->AcceptLogDue(&server->last_accept_log_)) LogWrite(level, "%s", refusal.c_str());
    uv_close(reinterpret_cast<uv_handle_t*>(&client->handle), OnClientClosed);
    return;
  }
  if ((rc = uv_read_start(stream, OnAlloc, OnRead)) != 0) {
    LogWrite(kLogError, "uv_read_start failed, error: %d:%s", rc, uv_strerror(rc));
    LogWrite(kLogError, "Connection establishment failed.");
    uv_close(reinterpret_cast<uv_handle_t*>(&client->handle), OnClientClosed);
    return;
  }
  client->id = server->next_client_id_++;
  client->last_active = uv_now(&server->loop_);
  if (!Privileged(client->peer)) ++server->per_user_[client->peer.known ? client->peer.uid : kUnknownUid];
  MutexLock lock(&server->client_mu_);
  server->clients_[client->id] = client;
}

bool CZEVIPCServer::Admit(const IpcPeer& peer, std::string* why, int* level) {
  const bool privileged = Privileged(peer);
  // Half the descriptors at most, so that socket clients can never take
  // the ones the HTTP endpoint, the log and the hosts need.
  size_t limit = max_clients_;
  struct rlimit descriptors;
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
    limit = std::min<size_t>(limit, static_cast<size_t>(descriptors.rlim_cur / 2));
  }
  if (!privileged) {
    const uid_t uid = peer.known ? peer.uid : kUnknownUid;
    auto held = per_user_.find(uid);
    if (held != per_user_.end() && held->second >= max_clients_per_user_) {
      *why = (peer.known ? "uid " + std::to_string(uid) : std::string("A peer the kernel did not name")) + " holds " +
             std::to_string(held->second) + " connections to the pipe server, its limit; its new ones are refused.";
      *level = kLogWarning;
      return false;
    }
  }
  size_t connected;
  {
    MutexLock lock(&client_mu_);
    connected = clients_.size();
  }
  const size_t room = privileged ? limit : limit - std::min(reserved_clients_, limit / 2);
  if (connected < room) return true;
  Client* idle = connected == room ? OldestIdle(false) : nullptr;
  if (idle == nullptr && privileged && connected == room) idle = OldestIdle(true);
  if (idle == nullptr) {
    *why = "The pipe server has " + std::to_string(connected) + " connections, its limit; new ones are refused.";
    *level = kLogError;
    return false;
  }
  if (AcceptLogDue(&last_idle_close_log_)) {
    LogWrite(kLogWarning, "The pipe server is full (%zu connections): closing the connection idle longest (uid %lld) to make room.",
             connected, idle->peer.known ? static_cast<long long>(idle->peer.uid) : -1LL);
  }
  CloseClient(idle);
  return true;
}

CZEVIPCServer::Client* CZEVIPCServer::OldestIdle(bool privileged) {
  const uint64_t now = uv_now(&loop_);
  Client* oldest = nullptr;
  MutexLock lock(&client_mu_);
  for (auto& [id, client] : clients_) {
    if (Privileged(client->peer) != privileged || client->closing || client->partial_since != 0 ||
        client->in_flight != 0 || client->paused || client->handle.write_queue_size != 0 ||
        now - client->last_active < idle_close_ms_) {
      continue;
    }
    if (oldest == nullptr || client->last_active < oldest->last_active) oldest = client;
  }
  return oldest;
}

void CZEVIPCServer::OnAlloc(uv_handle_t* /*handle*/, size_t suggested, uv_buf_t* buf) {
  buf->base = new (std::nothrow) char[suggested];
  buf->len = buf->base ? suggested : 0;
}

void CZEVIPCServer::OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
  std::unique_ptr<char[]> owned(buf->base);
  auto* client = static_cast<Client*>(stream->data);
  CZEVIPCServer* server = client->server;
  if (nread < 0) {
    server->CloseClient(client);
    return;
  }
  if (nread == 0) {
    LogWrite(kLogInfo, "No data was read from the pipe.");
    return;
  }
  client->buffer.append(buf->base, static_cast<size_t>(nread));
  client->last_active = uv_now(&server->loop_);
  if (client->partial_since == 0) client->partial_since = std::max<uint64_t>(uv_now(&server->loop_), 1);
  size_t offset = 0;
  for (;;) {
    Frame frame;
    size_t consumed = 0;
    FrameStatus status =
        DecodeFrame(client->buffer.data() + offset, client->buffer.size() - offset, &frame, &consumed);
    if (status == FrameStatus::kNeedMore) break;
    if (status == FrameStatus::kBad) {
      LogWrite(kLogError, "Failed to parse the msg from client(%p).", static_cast<void*>(&client->handle));
      server->CloseClient(client);
      return;
    }
    offset += consumed;
    if (server->AnswerQuickly(client, frame)) continue;
    if (server->pool_->Post([server, id = client->id, peer = client->peer, f = std::move(frame)]() mutable {
          server->HandleFrame(id, peer, std::move(f));
        })) {
      ++client->in_flight;
    } else {
      LogWrite(kLogInfo, "An exception occurred while enqueuing a task to the thread pool.");
    }
  }
  client->buffer.erase(0, offset);
  // The clock of a partial frame starts again with each completed one.
  if (client->buffer.empty()) client->partial_since = 0;
  else if (offset > 0) client->partial_since = std::max<uint64_t>(uv_now(&server->loop_), 1);
  server->UpdateReading(client);
}

void CZEVIPCServer::UpdateReading(Client* client) {
  if (client->closing) return;
  auto* stream = reinterpret_cast<uv_stream_t*>(&client->handle);
  const size_t unsent = stream->write_queue_size;
  if (!client->paused && (unsent > max_unsent_bytes_ || client->in_flight > kMaxInFlightFrames)) {
    // A client that sends without reading its replies would otherwise make
    // us hold every reply (and every queued request) in memory.
    uv_read_stop(stream);
    client->paused = true;
  } else if (client->paused && unsent <= max_unsent_bytes_ / 2 && client->in_flight <= kMaxInFlightFrames / 2) {
    if (uv_read_start(stream, OnAlloc, OnRead) == 0) client->paused = false;
  }
}

void CZEVIPCServer::OnSweep(uv_timer_t* timer) {
  auto* server = static_cast<CZEVIPCServer*>(timer->data);
  const uint64_t now = uv_now(&server->loop_);
  std::vector<Client*> expired;
  {
    MutexLock lock(&server->client_mu_);
    for (auto& [id, client] : server->clients_) {
      // A paused client is ours to wait for, not its.
      if (client->partial_since != 0 && !client->paused &&
          now - client->partial_since >= server->partial_frame_timeout_ms_) {
        expired.push_back(client);
      }
    }
  }
  for (Client* client : expired) {
    LogWrite(kLogWarning, "Closing a connection whose frame did not complete within %llu ms.",
             static_cast<unsigned long long>(server->partial_frame_timeout_ms_));
    server->CloseClient(client);
  }
}

void CZEVIPCServer::CloseClient(Client* client) {
  if (client->closing) return;
  client->closing = true;
  {
    MutexLock lock(&client_mu_);
    clients_.erase(client->id);
  }
  if (!Privileged(client->peer)) {
    auto held = per_user_.find(client->peer.known ? client->peer.uid : kUnknownUid);
    if (held != per_user_.end() && --held->second == 0) per_user_.erase(held);
  }
  auto* stream = reinterpret_cast<uv_stream_t*>(&client->handle);
  int rc = uv_read_stop(stream);
  if (rc != 0) LogWrite(kLogError, "uv_read_stop failed, error: %d:%s", rc, uv_strerror(rc));
  auto* request = new uv_shutdown_t;
  request->data = client;
  rc = uv_shutdown(request, stream, OnShutdown);
  if (rc != 0) {
    // Nothing to flush (the peer is gone, or the stream is already shut): close at once.
    if (rc != UV_ENOTCONN) LogWrite(kLogError, "uv_shutdown failed, error: %d:%s", rc, uv_strerror(rc));
    delete request;
    uv_close(reinterpret_cast<uv_handle_t*>(&client->handle), OnClientClosed);
  }
}

void CZEVIPCServer::OnShutdown(uv_shutdown_t* request, int /*status*/) {
  auto* client = static_cast<Client*>(request->data);
  delete request;
  if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(&client->handle))) {
    uv_close(reinterpret_cast<uv_handle_t*>(&client->handle), OnClientClosed);
  }
}

void CZEVIPCServer::OnClientClosed(uv_handle_t* handle) { delete static_cast<Client*>(handle->data); }

bool CZEVIPCServer::AnswerQuickly(Client* client, const Frame& frame) {
  if (!quick_handler_ || frame.header.size() + frame.body.size() > kMaxQuickFrameBytes) return false;
  CZEVIPCRequest request;
  request.setPeer(client->peer);
  request.setExtend(frame.header);
  request.setBody(frame.body);
  CZEVIPCResponse response;
  if (!quick_handler_(request, response)) return false;
  WriteReply(client, EncodeFrame({frame.tag, response.getExtend(), response.getBody()}));
  return true;
}

void CZEVIPCServer::WriteReply(Client* client, std::string bytes) {
  auto* write = new WriteRequest;
  write->bytes = std::move(bytes);
  write->request.data = write;
  uv_buf_t buf = uv_buf_init(&write->bytes[0], static_cast<unsigned>(write->bytes.size()));
  int rc = uv_write(&write->request, reinterpret_cast<uv_stream_t*>(&client->handle), &buf, 1, OnWrite);
  if (rc != 0) {
    LogWrite(kLogInfo, "uv_write failed, error: %d:%s.", rc, uv_strerror(rc));
    delete write;
  }
}

void CZEVIPCServer::HandleFrame(uint64_t client_id, const IpcPeer& peer, Frame frame) {
  if (!handler_) return;
  CZEVIPCRequest request;
  request.setPeer(peer);
  request.setExtend(frame.header);
  request.setBody(frame.body);
  CZEVIPCResponse response;
  handler_(request, response);
  QueueReply(client_id, EncodeFrame({frame.tag, response.getExtend(), response.getBody()}));
}

void CZEVIPCServer::QueueReply(uint64_t client_id, std::string bytes) {
  MutexLock lock(&queue_mu_);
  if (!loop_alive_) return;  // the server stopped: the reply is dropped
  replies_.push_back({client_id, std::move(bytes)});
  uv_async_send(&async_);
}

void CZEVIPCServer::OnAsync(uv_async_t* async) {
  auto* server = static_cast<CZEVIPCServer*>(async->data);
  std::deque<Reply> replies;
  bool stop;
  {
    MutexLock lock(&server->queue_mu_);
    replies.swap(server->replies_);
    stop = server->stop_requested_;
  }
  for (Reply& reply : replies) {
    Client* client = nullptr;
    {
      MutexLock lock(&server->client_mu_);
      auto it = server->clients_.find(reply.client_id);
      if (it != server->clients_.end()) client = it->second;
    }
    if (client == nullptr || client->closing) continue;  // the client left: drop the reply
    if (client->in_flight > 0) --client->in_flight;
    server->WriteReply(client, std::move(reply.bytes));
    server->UpdateReading(client);
  }
  if (stop) server->RunStopOnLoop();
}

void CZEVIPCServer::OnWrite(uv_write_t* request, int status) {
  if (status != 0 && status != UV_ECANCELED) {
    LogWrite(kLogInfo, "uv_write failed, error: %d:%s.", status, uv_strerror(status));
  }
  // A cancelled write belongs to a client being closed, which may be gone.
  if (status == 0) {
    auto* client = static_cast<Client*>(request->handle->data);
    if (client->paused) client->server->UpdateReading(client);
  }
  delete static_cast<WriteRequest*>(request->data);
}

void CZEVIPCServer::RunStopOnLoop() {
  uv_close(reinterpret_cast<uv_handle_t*>(&listener_), nullptr);
  uv_timer_stop(&sweep_);
  uv_close(reinterpret_cast<uv_handle_t*>(&sweep_), nullptr);
  std::map<uint64_t, Client*> clients;
  {
    MutexLock lock(&client_mu_);
    clients = clients_;
  }
  for (auto& [id, client] : clients) {
    LogWrite(kLogInfo, "Close this client connection: %p.", static_cast<void*>(&client->handle));
    // Closed at once rather than shut down: a client that stopped reading
    // would keep a shutdown (and with it the whole stop) waiting forever.
    client->closing = true;
    {
      MutexLock lock(&client_mu_);
      clients_.erase(id);
    }
    uv_read_stop(reinterpret_cast<uv_stream_t*>(&client->handle));
    uv_close(reinterpret_cast<uv_handle_t*>(&client->handle), OnClientClosed);
  }
  per_user_.clear();
  {
    MutexLock lock(&queue_mu_);
    loop_alive_ = false;
    replies_.clear();
  }
  // With every handle closed the loop runs out of work and uv_run returns.
  uv_close(reinterpret_cast<uv_handle_t*>(&async_), nullptr);
}

}  // namespace zev
