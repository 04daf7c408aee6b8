#include "tools/zevrpc/bus_frame.h"

#include <cstring>

namespace zev::rpc {
namespace {

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

void EncodeFrameHeader(const FrameHeader& header, uint8_t out[kFrameHeaderSize]) {
  Put32(out + 0, kFrameMagic);
  Put16(out + 4, kFrameVersion);
  Put16(out + 6, static_cast<uint16_t>(kFrameHeaderSize));
  Put32(out + 8, header.source);
  Put32(out + 12, header.destination);
  Put32(out + 16, header.word_a);
  Put32(out + 20, header.word_b);
  Put32(out + 24, header.channel);
  Put32(out + 28, header.length);
  std::memset(out + 32, 0, 8);
}

FrameStatus DecodeFrameHeader(const uint8_t* p, size_t n, uint32_t expected_destination, FrameHeader* out) {
  if (n < kFrameHeaderSize) return FrameStatus::kNeedMore;
  if (Get32(p) != kFrameMagic || Get16(p + 4) != kFrameVersion || Get16(p + 6) != kFrameHeaderSize ||
      Get32(p + 32) != 0 || Get32(p + 36) != 0) {
    return FrameStatus::kBadFrame;
  }
  if (Get32(p + 12) != expected_destination) return FrameStatus::kWrongDestination;
  uint32_t length = Get32(p + 28);
  if (length > pubsdk::kBusMaxMessage) return FrameStatus::kTooLarge;
  out->source = Get32(p + 8);
  out->destination = Get32(p + 12);
  out->word_a = Get32(p + 16);
  out->word_b = Get32(p + 20);
  out->channel = Get32(p + 24);
  out->length = length;
  return FrameStatus::kOk;
}

AckCode AckForStatus(FrameStatus status) {
  switch (status) {
    case FrameStatus::kOk:
      return kAckQueued;
    case FrameStatus::kWrongDestination:
      return kAckWrongDestination;
    case FrameStatus::kTooLarge:
      return kAckTooLarge;
    case FrameStatus::kNeedMore:
    case FrameStatus::kBadFrame:
      break;
  }
  return kAckBadFrame;
}

void EncodeAck(uint32_t code, uint8_t out[kAckSize]) { Put32(out, code); }

uint32_t DecodeAck(const uint8_t in[kAckSize]) { return Get32(in); }

pubsdk::HRESULT ResultForAck(uint32_t code) {
  switch (code) {
    case kAckQueued:
      return pubsdk::kS_OK;
    case kAckInboxFull:
      return pubsdk::kBusErrInboxFull;
    case kAckTooLarge:
      return pubsdk::kBusErrTooLarge;
    case kAckWrongDestination:
      return pubsdk::kBusErrNoNode;
    default:
      return pubsdk::kBusErrIo;
  }
}

FrameReader::FrameReader(uint32_t expected_destination) : expected_destination_(expected_destination) {}

uint8_t* FrameReader::WritePointer() {
  if (!header_done_) return header_bytes_ + header_filled_;
  return data_ ? data_.get() + data_filled_ : nullptr;
}

size_t FrameReader::WriteRoom() const {
  if (status_ != FrameStatus::kNeedMore) return 0;
  if (!header_done_) return kFrameHeaderSize - header_filled_;
  return header_.length - data_filled_;
}

void FrameReader::Commit(size_t n) {
  if (n == 0 || n > WriteRoom()) return;
  if (!header_done_) {
    header_filled_ += n;
    if (header_filled_ < kFrameHeaderSize) return;
    status_ = DecodeFrameHeader(header_bytes_, kFrameHeaderSize, expected_destination_, &header_);
    if (status_ == FrameStatus::kNeedMore) status_ = FrameStatus::kBadFrame;  // cannot happen with 40 bytes
    if (status_ != FrameStatus::kOk) return;
    header_done_ = true;
    // The length passed the bound above, so this allocation is at most
    // kBusMaxMessage bytes.
    if (header_.length > 0) {
      data_.reset(new uint8_t[header_.length]);
      status_ = FrameStatus::kNeedMore;
    }
    return;
  }
  data_filled_ += n;
  if (data_filled_ == header_.length) status_ = FrameStatus::kOk;
}

void FrameReader::Reset() {
  header_filled_ = 0;
  header_ = FrameHeader();
  data_.reset();
  data_filled_ = 0;
  status_ = FrameStatus::kNeedMore;
  header_done_ = false;
}

size_t FrameReader::Feed(const uint8_t* p, size_t n) {
  size_t taken = 0;
  while (taken < n && WriteRoom() > 0) {
    size_t chunk = WriteRoom() < n - taken ? WriteRoom() : n - taken;
    std::memcpy(WritePointer(), p + taken, chunk);
    Commit(chunk);
    taken += chunk;
  }
  return taken;
}

}  // namespace zev::rpc
