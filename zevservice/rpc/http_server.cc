#include "rpc/http_server.h"

#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponseImpl.h>
#include <Poco/Net/HTTPServerSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/String.h>
#include <Poco/Timestamp.h>
#include <Poco/URI.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "base/metrics.h"
#include "platform/paths.h"
#include "platform/ports.h"
#include "platform/text.h"
#include "rpc/call_pipeline.h"

#if defined(__SANITIZE_THREAD__)
// POCO is not built for ThreadSanitizer, so the reference counts of its
// sockets are invisible to it: when the acceptor's copy of a socket is the
// last one left, its release frees the socket after a worker used it, in an
// order the tool cannot see. Such reports name the acceptor's loop.
// libuv closes its descriptors with a raw close syscall, which
// ThreadSanitizer does not see: the number's last use by libuv (taking it
// out of its epoll set) then looks like a race with whoever gets the same
// number next and closes it. Races on descriptor numbers that involve
// epoll_ctl are therefore not reported.
extern "C" const char* __tsan_default_suppressions() {
  return "race:Poco::Net::TCPServer::run\n"
         "race:epoll_ctl$\n";
}
#endif

namespace zev {

using SteadyClock = std::chrono::steady_clock;

// One thread that waits for the earliest deadline of the registered
// connections. It runs only while there is something to wait for: the first
// connection starts it, and it ends once no connection is open and the idle
// call and the log line owed have been made. Shutting a socket down (not closing it) wakes the worker that
// is blocked on it, and the worker then closes the connection itself; the
// descriptor stays valid until the worker has called Remove(), because the
// worker closes it only afterwards.
class HttpConnectionWatch {
 public:
  HttpConnectionWatch() = default;
  ~HttpConnectionWatch() { Stop(); }
  HttpConnectionWatch(const HttpConnectionWatch&) = delete;
  HttpConnectionWatch& operator=(const HttpConnectionWatch&) = delete;

  // Registers a connection under `key`, without a deadline. False, with the
  // socket shut down, once ShutdownAll() has run.
  bool Add(const void* key, const Poco::Net::StreamSocket& socket) {
    MutexLock lock(&mu_);
    if (shutting_down_) {
      ShutDown(socket);
      return false;
    }
    entries_.emplace(key, Entry{socket, SteadyClock::time_point::max()});
    idle_since_ = SteadyClock::time_point::max();
    if (!running_ && !stop_) {
      // The last thread cleared running_ as its final step under mu_; it
      // needs the lock no more, so joining it here cannot block for long.
      if (thread_.joinable()) thread_.join();
      try {
        thread_ = std::thread(&HttpConnectionWatch::Run, this);
        pthread_setname_np(thread_.native_handle(), "zev-http");
        running_ = true;
      } catch (const std::system_error&) {
        // Served without deadlines until a later connection starts the
        // thread.
        LogWrite(kLogWarning, "No thread for the time limits of the HTTP endpoint's connections.");
      }
    }
    return true;
  }

  // After it returns the watch no longer touches the connection's socket.
  void Remove(const void* key) {
    MutexLock lock(&mu_);
    entries_.erase(key);
    if (entries_.empty() && on_idle_) {
      // One wake when the endpoint has had no connection for a while.
      idle_since_ = SteadyClock::now();
      if (idle_since_ + kIdleDelay < next_wake_) {
        next_wake_ = idle_since_ + kIdleDelay;
        cv_.notify_one();
      }
    }
  }

  // Called on the watch's thread once there has been no connection for
  // kIdleDelay after the last one ended. Set before the first Add().
  void SetOnIdle(std::function<void()> on_idle) {
    MutexLock lock(&mu_);
    on_idle_ = std::move(on_idle);
  }
  static constexpr std::chrono::seconds kIdleDelay{10};

