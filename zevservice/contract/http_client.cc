#include "contract/http_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/wait.h"

namespace zev {

namespace {

// A read buffer grown past this by a large answer is given back after it.
constexpr size_t kKeptBufferSize = 256u << 10;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool SameNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Whether the comma-separated `value` lists `token` (in any case).
bool ListsToken(const std::string& value, const char* token) {
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    if (SameNoCase(Trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start)), token)) {
      return true;
    }
    if (comma == std::string::npos) return false;
    start = comma + 1;
  }
}

// A whole number in `base` (10 or 16) no greater than `max`.
bool ParseNumber(const std::string& text, int base, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 16) return false;
  uint64_t v = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9' ? c - '0' : -1;
    if (base == 16 && digit < 0) {
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    }
    if (digit < 0) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (v > max) return false;
  }
  *value = v;
  return true;
}

}  // namespace

std::string HttpResponse::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (SameNoCase(header.first, name.c_str())) return header.second;
  }
  return std::string();
}

HttpClient::HttpClient(std::string host, int port) : host_(std::move(host)), port_(port) {}

HttpClient::~HttpClient() { Close(); }

void HttpClient::Close() {
  if (fd_ >= 0 && layer_) layer_->Close();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  std::string().swap(pending_);
}

bool HttpClient::Request(const std::string& method, const std::string& target, const HttpHeaders& headers,
                             const std::string& body, int limit_ms, HttpResponse* response, std::string* error) {
  limit_ms_ = limit_ms;
  const int64_t deadline = DeadlineAfter(limit_ms);
  const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  std::string head = method + " " + target + " HTTP/1.1\r\n";
  bool close_after = false, has_host = false;
  for (const auto& header : headers) has_host = has_host || SameNoCase(header.first, "Host");
  if (!has_host) head += "Host: " + host + ":" + std::to_string(port_) + "\r\n";
  for (const auto& header : headers) {
    head += header.first + ": " + header.second + "\r\n";
    if (SameNoCase(header.first, "Connection") && ListsToken(header.second, "close")) close_after = true;
  }
  if (!body.empty() || method != "GET") head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  head += "\r\n";
  for (int attempt = 0;; ++attempt) {
    const bool reused = fd_ >= 0;
    *response = HttpResponse();
    const Outcome outcome = Exchange(head, body, close_after, deadline, response, error);
    if (outcome == Outcome::kOk) return true;
    Close();
    // A kept connection may have been closed by the server while idle.
    if (outcome != Outcome::kClosedUnanswered || !reused || attempt > 0) return false;
  }
}

HttpClient::Outcome HttpClient::Exchange(const std::string& request_head, const std::string& body,
                                                 bool close_after, int64_t deadline, HttpResponse* response,
                                                 std::string* error) {
  if (fd_ < 0 && !Connect(deadline, error)) return Outcome::kFailed;
  pending_.clear();
  received_ = false;
  peer_closed_ = false;
  head_bytes_ = 0;
  stretch_start_ = MonotonicMillis();
  stretch_bytes_ = 0;
  if (!SendAll(request_head, body, deadline, error)) {
    return peer_closed_ ? Outcome::kClosedUnanswered : Outcome::kFailed;
  }
  bool keep_alive = true;
  if (!ReadHead(deadline, response, &keep_alive, error)) {
    if (error->empty()) *error = "the connection closed before the answer";
    return peer_closed_ && !received_ ? Outcome::kClosedUnanswered : Outcome::kFailed;
  }
  if (!ReadBody(*response, deadline, &response->body, &keep_alive, error)) return Outcome::kFailed;
  if (pending_.capacity() > kKeptBufferSize) std::string().swap(pending_);  // what is left is not read
  if (close_after || !keep_alive) Close();
  return Outcome::kOk;
}

