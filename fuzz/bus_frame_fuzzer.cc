// Arbitrary bytes as one bus connection's stream through the frame reader.
// The first input byte is not part of the stream: its lowest bit says
// whether the reader expects the destination the header names (so that the
// checks after it are reached) or another one, and the rest where the stream
// is split into two reads. The reader must agree with DecodeFrameHeader,
// take no byte past the frame, hand over exactly the data bytes, and a
// header it accepts must encode back to the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tools/zevrpc/bus_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  using namespace zev::rpc;
  if (size < 2) return 0;
  const uint8_t control = data[0];
  ++data;
  --size;
  size_t split = (control >> 1) % size;
  uint32_t expected = 0;
  if ((control & 1) != 0 && size >= 16) {
    expected = static_cast<uint32_t>(data[12]) | static_cast<uint32_t>(data[13]) << 8 |
               static_cast<uint32_t>(data[14]) << 16 | static_cast<uint32_t>(data[15]) << 24;
  }

  FrameReader reader(expected);
  size_t taken = reader.Feed(data, split);
  taken += reader.Feed(data + taken, size - taken);
  if (taken > size) abort();

  FrameHeader header;
  FrameStatus direct = DecodeFrameHeader(data, size, expected, &header);
  FrameStatus status = reader.status();
  if (direct == FrameStatus::kNeedMore) {
    if (status != FrameStatus::kNeedMore || taken != size) abort();
    return 0;
  }
  if (direct != FrameStatus::kOk) {
    if (status != direct || taken != kFrameHeaderSize) abort();
    return 0;
  }
  uint8_t again[kFrameHeaderSize];
  EncodeFrameHeader(header, again);
  if (std::memcmp(again, data, kFrameHeaderSize) != 0) abort();
  size_t whole = kFrameHeaderSize + header.length;
  if (size < whole) {
    if (status != FrameStatus::kNeedMore || taken != size) abort();
    return 0;
  }
  if (status != FrameStatus::kOk || taken != whole) abort();
  if (reader.header().length != header.length || reader.header().source != header.source) abort();
  std::unique_ptr<uint8_t[]> body = reader.TakeData();
  if (header.length > 0 && std::memcmp(body.get(), data + kFrameHeaderSize, header.length) != 0) abort();
  return 0;
}