  // The connection's socket is shut down at `deadline` unless another
  // deadline replaces this one first; time_point::max() sets none.
  void SetDeadline(const void* key, SteadyClock::time_point deadline) {
    MutexLock lock(&mu_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return;
    it->second.deadline = deadline;
    if (deadline < next_wake_) {
      next_wake_ = deadline;
      cv_.notify_one();
    }
  }
  void ClearDeadline(const void* key) { SetDeadline(key, SteadyClock::time_point::max()); }

  // Shuts down every registered socket; later Add() calls are refused.
  void ShutdownAll() {
    MutexLock lock(&mu_);
    shutting_down_ = true;
    for (const auto& kv : entries_) ShutDown(kv.second.socket);
  }

  // ShutdownAll(), then ends and joins the thread.
  void Stop() {
    ShutdownAll();
    std::thread thread;
    {
      MutexLock lock(&mu_);
      stop_ = true;  // from here on no thread starts
      thread = std::move(thread_);
    }
    cv_.notify_one();
    if (thread.joinable()) thread.join();
  }

 private:
  struct Entry {
    Poco::Net::StreamSocket socket;
    SteadyClock::time_point deadline;
  };

  // Lines about closed connections come at most once a minute, each with the
  // count since the one before, so that a flood of clients cannot flood the
  // log.
  static constexpr std::chrono::seconds kLogInterval{60};

  static void ShutDown(const Poco::Net::StreamSocket& socket) {
    // The POCO call throws for a peer that is already gone; the system call
    // just fails, which is as good.
    if (socket.impl()->initialized()) ::shutdown(socket.impl()->sockfd(), SHUT_RDWR);
  }

  void Run() {
    MutexLock lock(&mu_);
    RunLocked(lock);
    running_ = false;  // the next Add() joins this thread and starts another
  }

  void RunLocked(MutexLock& lock) REQUIRES(mu_) {
    while (!stop_) {
      const SteadyClock::time_point now = SteadyClock::now();
      next_wake_ = SteadyClock::time_point::max();
      for (auto& kv : entries_) {
        Entry& entry = kv.second;
        if (entry.deadline <= now) {
          ShutDown(entry.socket);
          entry.deadline = SteadyClock::time_point::max();
          ++closed_unlogged_;
        } else if (entry.deadline < next_wake_) {
          next_wake_ = entry.deadline;
        }
      }
      if (idle_since_ != SteadyClock::time_point::max()) {
        if (now - idle_since_ >= kIdleDelay) {
          idle_since_ = SteadyClock::time_point::max();
          // Called without the lock; the analysis does not see the release.
          lock.native().unlock();
          on_idle_();
          lock.native().lock();
          continue;
        }
        next_wake_ = std::min(next_wake_, idle_since_ + kIdleDelay);
      }
      if (closed_unlogged_ > 0) {
        if (now - last_log_ >= kLogInterval) {
          LogWrite(kLogWarning, "Closed %ld HTTP connection(s) that overran a time limit of the endpoint.",
                   static_cast<long>(closed_unlogged_));
          closed_unlogged_ = 0;
          last_log_ = now;
        } else {
          next_wake_ = std::min(next_wake_, last_log_ + kLogInterval);
        }
      }
      if (next_wake_ == SteadyClock::time_point::max()) {
        if (entries_.empty()) break;  // nothing left to wait for
        cv_.wait(lock.native());
      } else {
        cv_.wait_until(lock.native(), next_wake_);
      }
    }
  }

  Mutex mu_;
  std::condition_variable cv_;
  std::map<const void*, Entry> entries_ GUARDED_BY(mu_);
  SteadyClock::time_point next_wake_ GUARDED_BY(mu_) = SteadyClock::time_point::max();
  bool shutting_down_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
  int64_t closed_unlogged_ GUARDED_BY(mu_) = 0;
  SteadyClock::time_point last_log_ GUARDED_BY(mu_) = SteadyClock::now() - kLogInterval;
  // When the last connection ended; max() while any is open or once the
  // idle call has run.
  SteadyClock::time_point idle_since_ GUARDED_BY(mu_) = SteadyClock::time_point::max();
  std::function<void()> on_idle_;                            // set before use
  // thread_ runs Run and will look at the entries again before it ends.
  bool running_ GUARDED_BY(mu_) = false;
  // The running thread, or the last one (ended, or ending, once running_ is
  // false; joined when the next starts).
  std::thread thread_ GUARDED_BY(mu_);
};

namespace {

const char kParseFailedText[] = "Failed to parse the request data.";
// The one parse failure the endpoint does not log: a body that is no call
// envelope at all.
const char kCommandDataParseError[] = "[ERROR]:CommandData parse Error";
// A body that the handler left unread is read and dropped up to this size so
// that the connection can serve its next request; past it the connection is
// closed instead.
constexpr std::streamsize kMaxDrainedBody = 1 << 20;
// A body of a known length up to this size is read into a string of that
// size at once.
constexpr int64_t kMaxPresizedBody = 64 << 10;

// Whether `address` (an in_addr or in6_addr of `family`) is a loopback
// address or one of this machine's interfaces'.
bool IsOwnAddress(int family, const void* address) {
  if (family == AF_INET && (ntohl(static_cast<const in_addr*>(address)->s_addr) >> 24) == 127) return true;
  if (family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(static_cast<const in6_addr*>(address))) return true;
  struct ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool own = false;
  for (struct ifaddrs* i = interfaces; i != nullptr && !own; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != family) continue;
    own = family == AF_INET
              ? memcmp(&reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, address, sizeof(in_addr)) == 0
              : memcmp(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, address, sizeof(in6_addr)) == 0;
  }
  freeifaddrs(interfaces);
  return own;
}

// A Host value cut short for a log line.
std::string HostForLog(const std::string& host) {
  constexpr size_t kMaxLogged = 200;
  return host.size() <= kMaxLogged ? host : host.substr(0, Utf8CutLength(host, kMaxLogged)) + "...";
}

// The address as SocketAddress::toString() writes it ("a.b.c.d:port" for
// IPv4), which takes POCO some allocations per call; IPv6 is left to POCO.
std::string AddressText(const Poco::Net::SocketAddress& address) {
  if (address.family() == Poco::Net::SocketAddress::IPv4) {
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address.addr())->sin_addr, text, sizeof(text))) {
      return std::string(text).append(":").append(std::to_string(address.port()));
    }
  }
  return address.toString();
}

Poco::Timespan ToTimespan(std::chrono::milliseconds ms) {
  return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms.count()) * 1000);
}

// POCO's server session, waiting for the next request with poll(2): POCO's
// own wait makes, uses and closes an epoll instance for every request.
class CZEVHttpSession : public Poco::Net::HTTPServerSession {
 public:
  CZEVHttpSession(const Poco::Net::StreamSocket& socket, const Poco::Net::HTTPServerParams::Ptr& params)
      : HTTPServerSession(socket, params),
        keep_alive_timeout_(params->getKeepAliveTimeout()),
        requests_left_(params->getMaxKeepAliveRequests()) {}