bool HttpClient::Await(short events, int64_t deadline, const char* what, std::string* error) {
  const int64_t idle_deadline = DeadlineAfter(limits_.idle_ms);
  const bool idle = idle_deadline >= 0 && (deadline < 0 || idle_deadline < deadline);
  const int64_t until = idle ? idle_deadline : deadline;
  int ready = 0;
  for (bool stretch_ended = true; stretch_ended;) {
    int64_t wake = until;
    if (limits_.low_speed_ms > 0) {
      // The low-speed rule, checked at the end of each stretch.
      const int64_t now = MonotonicMillis(), stretch_end = stretch_start_ + limits_.low_speed_ms;
      if (now >= stretch_end) {
        if (stretch_bytes_ * 1000 < static_cast<uint64_t>(limits_.low_speed_ms)) {
          *error = std::string(what) + ": less than a byte a second moved over " +
                   std::to_string(limits_.low_speed_ms) + " ms";
          return false;
        }
        stretch_start_ = now;
        stretch_bytes_ = 0;
        continue;
      }
      if (wake < 0 || stretch_end < wake) wake = stretch_end;
    }
    pollfd ready_fd = {fd_, events, 0};
    ready = PollUntil(&ready_fd, 1, wake);
    stretch_ended = ready == 0 && wake != until;
  }
  if (ready > 0) return true;
  if (ready < 0) {
    *error = std::string(what) + ": " + strerror(errno);
  } else if (idle) {
    *error = std::string(what) + ": nothing moved for " + std::to_string(limits_.idle_ms) + " ms";
  } else {
    *error = std::string(what) + ": not within " + std::to_string(limit_ms_) + " ms";
  }
  return false;
}

bool HttpClient::Connect(int64_t request_deadline, std::string* error) {
  const int64_t connect_deadline = DeadlineAfter(limits_.connect_ms);
  const bool connect_first =
      connect_deadline >= 0 && (request_deadline < 0 || connect_deadline < request_deadline);
  const int64_t deadline = connect_first ? connect_deadline : request_deadline;
  const int limit_ms = connect_first ? limits_.connect_ms : limit_ms_;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &list);
  if (rc != 0) {
    *error = "cannot resolve " + host_ + ": " + gai_strerror(rc);
    return false;
  }
  std::string reason = "no address";
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      reason = strerror(errno);
      continue;
    }
    int result = connect(fd, a->ai_addr, a->ai_addrlen);
    int failure = errno;
    if (result != 0 && failure == EINPROGRESS) {
      pollfd writable = {fd, POLLOUT, 0};
      const int ready = PollUntil(&writable, 1, deadline);
      if (ready == 0) {
        close(fd);
        freeaddrinfo(list);
        *error = "no connection within " + std::to_string(limit_ms) + " ms";
        return false;
      }
      socklen_t length = sizeof(failure);
      if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) failure = errno;
      result = failure == 0 ? 0 : -1;
    }
    if (result != 0) {
      reason = strerror(failure);
      close(fd);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fd_ = fd;
    freeaddrinfo(list);
    if (layer_ && !layer_->Open(fd_, deadline, error)) {
      Close();
      return false;
    }
    return true;
  }
  freeaddrinfo(list);
  *error = reason;
  return false;
}

