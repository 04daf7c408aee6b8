#include "tools/zevdownloader/loopback_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zev::downloader {

namespace {

constexpr int kPollMs = 20;

const char* ReasonOf(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    default: return "Status";
  }
}

// Reads up to the end of the head; false when the peer closes first or the
// server stops.
bool ReadHead(int fd, const std::atomic<bool>& stopping, std::string* head) {
  char buffer[4096];
  while (head->find("\r\n\r\n") == std::string::npos) {
    if (stopping.load() || head->size() > 65536) return false;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, kPollMs);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    head->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

HttpRequest ParseHead(const std::string& head) {
  HttpRequest request;
  size_t line_end = head.find("\r\n");
  std::string line = head.substr(0, line_end);
  size_t sp1 = line.find(' ');
  size_t sp2 = line.find(' ', sp1 + 1);
  request.method = line.substr(0, sp1);
  request.path = line.substr(sp1 + 1, sp2 - sp1 - 1);
  size_t pos = line_end + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos || end == pos) break;
    std::string field = head.substr(pos, end - pos);
    if (strncasecmp(field.c_str(), "Range: bytes=", 13) == 0) {
      request.has_range = true;
      request.range_start = std::strtoll(field.c_str() + 13, nullptr, 10);
    }
    pos = end + 2;
  }
  return request;
}

}  // namespace

bool HttpConnection::SendHead(int status, const std::vector<std::string>& fields) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonOf(status) + "\r\n";
  for (const std::string& field : fields) head += field + "\r\n";
  head += "Connection: close\r\n\r\n";
  return Send(head);
}

bool HttpConnection::Send(const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = send(fd_, p, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
    sent_ += static_cast<uint64_t>(n);
  }
  return true;
}

bool HttpConnection::SendFile(int file_fd, off_t offset, size_t count) {
  while (count > 0) {
    ssize_t n = sendfile(fd_, file_fd, &offset, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    count -= static_cast<size_t>(n);
    sent_ += static_cast<uint64_t>(n);
  }
  return true;
}

void HttpConnection::HoldUntilClosed() {
  char buffer[512];
  while (!stopping_->load()) {
    struct pollfd p = {fd_, POLLIN, 0};
    int r = poll(&p, 1, kPollMs);
    if (r < 0 && errno != EINTR) return;
    if (r > 0) {
      if (p.revents & (POLLHUP | POLLERR)) return;
      if (recv(fd_, buffer, sizeof(buffer), 0) <= 0) return;
    }
  }
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {}

LoopbackHttpServer::~LoopbackHttpServer() { Stop(); }

bool LoopbackHttpServer::Start() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listen_fd_, 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread(&LoopbackHttpServer::AcceptLoop, this);
  return true;
}

void LoopbackHttpServer::Stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mu_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

std::string LoopbackHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpServer::AcceptLoop() {
  while (!stopping_.load()) {
    struct pollfd p = {listen_fd_, POLLIN, 0};
    int r = poll(&p, 1, kPollMs);
    if (r <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    connections_.emplace_back(&LoopbackHttpServer::Serve, this, fd);
  }
}

void LoopbackHttpServer::Serve(int fd) {
  std::string head;
  if (ReadHead(fd, stopping_, &head)) {
    ++requests_;
    HttpConnection connection(fd, &stopping_);
    handler_(ParseHead(head), connection);
    // Half-close and drain so the peer sees the whole answer before the reset
    // that closing with unread input would cause.
    shutdown(fd, SHUT_WR);
    char buffer[512];
    struct pollfd p = {fd, POLLIN, 0};
    while (!stopping_.load() && poll(&p, 1, kPollMs) >= 0) {
      if (p.revents != 0 && recv(fd, buffer, sizeof(buffer), 0) <= 0) break;
    }
  }
  close(fd);
}

FileServer::FileServer()
    : server_([this](const HttpRequest& request, HttpConnection& c) {
        std::string body;
        {
          std::lock_guard<std::mutex> lock(mu_);
          ++requests_[request.path];
          auto found = files_.find(request.path);
          if (found == files_.end()) {
            c.SendHead(404, {"Content-Length: 0"});
            return;
          }
          body = found->second;
        }
        c.SendHead(200, {"Content-Length: " + std::to_string(body.size())});
        c.Send(body);
      }) {}

std::string FileServer::Put(const std::string& path, const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  files_[path] = bytes;
  return server_.Url(path);
}

int FileServer::Requests(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = requests_.find(path);
  return found == requests_.end() ? 0 : found->second;
}

}  // namespace zev::downloader
