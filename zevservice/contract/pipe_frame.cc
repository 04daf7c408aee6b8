#include "contract/pipe_frame.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/bytes.h"
#include "platform/wait.h"

namespace zev {

std::string EncodeFrame(const Frame& frame) {
  std::string out;
  out.reserve(kFrameFixedSize + frame.header.size() + frame.body.size());
  out.push_back(static_cast<char>(kFrameMagic0));
  out.push_back(static_cast<char>(kFrameMagic1));
  std::string tag = frame.tag.substr(0, kFrameTagSize);
  tag.resize(kFrameTagSize, '\0');
  out += tag;
  AppendLE32(&out, static_cast<uint32_t>(frame.header.size()));
  out += frame.header;
  AppendLE32(&out, static_cast<uint32_t>(frame.body.size()));
  out += frame.body;
  return out;
}

FrameStatus DecodeFrame(const char* data, size_t size, Frame* frame, size_t* consumed) {
  if (size >= 1 && static_cast<uint8_t>(data[0]) != kFrameMagic0) return FrameStatus::kBad;
  if (size >= 2 && static_cast<uint8_t>(data[1]) != kFrameMagic1) return FrameStatus::kBad;
  if (size < 22) return FrameStatus::kNeedMore;
  uint64_t header_len = GetLE32(data + 18);
  if (header_len > kMaxFrameSize - kFrameFixedSize) return FrameStatus::kBad;
  if (size < 22 + header_len + 4) return FrameStatus::kNeedMore;
  uint64_t body_len = GetLE32(data + 22 + header_len);
  if (kFrameFixedSize + header_len + body_len > kMaxFrameSize) return FrameStatus::kBad;
  uint64_t total = kFrameFixedSize + header_len + body_len;
  if (size < total) return FrameStatus::kNeedMore;
  frame->tag.assign(data + 2, kFrameTagSize);
  frame->header.assign(data + 22, header_len);
  frame->body.assign(data + 26 + header_len, body_len);
  *consumed = total;
  return FrameStatus::kComplete;
}

FrameRead ReadFrame(int fd, std::string* pending, Frame* frame, int64_t deadline_ms) {
  char buf[65536];
  for (;;) {
    size_t used = 0;
    const FrameStatus status = DecodeFrame(pending->data(), pending->size(), frame, &used);
    if (status == FrameStatus::kComplete) {
      pending->erase(0, used);
      return FrameRead::kFrame;
    }
    if (status == FrameStatus::kBad) return FrameRead::kBad;
    pollfd readable = {fd, POLLIN, 0};
    const int ready = PollUntil(&readable, 1, deadline_ms);
    if (ready == 0) return FrameRead::kTimedOut;
    if (ready < 0) return FrameRead::kEnded;
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FrameRead::kEnded;
    pending->append(buf, static_cast<size_t>(n));
  }
}

std::map<std::string, std::string> SplitExtend(const std::string& header) {
  std::map<std::string, std::string> items;
  size_t start = 0;
  while (start <= header.size()) {
    size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    std::string piece = header.substr(start, end - start);
    bool last = end == header.size();
    if (!(last && piece.empty())) {
      size_t colon = piece.find(':');
      if (colon == std::string::npos) {
        items[piece] = piece;
      } else {
        items[piece.substr(0, colon)] = piece.substr(colon + 1);
      }
    }
    if (last) break;
    start = end + 1;
  }
  return items;
}

}  // namespace zev
