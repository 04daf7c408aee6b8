// A small HTTP/1.1 server on 127.0.0.1 for the downloader's tests and its
// benchmark. Each connection carries one request and is served on its own
// thread by a handler that the test supplies, so that a test can answer
// with any status, a short body, a stall or a redirect.
#ifndef ZEV_TOOLS_ZEVDOWNLOADER_LOOPBACK_HTTP_SERVER_H_
#define ZEV_TOOLS_ZEVDOWNLOADER_LOOPBACK_HTTP_SERVER_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zev::downloader {

struct HttpRequest {
  std::string method;
  std::string path;
  bool has_range = false;
  long long range_start = 0;  // of "Range: bytes=N-", when has_range
};

// The answering side of one connection, handed to the handler.
class HttpConnection {
 public:
  HttpConnection(int fd, const std::atomic<bool>* stopping) : fd_(fd), stopping_(stopping) {}

  // Writes the status line and header fields (each "Name: value"), then
  // "Connection: close" and the empty line. False once the peer is gone.
  bool SendHead(int status, const std::vector<std::string>& fields);
  bool Send(const void* data, size_t length);
  bool Send(const std::string& text) { return Send(text.data(), text.size()); }
  // Sends `count` bytes of `file_fd` from `offset` with sendfile.
  bool SendFile(int file_fd, off_t offset, size_t count);
  // Keeps the connection open without sending until the peer closes it or
  // the server stops; polls, so a stop is seen within 20 ms.
  void HoldUntilClosed();
  // Bytes of body and head sent so far on this connection.
  uint64_t sent() const { return sent_; }

 private:
  const int fd_;
  const std::atomic<bool>* const stopping_;
  uint64_t sent_ = 0;
};

class LoopbackHttpServer {
 public:
  // Runs on a connection thread, once per request; several may run at once.
  using Handler = std::function<void(const HttpRequest&, HttpConnection&)>;

  explicit LoopbackHttpServer(Handler handler);
  ~LoopbackHttpServer();  // Stop()
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  // Listens on an ephemeral port of 127.0.0.1. False when that fails.
  bool Start();
  // Ends the accept loop and every held connection, and joins their threads.
  void Stop();

  uint16_t port() const { return port_; }
  std::string Url(const std::string& path) const;
  // Body bytes that handlers reported through CountBodyBytes.
  uint64_t body_bytes() const { return body_bytes_.load(); }
  void CountBodyBytes(uint64_t n) { body_bytes_ += n; }
  int requests() const { return requests_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);

  const Handler handler_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> body_bytes_{0};
  std::atomic<int> requests_{0};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> connections_;  // guarded by mu_
};

// A LoopbackHttpServer that serves whole files put into it by path, answers
// 404 for any other path, and counts the requests per path.
class FileServer {
 public:
  FileServer();
  // Listens (see LoopbackHttpServer::Start).
  bool Start() { return server_.Start(); }
  void Stop() { server_.Stop(); }
  // Serves `bytes` at `path` from now on; answers its URL.
  std::string Put(const std::string& path, const std::string& bytes);
  std::string Url(const std::string& path) const { return server_.Url(path); }
  int Requests(const std::string& path);

 private:
  std::mutex mu_;
  std::map<std::string, std::string> files_;  // guarded by mu_
  std::map<std::string, int> requests_;       // guarded by mu_
  LoopbackHttpServer server_;                 // last: its threads use the members above
};

}  // namespace zev::downloader

#endif  // ZEV_TOOLS_ZEVDOWNLOADER_LOOPBACK_HTTP_SERVER_H_