  // As hasMoreRequests(): whether a request begins within the time allowed
  // for the first one, or for the next on a kept-alive connection.
  bool HasMoreRequests() {
    if (!socket().impl()->initialized()) return false;
    if (first_) {
      first_ = false;
      --requests_left_;
      return Readable(getTimeout());
    }
    if (requests_left_ == 0 || !getKeepAlive()) return false;
    if (requests_left_ > 0) --requests_left_;  // below 0: no limit
    return buffered() > 0 || Readable(keep_alive_timeout_);
  }
  // As canKeepAlive(), whose count only hasMoreRequests() keeps.
  bool CanKeepAlive() const { return requests_left_ != 0; }

  // Sends `data` whole, as the session's own streams do: a failure is kept
  // as the session's network exception and thrown.
  void SendAll(const char* data, size_t size) {
    while (size > 0) {
      const int sent = write(data, static_cast<std::streamsize>(std::min<size_t>(size, INT_MAX)));
      if (sent <= 0) break;
      data += sent;
      size -= static_cast<size_t>(sent);
    }
  }

 private:
  // Whether the socket has bytes (or an end or error) within `timeout`.
  bool Readable(const Poco::Timespan& timeout) {
    pollfd fd = {socket().impl()->sockfd(), POLLIN, 0};
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::microseconds(timeout.totalMicroseconds());
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
      const int rc = ::poll(&fd, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
      if (rc >= 0) return rc > 0;
      if (errno != EINTR) return false;
    }
  }

  const Poco::Timespan keep_alive_timeout_;
  int requests_left_;  // of the connection; below 0: no limit
  bool first_ = true;
};

// A request whose body arrives under the connection's body time limit. The
// handler calls BodyRead() once the body is in, so that the method it calls
// runs without a limit.
class CZEVTimedRequest : public Poco::Net::HTTPServerRequestImpl {
 public:
  // Reads the request line and header fields; throws as the base does.
  CZEVTimedRequest(Poco::Net::HTTPServerResponseImpl& response, CZEVHttpSession& session,
                   Poco::Net::HTTPServerParams* params, HttpConnectionWatch* watch, const void* key)
      : HTTPServerRequestImpl(response, session, params), session_(session), watch_(watch), key_(key) {}

  void BodyRead() { watch_->ClearDeadline(key_); }

  // Sends `response` with `body` in one piece when it has a content length
  // and a body to send, as POCO's send() would frame it. False, with
  // nothing sent, for other responses.
  bool SendWhole(Poco::Net::HTTPServerResponse& response, const std::string& body) {
    const int status = response.getStatus();
    if (getMethod() == Poco::Net::HTTPRequest::HTTP_HEAD || status < 200 ||
        status == Poco::Net::HTTPResponse::HTTP_NO_CONTENT || status == Poco::Net::HTTPResponse::HTTP_NOT_MODIFIED ||
        response.getChunkedTransferEncoding() || !response.hasContentLength()) {
      return false;
    }
    // The status line and header fields as HTTPResponse::write() puts them.
    const std::string status_text = std::to_string(status);
    std::string message;
    size_t head_size = response.getVersion().size() + status_text.size() + response.getReason().size() + 6;
    for (const auto& field : response) head_size += field.first.size() + field.second.size() + 4;
    // A long body follows in a send of its own rather than being copied.
    const bool joined = body.size() <= kMaxJoinedBody;
    message.reserve(head_size + (joined ? body.size() : 0));
    message.append(response.getVersion()).append(" ").append(status_text).append(" ");
    message.append(response.getReason()).append("\r\n");
    for (const auto& field : response) message.append(field.first).append(": ").append(field.second).append("\r\n");
    message.append("\r\n");
    if (joined) message.append(body);
    answered_ = true;
    try {
      session_.SendAll(message.data(), message.size());
      if (!joined) session_.SendAll(body.data(), body.size());
    } catch (const Poco::Exception&) {
      // As with POCO's streams: the session keeps the failure, and the
      // connection ends when it next reads.
    }
    return true;
  }
  // Whether SendWhole() sent the response.
  bool answered() const { return answered_; }

 private:
  static constexpr size_t kMaxJoinedBody = 64 << 10;

  CZEVHttpSession& session_;
  HttpConnectionWatch* const watch_;
  const void* const key_;
  bool answered_ = false;
};

class CZEVRequestInfoImp : public IZEVRequestInfo {
 public:
  explicit CZEVRequestInfoImp(Poco::Net::HTTPServerRequest& request) : request_(request) {}

  int64_t getContentLength() override { return request_.getContentLength64(); }

  const std::string& getBody(bool* too_large) override {
    if (!body_read_) {
      body_read_ = true;
      // A request with neither a length nor chunked framing has no body
      // (RFC 9112, 6.3); reading one would wait for the client to close.
      if (request_.getChunkedTransferEncoding() || request_.hasContentLength()) ReadBody();
      if (auto* timed = dynamic_cast<CZEVTimedRequest*>(&request_)) timed->BodyRead();
    }
    if (too_large) *too_large = body_too_large_;
    return body_;
  }

