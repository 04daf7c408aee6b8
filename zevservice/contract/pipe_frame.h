// The frames of the service's pipe, both directions, integers little-endian:
//   magic 0x0D 0x7A | tag (16 bytes) | H (uint32) | header (H) | B (uint32) | body (B)
// Bytes on a connection are a stream: every complete frame in it is taken in
// order, partial frames wait for the rest. A stream whose next frame does
// not start with the magic, or declares more than kMaxFrameSize bytes, has
// no way to find the next frame and is given up.
//
// A call's header is its "extended request": items "name:value" separated by
// ";" ("key:ETAG" from the client; "etag:ETAG;exr:0|1" in the reply).
#ifndef ZEV_CONTRACT_PIPE_FRAME_H_
#define ZEV_CONTRACT_PIPE_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zev {

constexpr uint8_t kFrameMagic0 = 0x0D;
constexpr uint8_t kFrameMagic1 = 0x7A;
constexpr size_t kFrameTagSize = 16;
constexpr size_t kFrameFixedSize = 26;
constexpr size_t kMaxFrameSize = 64u << 20;

struct Frame {
  std::string tag;  // kFrameTagSize bytes
  std::string header;
  std::string body;
};
// Serialises a frame (the tag is cut or zero-padded to 16 bytes).
std::string EncodeFrame(const Frame& frame);
// Result of looking at the front of a stream.
enum class FrameStatus { kComplete, kNeedMore, kBad };
// Looks at the bytes at the front of a stream; on kComplete fills *frame and
// *consumed with the frame's size.
FrameStatus DecodeFrame(const char* data, size_t size, Frame* frame, size_t* consumed);

// What ReadFrame found.
enum class FrameRead { kFrame, kBad, kEnded, kTimedOut };
// Reads from `fd` until `pending` holds a whole frame, and takes it out of
// `pending` (kFrame). kBad when the stream is not frames, kEnded at its end
// or on a read error, kTimedOut when `deadline_ms` (on the MonotonicMillis()
// clock; -1: none) passed first.
FrameRead ReadFrame(int fd, std::string* pending, Frame* frame, int64_t deadline_ms);

// Splits an extended request: items cut at every ";" (a final empty piece is
// ignored), each item at its first ":" into name and value; an item without
// ":" has the whole item as name and value; a later name replaces an earlier.
std::map<std::string, std::string> SplitExtend(const std::string& header);

}  // namespace zev

#endif  // ZEV_CONTRACT_PIPE_FRAME_H_