bool HttpClient::SendAll(const std::string& head, const std::string& body, int64_t deadline, std::string* error) {
  if (layer_) {
    const std::string request = head + body;
    for (size_t sent = 0; sent < request.size();) {
      short events = POLLOUT;
      const ssize_t n = layer_->Write(request.data() + sent, request.size() - sent, &events);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        stretch_bytes_ += static_cast<uint64_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        if (!Await(events, deadline, "cannot send", error)) return false;
      } else {
        peer_closed_ = errno == EPIPE || errno == ECONNRESET;
        *error = std::string("cannot send: ") + strerror(errno);
        return false;
      }
    }
    return true;
  }
  size_t sent = 0;
  const size_t total = head.size() + body.size();
  while (sent < total) {
    iovec parts[2];
    int count = 0;
    if (sent < head.size()) {
      parts[count++] = {const_cast<char*>(head.data() + sent), head.size() - sent};
      if (!body.empty()) parts[count++] = {const_cast<char*>(body.data()), body.size()};
    } else {
      parts[count++] = {const_cast<char*>(body.data() + (sent - head.size())), total - sent};
    }
    msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      stretch_bytes_ += static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (limits_.idle_ms >= 0 || limits_.low_speed_ms > 0) {
        if (Await(POLLOUT, deadline, "cannot send", error)) continue;
        return false;
      }
      pollfd writable = {fd_, POLLOUT, 0};
      const int ready = PollUntil(&writable, 1, deadline);
      if (ready > 0) continue;
      *error = ready == 0 ? "the request was not taken within " + std::to_string(limit_ms_) + " ms"
                          : std::string("cannot send: ") + strerror(errno);
      return false;
    }
    peer_closed_ = errno == EPIPE || errno == ECONNRESET;
    *error = std::string("cannot send: ") + strerror(errno);
    return false;
  }
  return true;
}

bool HttpClient::ReadMore(int64_t deadline, std::string* error) {
  char buf[65536];
  for (;;) {
    short events = POLLIN;
    const ssize_t n = layer_ ? layer_->Read(buf, sizeof(buf), &events) : read(fd_, buf, sizeof(buf));
    if (n > 0) {
      pending_.append(buf, static_cast<size_t>(n));
      received_ = true;
      stretch_bytes_ += static_cast<uint64_t>(n);
      return true;
    }
    if (n == 0) {
      error->clear();  // the end of the stream
      peer_closed_ = true;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      peer_closed_ = errno == ECONNRESET;
      *error = strerror(errno);
      return false;
    }
    if (layer_ || limits_.idle_ms >= 0 || limits_.low_speed_ms > 0) {
      if (Await(events, deadline, "cannot receive", error)) continue;
      return false;
    }
    pollfd readable = {fd_, POLLIN, 0};
    const int ready = PollUntil(&readable, 1, deadline);
    if (ready == 0) {
      *error = "no answer within " + std::to_string(limit_ms_) + " ms";
      return false;
    }
    if (ready < 0) {
      *error = strerror(errno);
      return false;
    }
  }
}

bool HttpClient::TakeLine(int64_t deadline, std::string* line, std::string* error) {
  for (;;) {
    const size_t end = pending_.find("\r\n");
    if (end != std::string::npos) {
      *line = pending_.substr(0, end);
      pending_.erase(0, end + 2);
      return true;
    }
    if (pending_.size() > kMaxHttpResponseHead) {
      *error = "a line of the answer is too long";
      return false;
    }
    if (!ReadMore(deadline, error)) {
      if (error->empty()) *error = "the connection closed within the answer";
      return false;
    }
  }
}

bool HttpClient::ReadHead(int64_t deadline, HttpResponse* response, bool* keep_alive, std::string* error) {
  for (;;) {
    size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
      if (head_bytes_ + pending_.size() > kMaxHttpResponseHead) {
        *error = "the head of the answer is too long";
        return false;
      }
      if (!ReadMore(deadline, error)) {
        if (error->empty() && received_) *error = "the connection closed within the answer";
        return false;
      }
    }
    // Interim heads count too: a server sending them without end is cut off.
    head_bytes_ += end + 4;
    if (head_bytes_ > kMaxHttpResponseHead) {
      *error = "the head of the answer is too long";
      return false;
    }
    const std::string head = pending_.substr(0, end + 2);
    pending_.erase(0, end + 4);
    size_t line_end = head.find("\r\n");
    const std::string status_line = head.substr(0, line_end);
    uint64_t code = 0;
    if (status_line.compare(0, 7, "HTTP/1.") != 0 || status_line.size() < 12 || status_line[8] != ' ' ||
        !ParseNumber(status_line.substr(9, 3), 10, 999, &code) ||
        (status_line.size() > 12 && status_line[12] != ' ')) {
      *error = "not an HTTP answer";
      return false;
    }
    HttpHeaders headers;
    for (size_t start = line_end + 2; start < head.size();) {
      const size_t next = head.find("\r\n", start);
      const std::string line = head.substr(start, next - start);
      start = next + 2;
      const size_t colon = line.find(':');
      if (colon == std::string::npos || colon == 0) {
        *error = "a malformed header in the answer";
        return false;
      }
      headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    if (code >= 100 && code < 200) continue;  // an interim answer: the final one follows
    response->status = static_cast<int>(code);
    response->headers = std::move(headers);
    const std::string connection = response->Header("Connection");
    *keep_alive = status_line[7] == '1' ? !ListsToken(connection, "close") : ListsToken(connection, "keep-alive");
    return true;
  }
}