  std::string getScheme() override { return Uri() != nullptr ? Uri()->getScheme() : std::string(); }

  bool getQueryParameters(std::map<std::string, std::string>& parameters) override {
    const Poco::URI* uri = Uri();
    if (uri == nullptr || uri->getPath().empty()) return false;
    try {
      Poco::URI::QueryParameters query = uri->getQueryParameters();
      if (query.empty()) return false;
      for (auto& kv : query) parameters[kv.first] = std::move(kv.second);
      return true;
    } catch (const Poco::Exception&) {
      return false;  // a malformed query has no usable parameters
    }
  }

  std::string getMethod() override { return request_.getMethod(); }
  std::string getURI() override { return request_.getURI(); }
  std::string getHost() override { return request_.getHost(); }
  std::string getContentType() override { return request_.getContentType(); }

  std::string getPath() override { return Uri() != nullptr ? Uri()->getPath() : request_.getURI(); }

  std::istream& getStream() override { return request_.stream(); }
  std::string getTransferEncoding() override { return request_.getTransferEncoding(); }
  std::string getHeader(const std::string& name, const std::string& default_value) override {
    return request_.get(name, default_value);
  }
  bool hasHeader(const std::string& name) override { return request_.has(name); }
  Poco::Net::SocketAddress getClientAddress() override { return request_.clientAddress(); }
  Poco::Net::SocketAddress getServerAddress() override { return request_.serverAddress(); }

  bool body_too_large() const { return body_too_large_; }

 private:
  void ReadBody() {
    std::istream& in = request_.stream();
    if (!request_.getChunkedTransferEncoding()) {
      // A short body of known length goes straight into its string; a
      // longer one grows as it arrives, so that a length alone reserves no
      // memory.
      const int64_t length = request_.getContentLength64();
      if (length >= 0 && length <= kMaxPresizedBody) {
        body_.resize(static_cast<size_t>(length));
        in.read(&body_[0], static_cast<std::streamsize>(length));
        body_.resize(static_cast<size_t>(in.gcount()));
        return;
      }
    }
    char buf[8192];
    while (in) {
      in.read(buf, sizeof(buf));
      std::streamsize n = in.gcount();
      if (n <= 0) break;
      if (body_.size() + static_cast<size_t>(n) > kMaxRequestBody) {
        body_too_large_ = true;
        body_.clear();
        break;
      }
      body_.append(buf, static_cast<size_t>(n));
    }
  }

  // The request's URI, parsed once; null when it is malformed.
  const Poco::URI* Uri() {
    if (!uri_parsed_) {
      uri_parsed_ = true;
      try {
        uri_.emplace(request_.getURI());
      } catch (const Poco::Exception&) {
        uri_.reset();
      }
    }
    return uri_ ? &*uri_ : nullptr;
  }

  Poco::Net::HTTPServerRequest& request_;  // not owned
  bool uri_parsed_ = false;
  std::optional<Poco::URI> uri_;
  bool body_read_ = false;
  bool body_too_large_ = false;
  std::string body_;
};

class CResponseInfoImp : public IZEVResponseInfo {
 public:
  // `request` (null: a request of another kind) is the response's own.
  CResponseInfoImp(Poco::Net::HTTPServerResponse& response, CZEVTimedRequest* request)
      : response_(response), request_(request) {}

  void addHeader(const std::string& name, const std::string& value) override { response_.add(name, value); }
  void setHeader(const std::string& name, const std::string& value) override { response_.set(name, value); }
  void setTransferEncoding(const std::string& encoding) override { response_.setTransferEncoding(encoding); }
  void setContentType(const std::string& type) override { response_.setContentType(type); }
  void setStatus(int status) override {
    response_.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status));
  }

  bool sendBody(const std::string& body) override {
    // A content length (or chunked framing) keeps the connection open for
    // the client's next call.
    if (!response_.getChunkedTransferEncoding()) response_.setContentLength64(static_cast<int64_t>(body.size()));
    if (request_ != nullptr && request_->SendWhole(response_, body)) {
      sent_ = true;
      return true;
    }
    std::ostream& out = response_.send();
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    out.flush();
    sent_ = true;
    return true;
  }

  bool sent() const { return sent_; }

 private:
  Poco::Net::HTTPServerResponse& response_;  // not owned
  CZEVTimedRequest* const request_;          // not owned
  bool sent_ = false;
};

