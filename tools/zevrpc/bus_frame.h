// The bytes of one bus message on its connection, and the answer to it.
//
// A sender writes a fixed 40-byte header followed by the data; the receiver
// answers with a 4-byte acknowledgement code. A connection carries one frame
// at a time and, after a frame the receiver took (or dropped for a full
// inbox), the next one; after any other answer the receiver closes it.
// Every field is little-endian:
//
//   offset  size  field
//        0     4  magic ("ZBUS" as the value 0x5355425A)
//        4     2  version (kFrameVersion)
//        6     2  header length (kFrameHeaderSize)
//        8     4  source node id
//       12     4  destination node id
//       16     4  word a
//       20     4  word b
//       24     4  channel
//       28     4  data length (at most pubsdk::kBusMaxMessage)
//       32     8  reserved, zero
//
// Nothing here touches a socket: the functions and FrameReader work on
// memory only, so that the decoder can be fed arbitrary bytes.
#ifndef ZEV_TOOLS_ZEVRPC_BUS_FRAME_H_
#define ZEV_TOOLS_ZEVRPC_BUS_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bus/bus_abi.h"

namespace zev::rpc {

constexpr uint32_t kFrameMagic = 0x5355425Au;
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 40;
constexpr size_t kAckSize = 4;

// Acknowledgement codes, written by the receiver as a little-endian uint32.
enum AckCode : uint32_t {
  kAckQueued = 0,           // the message is in the receiver's inbox
  kAckInboxFull = 1,        // dropped: the inbox is at its bound
  kAckBadFrame = 2,         // wrong magic, version, header length or reserved bytes
  kAckWrongDestination = 3,  // the frame names another node
  kAckNotAllowed = 4,       // the sender runs as another user
  kAckTooLarge = 5,         // the length is above pubsdk::kBusMaxMessage
};

struct FrameHeader {
  uint32_t source = 0;
  uint32_t destination = 0;
  uint32_t word_a = 0;
  uint32_t word_b = 0;
  uint32_t channel = 0;
  uint32_t length = 0;
};

// Writes the 40 header bytes of `header` to `out`.
void EncodeFrameHeader(const FrameHeader& header, uint8_t out[kFrameHeaderSize]);

// What DecodeFrameHeader found.
enum class FrameStatus {
  kNeedMore,          // fewer than kFrameHeaderSize bytes
  kOk,                // *out holds the header
  kBadFrame,          // magic, version, header length or reserved bytes wrong
  kWrongDestination,  // well-formed, but for another node
  kTooLarge,          // well-formed, but the length is above kBusMaxMessage
};

// Decodes the header at the start of `p` (`n` bytes readable; bytes past the
// header are ignored). *out is written only for kOk. The checks run in the
// order of the statuses above, so a frame that is both malformed and too
// large reads as kBadFrame.
FrameStatus DecodeFrameHeader(const uint8_t* p, size_t n, uint32_t expected_destination, FrameHeader* out);

// The acknowledgement a receiver writes for a frame that ended in `status`
// (kOk maps to kAckQueued; kNeedMore, a cut connection, has no answer and
// maps to kAckBadFrame).
AckCode AckForStatus(FrameStatus status);

void EncodeAck(uint32_t code, uint8_t out[kAckSize]);
uint32_t DecodeAck(const uint8_t in[kAckSize]);

// Send's answer for an acknowledgement code: kS_OK for kAckQueued,
// kBusErrInboxFull, kBusErrTooLarge, kBusErrNoNode for a wrong destination
// (the socket was not the named node's), kBusErrIo for the rest.
pubsdk::HRESULT ResultForAck(uint32_t code);

// Assembles one frame from a connection's bytes, in pieces of any size.
// The caller either copies bytes in with Feed or reads straight into
// WritePointer()/WriteRoom() and then calls Commit. The reader never asks
// for more than the frame holds, so nothing past it is consumed. The data
// buffer is allocated only after the header passed every check. Not
// thread-safe; one reader per connection.
class FrameReader {
 public:
  explicit FrameReader(uint32_t expected_destination);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Copies up to `n` bytes of `p`; answers how many were taken (0 once the
  // frame is complete or refused).
  size_t Feed(const uint8_t* p, size_t n);

  // Where the next bytes go and how many the frame still takes (0 when
  // complete or refused).
  uint8_t* WritePointer();
  size_t WriteRoom() const;
  // Records that `n` (<= WriteRoom()) bytes were written at WritePointer().
  void Commit(size_t n);

  // kNeedMore while the frame is incomplete; kOk when the header and all its
  // data are in; otherwise why the header was refused (final).
  FrameStatus status() const { return status_; }
  // Valid once status() is kOk.
  const FrameHeader& header() const { return header_; }
  // Hands over the data (null for a zero-length frame); status() must be kOk.
  std::unique_ptr<uint8_t[]> TakeData() { return std::move(data_); }
  // Starts over for the next frame on the same connection.
  void Reset();

 private:
  const uint32_t expected_destination_;
  uint8_t header_bytes_[kFrameHeaderSize];
  size_t header_filled_ = 0;
  FrameHeader header_;
  std::unique_ptr<uint8_t[]> data_;
  size_t data_filled_ = 0;
  FrameStatus status_ = FrameStatus::kNeedMore;
  bool header_done_ = false;
};

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_BUS_FRAME_H_