bool HttpClient::ReadBody(const HttpResponse& head, int64_t deadline, std::string* body, bool* keep_alive,
                              std::string* error) {
  body->clear();
  const std::string encoding = head.Header("Transfer-Encoding");
  if (!encoding.empty()) {
    if (!ListsToken(encoding, "chunked")) {
      *error = "an answer in the transfer coding \"" + encoding + "\"";
      return false;
    }
    return ReadChunked(deadline, body, error);
  }
  const std::string length_text = head.Header("Content-Length");
  if (!length_text.empty()) {
    uint64_t length = 0;
    if (!ParseNumber(length_text, 10, limits_.max_body, &length)) {
      *error = "an answer of length \"" + length_text + "\"";
      return false;
    }
    while (pending_.size() < length) {
      if (!ReadMore(deadline, error)) {
        if (error->empty()) *error = "the connection closed within the answer";
        return false;
      }
    }
    if (pending_.size() == length) {
      body->swap(pending_);  // moved, not copied: a large body is held once
      pending_.clear();
    } else {
      body->assign(pending_, 0, length);
      pending_.erase(0, length);
    }
    return true;
  }
  if (head.status == 204 || head.status == 304) return true;
  // The body ends with the connection.
  *keep_alive = false;
  for (;;) {
    if (pending_.size() > limits_.max_body) {
      *error = "the answer is too large";
      return false;
    }
    if (!ReadMore(deadline, error)) {
      if (!error->empty()) return false;
      if (layer_ && !layer_->EndAnnounced()) {
        *error = "the connection closed within the answer: its end was not announced";
        return false;
      }
      body->swap(pending_);
      return true;
    }
  }
}

bool HttpClient::ReadChunked(int64_t deadline, std::string* body, std::string* error) {
  for (;;) {
    std::string line;
    if (!TakeLine(deadline, &line, error)) return false;
    uint64_t size = 0;
    if (!ParseNumber(Trim(line.substr(0, line.find(';'))), 16, limits_.max_body, &size) ||
        body->size() + size > limits_.max_body) {
      *error = "a malformed or oversized chunk in the answer";
      return false;
    }
    if (size == 0) {
      // Trailer fields, up to an empty line.
      do {
        if (!TakeLine(deadline, &line, error)) return false;
        head_bytes_ += line.size() + 2;
        if (head_bytes_ > kMaxHttpResponseHead) {
          *error = "the trailer of the answer is too long";
          return false;
        }
      } while (!line.empty());
      return true;
    }
    while (pending_.size() < size + 2) {
      if (!ReadMore(deadline, error)) {
        if (error->empty()) *error = "the connection closed within the answer";
        return false;
      }
    }
    if (pending_.compare(size, 2, "\r\n") != 0) {
      *error = "a malformed chunk in the answer";
      return false;
    }
    body->append(pending_, 0, size);
    pending_.erase(0, size + 2);
  }
}

}  // namespace zev