// The status with which a request whose header fields are read must be
// refused before anything else happens, or 0. A request whose length two
// parties could read differently (RFC 9112, 5.1, 6.1 and 6.3) is refused: a
// proxy in front of the endpoint may have framed it by the other reading.
int FramingFault(const Poco::Net::HTTPRequest& request) {
  int lengths = 0;
  int encodings = 0;
  std::string length;
  std::string encoding;
  for (const auto& field : request) {
    // POCO keeps white space before the colon in the name, where another
    // party may drop it and see "Content-Length".
    if (field.first.empty() || field.first.find_first_of(" \t") != std::string::npos) {
      return Poco::Net::HTTPResponse::HTTP_BAD_REQUEST;
    }
    if (Poco::icompare(field.first, Poco::Net::HTTPMessage::CONTENT_LENGTH) == 0) {
      ++lengths;
      length = Poco::trim(field.second);
    } else if (Poco::icompare(field.first, Poco::Net::HTTPMessage::TRANSFER_ENCODING) == 0) {
      ++encodings;
      encoding = Poco::trim(field.second);
    }
  }
  if (encodings > 0) {
    if (lengths > 0 || encodings > 1) return Poco::Net::HTTPResponse::HTTP_BAD_REQUEST;
    if (request.getVersion() == Poco::Net::HTTPMessage::HTTP_1_0) return Poco::Net::HTTPResponse::HTTP_BAD_REQUEST;
    if (Poco::icompare(encoding, Poco::Net::HTTPMessage::CHUNKED_TRANSFER_ENCODING) != 0) {
      return Poco::Net::HTTPResponse::HTTP_NOT_IMPLEMENTED;  // a coding the endpoint cannot undo
    }
    return 0;
  }
  if (lengths > 1) return Poco::Net::HTTPResponse::HTTP_BAD_REQUEST;
  if (lengths == 1) {
    // 1*DIGIT, and small enough for a 64-bit count.
    if (length.empty() || length.size() > 18) return Poco::Net::HTTPResponse::HTTP_BAD_REQUEST;
    for (char c : length) {
      if (c < '0' || c > '9') return Poco::Net::HTTPResponse::HTTP_BAD_REQUEST;
    }
  }
  return 0;
}

// One connection, served on one worker from accept to close: the request
// loop of POCO's own HTTP server connection, with the framing checks and the
// time limits of the endpoint around it.
class CZEVHttpConnection : public Poco::Net::TCPServerConnection {
 public:
  // `watch` (not owned) outlives every connection.
  CZEVHttpConnection(const Poco::Net::StreamSocket& socket, const HttpServerLimits& limits,
                     Poco::Net::HTTPServerParams::Ptr params, Poco::Net::HTTPRequestHandlerFactory::Ptr handlers,
                     HttpConnectionWatch* watch)
      : TCPServerConnection(socket), limits_(limits), params_(params), handlers_(handlers), watch_(watch) {}

  void run() override {
    // An answer to a client that has gone raises SIGPIPE, which would end
    // the process; the failed write is handled instead. POCO blocks the
    // signal in the main thread as it loads, but a worker inherits the mask
    // of whichever thread started the server. The worker belongs to the
    // endpoint's own pool, so its mask is ours to set.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    try {
      CZEVHttpSession session(socket(), params_);
      // The session waits idle_limit for the first request (its timeout);
      // single reads and writes get io_limit.
      session.socket().setReceiveTimeout(ToTimespan(limits_.io_limit));
      session.socket().setSendTimeout(ToTimespan(limits_.io_limit));
      if (!watch_->Add(this, session.socket())) return;
      // Declared after the session, so the watch lets go of the socket before
      // the session closes it.
      struct Unwatch {
        ~Unwatch() { watch->Remove(key); }
        HttpConnectionWatch* watch;
        const void* key;
      } unwatch{watch_, this};
      while (session.HasMoreRequests()) {
        if (!ServeOne(session)) break;
      }
    } catch (const Poco::Exception&) {
      // A connection that failed or was cut off has nothing more to say.
    } catch (const std::exception&) {
    }
  }

 private:
  // Serves one request. False when the connection is to close.
  bool ServeOne(CZEVHttpSession& session) {
    watch_->SetDeadline(this, SteadyClock::now() + limits_.head_limit);
    Poco::Net::HTTPServerResponseImpl response(session);
    std::unique_ptr<CZEVTimedRequest> request;
    try {
      request = std::make_unique<CZEVTimedRequest>(response, session, params_.get(), watch_, this);
    } catch (const Poco::Net::NoMessageException&) {
      return false;  // closed by the client, or by the watch before a byte came
    } catch (const Poco::Exception&) {
      // Malformed header fields, or a Content-Length that is no number;
      // a failed read has nobody to answer.
      if (session.networkException() == nullptr) Refuse(session, Poco::Net::HTTPResponse::HTTP_BAD_REQUEST);
      return false;
    }
    watch_->SetDeadline(this, SteadyClock::now() + limits_.body_limit);
    if (int status = FramingFault(*request)) {
      Refuse(session, static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status));
      return false;
    }

    response.setDate(Poco::Timestamp());
    response.setVersion(request->getVersion());
    response.setKeepAlive(params_->getKeepAlive() && request->getKeepAlive() && session.CanKeepAlive());
    std::unique_ptr<Poco::Net::HTTPRequestHandler> handler(handlers_->createRequestHandler(*request));
    if (request->getExpectContinue() && response.getStatus() == Poco::Net::HTTPResponse::HTTP_OK) {
      response.sendContinue();
    }
    handler->handleRequest(*request, response);
    if (!response.sent() && !request->answered()) {
      response.setKeepAlive(false);
      response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
      response.setContentLength(0);
      response.send().flush();
    }
    bool keep_alive = params_->getKeepAlive() && response.getKeepAlive() && session.CanKeepAlive();
    if (keep_alive) {
      watch_->SetDeadline(this, SteadyClock::now() + limits_.body_limit);
      keep_alive = DrainBody(*request);
    }
    watch_->ClearDeadline(this);
    session.setKeepAlive(keep_alive);
    return keep_alive;
  }

  // Reads what the handler left of the body, so that the next request
  // starts right after it. False when the rest is too long or unreadable.
  static bool DrainBody(Poco::Net::HTTPServerRequest& request) {
    // Without either there is no body; the stream POCO made would read up to
    // the client's close.
    if (!request.getChunkedTransferEncoding() && !request.hasContentLength()) return true;
    std::istream& in = request.stream();
    char buf[8192];
    std::streamsize drained = 0;
    while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
      drained += in.gcount();
      if (drained > kMaxDrainedBody) return false;
    }
    return in.eof() && !in.bad();
  }

  // Answers `status` with its reason as the body and ends the connection.
  void Refuse(Poco::Net::HTTPServerSession& session, Poco::Net::HTTPResponse::HTTPStatus status) {
    session.setKeepAlive(false);
    try {
      Poco::Net::HTTPServerResponseImpl response(session);
      response.setVersion(Poco::Net::HTTPMessage::HTTP_1_1);
      response.setStatusAndReason(status);
      response.setKeepAlive(false);
      response.setContentType("text/plain");
      const std::string body = response.getReason();
      response.setContentLength64(static_cast<int64_t>(body.size()));
      response.send() << body << std::flush;
      // The rest of the request may still be arriving: closing with unread
      // bytes would reset the connection and could take the answer with it
      // before the client reads it. So the client gets an end of stream and a
      // little time to see it; what it sends meanwhile is dropped.
      session.socket().shutdownSend();
      session.socket().setReceiveTimeout(Poco::Timespan(0, 200000));
      char buf[4096];
      int reads = 0;
      while (reads++ < 16 && session.socket().receiveBytes(buf, sizeof(buf)) > 0) continue;
    } catch (const Poco::Exception&) {
      // The client is gone or silent; the connection ends all the same.
    }
  }

  const HttpServerLimits limits_;
  Poco::Net::HTTPServerParams::Ptr params_;  // shared by every connection; read only
  Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
  HttpConnectionWatch* const watch_;
};

class CZEVHttpConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
 public:
  // `watch` (not owned) must outlive every connection made.
  CZEVHttpConnectionFactory(const HttpServerLimits& limits, Poco::Net::HTTPServerParams::Ptr params,
                            Poco::Net::HTTPRequestHandlerFactory::Ptr handlers, HttpConnectionWatch* watch)
      : limits_(limits), params_(params), handlers_(handlers), watch_(watch) {}

  Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override {
    return new CZEVHttpConnection(socket, limits_, params_, handlers_, watch_);
  }

 private:
  const HttpServerLimits limits_;
  Poco::Net::HTTPServerParams::Ptr params_;  // shared by every connection; read only
  Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
  HttpConnectionWatch* const watch_;
};

}  // namespace

bool HostNamesEndpoint(const std::string& host_field, uint16_t port) {
  const std::string host = Poco::toLower(Poco::trim(host_field));
  std::string name;
  size_t port_at = std::string::npos;
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return false;
    name = host.substr(1, close - 1);
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return false;
      port_at = close + 2;
    }
  } else {
    const size_t colon = host.find(':');
    name = host.substr(0, colon);
    if (colon != std::string::npos) port_at = colon + 1;
  }
  if (port_at != std::string::npos) {
    const std::string digits = host.substr(port_at);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(digits) != port) {
      return false;
    }
  }
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  if (name == "localhost") return true;
  in_addr v4;
  in6_addr v6;
  if (host[0] != '[' && inet_pton(AF_INET, name.c_str(), &v4) == 1) return IsOwnAddress(AF_INET, &v4);
  if (host[0] == '[') return inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IsOwnAddress(AF_INET6, &v6);
  char own[HOST_NAME_MAX + 1] = {};
  if (gethostname(own, sizeof(own) - 1) != 0 || own[0] == '\0') return false;
  const std::string machine = Poco::toLower(std::string(own));
  return name == machine || name == machine.substr(0, machine.find('.'));
}

int32_t CZEVServiceHttpProcessorImpl::process(IZEVRequestInfo& request, IZEVResponseInfo& response) {
  response.addHeader("Access-Control-Allow-Methods", "GET, POST, OPTIONS, PUT, DELETE");
  response.addHeader("Access-Control-Expose-Headers", "exr,x-requested-with,content-type");
  response.addHeader("Access-Control-Allow-Credentials", "true");
  response.addHeader("Access-Control-Allow-Headers",
                     "Authorization,Content-Type,Accept,Origin,User-Agent,DNT,Cache-Control,X-Mx-ReqToken,"
                     "X-Data-Type,X-Requested-With,X-Data-Type,X-Auth-Token");
  response.setContentType("text/plain");
  response.setTransferEncoding(request.getTransferEncoding());
  LogWrite(kLogInfo, "get rpc request");

  bool too_large = false;
  const std::string& body = request.getBody(&too_large);
  std::map<std::string, std::string> parameters;
  request.getQueryParameters(parameters);
  auto key = parameters.find("key");
  CallReply reply;
  if (too_large || key == parameters.end()) {
    reply = RejectCall(kParseFailedText);
  } else {
    RpcCaller caller;
    caller.via = RpcCaller::Via::kHttp;
    const Poco::Net::SocketAddress client = request.getClientAddress();
    const Poco::Net::SocketAddress server = request.getServerAddress();
    caller.peer = AddressText(client);
    // Asked of the kernel only when a method wants to know.
    caller.find_uid = [client, server]() -> std::optional<uid_t> {
      uid_t uid;
      if (LoopbackPeerUid(client.addr(), server.addr(), &uid)) return uid;
      return std::nullopt;
    };
    if (request.hasHeader("Origin")) {
      caller.from_web_page = true;
      caller.origin = HostForLog(request.getHeader("Origin", ""));
    }
    CallHooks hooks;
    hooks.caller = &caller;
    hooks.rejection_message = [](CallFailure, const std::string&) { return std::string(kParseFailedText); };
    hooks.on_failure = [](CallFailure failure, const std::string& text) {
      if (failure == CallFailure::kParse && text != kCommandDataParseError) LogWrite(kLogError, "%s", text.c_str());
      if (failure == CallFailure::kExecute) LogWrite(kLogError, "[ERROR]:Catch ecExecuteException");
      if (failure == CallFailure::kUnknown) LogWrite(kLogError, "[ERROR]:Catch ecUnknownError");
    };
    reply = ProcessSealedCall(*methods_, body, key->second, hooks);
  }
  response.addHeader("exr", reply.exr ? "1" : "0");
  response.addHeader("etag", reply.etag);
  response.sendBody(reply.body);
  LogWrite(kLogInfo, "finised rpc request");
  return 200;
}

void CZEVHttpRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                          Poco::Net::HTTPServerResponse& response) {
  CZEVRequestInfoImp request_info(request);
  CResponseInfoImp response_info(response, dynamic_cast<CZEVTimedRequest*>(&request));
  try {
    std::string path = request_info.getPath();
    auto it = paths_.find(path);
    // Browsers always send Host; a page whose name was pointed at this
    // machine sends its own name there. Clients that send none are no page.
    if (request.has(Poco::Net::HTTPRequest::HOST) &&
        !HostNamesEndpoint(request.getHost(), request.serverAddress().port())) {
      LogWrite(kLogWarning, "Refused a request from %s for Host \"%s\": it does not name this endpoint.",
               request.clientAddress().toString().c_str(), HostForLog(request.getHost()).c_str());
      response_info.setStatus(Poco::Net::HTTPResponse::HTTP_MISDIRECTED_REQUEST);
      response_info.setContentType("text/plain");
      response_info.sendBody("Misdirected Request");
    } else if (it != paths_.end()) {
      it->second->process(request_info, response_info);
    } else if (path == "/metrics") {
      // What the service is doing is for this machine's eyes only.
      if (IsLoopbackAddress(request.clientAddress().addr())) {
        response_info.setContentType(kMetricsContentType);
        response_info.sendBody(RenderMetrics(Metrics()));
      } else {
        response_info.setStatus(Poco::Net::HTTPResponse::HTTP_FORBIDDEN);
        response_info.setContentType("text/plain");
        response_info.sendBody("Forbidden");
      }
    } else if (path == "/") {
      response_info.sendBody("It is working.");
    } else {
      response_info.setStatus(404);
      response_info.setContentType("text/plain");
      response_info.sendBody("Find path error: " + path);
    }
    // An unread rest of an oversized body would be taken as the next request.
    if (request_info.body_too_large()) response.setKeepAlive(false);
  } catch (const std::exception& e) {
    LogWrite(kLogError, "http request failed: %s", e.what());
    if (!response_info.sent()) {
      try {
        response.setKeepAlive(false);
        response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
        response.setContentLength(0);
        response.send().flush();
      } catch (const std::exception&) {
        // The connection failed; it is closed after this request.
      }
    }
  }
}

Poco::Net::HTTPRequestHandler* CZEVHttpRequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& /*request*/) {
  return new CZEVHttpRequestHandler(paths_);
}

CZEVHttpServerApplication::CZEVHttpServerApplication(HttpServerLimits limits) : limits_(limits) {}

CZEVHttpServerApplication::~CZEVHttpServerApplication() { stopServer(); }

bool CZEVHttpServerApplication::addProcessor(const std::string& path, IZEVEventProcessor* processor) {
  if (path.empty() || processor == nullptr) return false;
  MutexLock lock(&mu_);
  paths_[path] = processor;
  return true;
}

void CZEVHttpServerApplication::stopServer() {
  std::unique_ptr<Poco::ThreadPool> pool;
  std::unique_ptr<HttpConnectionWatch> watch;
  std::unique_ptr<Poco::Net::TCPServer> server;
  {
    MutexLock lock(&mu_);
    pool.swap(pool_);
    watch.swap(watch_);
    server.swap(server_);
  }
  if (!server) return;
  // Order matters: no new connection may arrive once the open ones are being
  // cut off, and the pool's threads are joined only after the last
  // connection on them has ended. The server's thread looks at its stop
  // flag only between polls of a quarter second; shutting the listening
  // socket down wakes that poll at once (accept then fails until the flag
  // is seen, a few instructions later).
  ::shutdown(server->socket().impl()->sockfd(), SHUT_RDWR);
  server->stop();
  watch->ShutdownAll();
  pool->joinAll();
  server.reset();
  watch.reset();
  pool.reset();  // joins the pool's threads themselves
}

int CZEVHttpServerApplication::run(const std::vector<std::string>& args) {
  return main(args.empty() ? args : std::vector<std::string>(args.begin() + 1, args.end()));
}

