// A small HTTP/1.1 client over one TCP connection, for the service's
// clients (zevctl, the tests, the benchmarks) and, with a TLS layer, for the
// service's own requests (server/http_poster.h): a request with a body of
// known length; a response whose body has a Content-Length, is chunked, or
// ends with the connection. The connection stays open for the next request
// unless either side asks to close it.
#ifndef ZEV_CONTRACT_HTTP_CLIENT_H_
#define ZEV_CONTRACT_HTTP_CLIENT_H_

#include <cstddef>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zev {

// Largest response body read, and largest head; a larger one fails.
constexpr size_t kMaxHttpResponseBody = 256u << 20;
constexpr size_t kMaxHttpResponseHead = 64u << 10;

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  int status = 0;
  HttpHeaders headers;  // in the order received
  std::string body;
  // The value of the first header called `name` (in any case); "" for none.
  std::string Header(const std::string& name) const;
};

// A layer over the connected socket that the client reads and writes
// through (TLS); without one, the socket itself. Open is called on every new
// connection, Close before its socket is closed.
class HttpStreamLayer {
 public:
  virtual ~HttpStreamLayer() = default;
  // `fd` is connected and non-blocking; the layer's opening (a handshake)
  // must end by `deadline` (MonotonicMillis, -1: none).
  virtual bool Open(int fd, int64_t deadline, std::string* error) = 0;
  // As read(2) and send(2) on the non-blocking socket: the bytes moved, 0 at
  // the end of the stream (Read), or -1 with errno set; EAGAIN with
  // *wait_events the poll(2) events to wait for before trying again.
  virtual ssize_t Read(char* buffer, size_t size, short* wait_events) = 0;
  virtual ssize_t Write(const char* data, size_t size, short* wait_events) = 0;
  virtual void Close() = 0;
  // After Read returned 0: whether the peer announced the end (TLS
  // close_notify) rather than only closing the socket, which anyone on the
  // path can do. A body that ends with the connection is taken only then.
  virtual bool EndAnnounced() const { return true; }
};

// Limits besides the one of each request (Request's limit_ms).
struct HttpClientLimits {
  int connect_ms = -1;  // resolving, connecting and the layer's opening
  int idle_ms = -1;     // a wait for the socket this long ends the request
  // libcurl's low-speed rule: a request that moves fewer than one byte a
  // second over this long ends (-1: none). With the cap on heads and
  // trailers, no server keeps a request going for ever by trickling.
  int low_speed_ms = -1;
  size_t max_body = kMaxHttpResponseBody;
};

class HttpClient {
 public:
  // To `host` (a name or an address) on `port`; connects at the first
  // request.
  HttpClient(std::string host, int port);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Sends `method` `target` with `headers` ("Host", unless they have one,
  // and, for a body or a method other than GET, "Content-Length" are added) and `body`, and reads
  // the response into *response, all within `limit_ms` (-1: no limit),
  // connecting included. A kept connection that the server closed before
  // answering is replaced once. False, with the reason in *error and the
  // connection closed, on any failure.
  bool Request(const std::string& method, const std::string& target, const HttpHeaders& headers,
               const std::string& body, int limit_ms, HttpResponse* response, std::string* error);

  void Close();
  bool connected() const { return fd_ >= 0; }

  // For the connections and requests that follow.
  void set_layer(std::unique_ptr<HttpStreamLayer> layer) {
    Close();
    layer_ = std::move(layer);
  }
  void set_limits(const HttpClientLimits& limits) { limits_ = limits; }

 private:
  enum class Outcome { kOk, kFailed, kClosedUnanswered };
  Outcome Exchange(const std::string& request_head, const std::string& body, bool close_after, int64_t deadline,
                   HttpResponse* response, std::string* error);
  bool Connect(int64_t deadline, std::string* error);
  bool SendAll(const std::string& head, const std::string& body, int64_t deadline, std::string* error);
  // Reads more bytes into pending_; false at the end of the stream or on a
  // failure (*error set; "" at a clean end).
  bool ReadMore(int64_t deadline, std::string* error);
  bool ReadHead(int64_t deadline, HttpResponse* response, bool* keep_alive, std::string* error);
  bool ReadBody(const HttpResponse& head, int64_t deadline, std::string* body, bool* keep_alive, std::string* error);
  bool ReadChunked(int64_t deadline, std::string* body, std::string* error);
  bool TakeLine(int64_t deadline, std::string* line, std::string* error);
  // Polls `fd_` for `events` until `deadline` or the idle limit; *error set
  // when it returns false.
  bool Await(short events, int64_t deadline, const char* what, std::string* error);

  const std::string host_;
  const int port_;
  int fd_ = -1;
  std::unique_ptr<HttpStreamLayer> layer_;
  HttpClientLimits limits_;
  std::string pending_;  // bytes read beyond what was taken
  int limit_ms_ = -1;    // of the request under way, for its messages
  // Of the exchange under way: whether a byte of the answer arrived, and
  // whether the server closed (or reset) the connection.
  bool received_ = false;
  bool peer_closed_ = false;
  // Of the exchange under way: the bytes of its heads (interim ones
  // included) and trailer, held to kMaxHttpResponseHead together; and the
  // low-speed rule's current stretch, its start and the bytes moved in it.
  size_t head_bytes_ = 0;
  int64_t stretch_start_ = 0;
  uint64_t stretch_bytes_ = 0;
};

}  // namespace zev

#endif  // ZEV_CONTRACT_HTTP_CLIENT_H_