namespace {

// Gives the calling thread another name while it lives, and the old one back.
class ThreadNameForChildren {
 public:
  explicit ThreadNameForChildren(const char* name) {
    if (pthread_getname_np(pthread_self(), old_, sizeof(old_)) != 0) old_[0] = '\0';
    pthread_setname_np(pthread_self(), name);
  }
  ~ThreadNameForChildren() {
    if (old_[0] != '\0') pthread_setname_np(pthread_self(), old_);
  }

 private:
  char old_[16];
};

}  // namespace

int CZEVHttpServerApplication::main(const std::vector<std::string>& args) {
  int port = args.size() > 1 ? atoi(args[1].c_str()) : 0;
  try {
    MutexLock lock(&mu_);
    Poco::Net::SocketAddress address(args.empty() ? std::string() : args[0], static_cast<Poco::UInt16>(port));
    // Bound without SO_REUSEPORT, which POCO's address constructor sets: with
    // it a second process of the same user could bind this port too and the
    // kernel would hand it part of our connections.
    Poco::Net::ServerSocket socket;
    socket.bind(address, true, false);
    socket.listen(128);
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams();
    params->setMaxThreads(limits_.max_workers);
    params->setMaxQueued(limits_.max_queued);
    // POCO's dispatcher (1.11) can miss the wake-up of its stop for a worker
    // that is just going back to wait for a connection; that worker ends only
    // when its idle time runs out. A short idle time keeps stopServer() from
    // waiting long for it. Idle workers return to the pool, which keeps their
    // threads, so a short idle time costs little under load.
    params->setThreadIdleTime(Poco::Timespan(0, 200000));
    params->setTimeout(ToTimespan(limits_.idle_limit));
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(ToTimespan(limits_.idle_limit));
    params->setMaxKeepAliveRequests(0);  // any number of requests per connection
    // Declared in the order of their lifetimes: on a failure below they end
    // in reverse, the server first and its pool last.
    // The endpoint's threads take their name from the thread that makes
    // them: its own name for a moment, so that they all read "zev-http".
    ThreadNameForChildren children_name("zev-http");
    // When the endpoint has had no connection for a while, workers idle for
    // 2 s are let go and the memory the calls freed is handed back, so that
    // a burst of clients leaves neither threads nor heap behind.
    auto pool = std::make_unique<Poco::ThreadPool>(1, limits_.max_workers, 2);
    auto watch = std::make_unique<HttpConnectionWatch>();
    Poco::ThreadPool* workers = pool.get();
    watch->SetOnIdle([workers] {
      workers->collect();
      malloc_trim(0);
    });
    Poco::Net::HTTPRequestHandlerFactory::Ptr handlers = new CZEVHttpRequestHandlerFactory(paths_);
    auto server = std::make_unique<Poco::Net::TCPServer>(
        new CZEVHttpConnectionFactory(limits_, params, handlers, watch.get()), *pool, socket, params);
    server->start();
    pool_ = std::move(pool);
    watch_ = std::move(watch);
    server_ = std::move(server);
  } catch (const std::exception&) {
    LogWrite(kLogError, "Bind port(%d) error.", port);
    return 64;
  }
  LogWrite(kLogInfo, "Bind port(%d) OK.", port);
  return 0;
}

CZEVHttpServer::CZEVHttpServer(const CZEVMethodRegistry* methods, zev::HttpServerLimits limits)
    : limits_(limits), processor_(methods) {}

CZEVHttpServer::~CZEVHttpServer() {
  MutexLock lock(&mu_);
  application_.reset();
}

bool CZEVHttpServer::start() {
  MutexLock lock(&mu_);
  if (ip_.empty() || port_ == 0) {
    LogWrite(kLogError, "The ip or port is NULL: %s:%d.", ip_.c_str(), port_);
    return false;
  }
  int32_t before = users_.fetch_add(1);
  if (before > 0) {
    LogWrite(kLogInfo, "The http server: %s:%d has been started(%d).", ip_.c_str(), port_, before + 1);
    return true;
  }
  LogWrite(kLogInfo, "Start http server: %s", ip_.c_str());
  // The application is made for each listening period.
  application_.reset();
  application_ = std::make_unique<zev::CZEVHttpServerApplication>(limits_);
  application_->addProcessor("/rpc", &processor_);
  int rc;
  try {
    rc = application_->run({GetModulePath(), ip_, std::to_string(port_)});
  } catch (const std::exception&) {
    LogWrite(kLogError, "Bind port(%d) error.", port_);
    rc = 64;
  }
  if (rc != 0) {
    // Nothing listens: report the failure instead of counting a user.
    users_.fetch_sub(1);
    application_.reset();
    return false;
  }
  return true;
}

bool CZEVHttpServer::stop() {
  MutexLock lock(&mu_);
  int32_t after = users_.fetch_sub(1) - 1;
  if (after > 0) {
    LogWrite(kLogInfo, "There are %d component(s) using this server: %s:%d, and it can't be stopped now.", after,
             ip_.c_str(), port_);
    return true;
  }
  LogWrite(kLogInfo, "There are no components using this server: %s:%d, stop it.", ip_.c_str(), port_);
  if (application_) application_->stopServer();
  application_.reset();
  users_.store(0);
  return true;
}

}  // namespace zev
