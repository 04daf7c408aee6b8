#include "tools/zevrpc/bus_message.h"

#include <cstring>

namespace zev::rpc {
namespace {

// What GetData answers for a message without bytes: never null, so that
// callers may pass it to memcpy with a zero length.
const uint8_t kNoData[1] = {0};

}  // namespace

BusMessage::BusMessage(const FrameHeader& header, const uint8_t* data) : header_(header), data_(data) {}

void BusMessage::Detach() {
  header_.length = 0;
  data_ = nullptr;
}

pubsdk::HRESULT BusMessage::QueryInterface(const pubsdk::GUID& iid, void** out) {
  if (out == nullptr) return pubsdk::kE_POINTER;
  // The message interface has no id of its own in the binary interface;
  // it answers only as IUnknown.
  if (iid == pubsdk::IID_IUnknown) {
    AddRef();
    *out = static_cast<pubsdk::IBusMessage*>(this);
    return pubsdk::kS_OK;
  }
  *out = nullptr;
  return pubsdk::kE_NOINTERFACE;
}

uint32_t BusMessage::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t BusMessage::Release() {
  uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

const uint8_t* BusMessage::GetData() { return data_ != nullptr ? data_ : kNoData; }

pubsdk::HRESULT BusMessage::GetHeader(pubsdk::BusMessageHeader* header) {
  if (header == nullptr) return pubsdk::kE_POINTER;
  std::memset(header, 0, sizeof(*header));
  header->length = header_.length;
  header->source = header_.source;
  header->destination = header_.destination;
  header->word_a = header_.word_a;
  header->word_b = header_.word_b;
  header->channel = header_.channel;
  header->data = GetData();
  return pubsdk::kS_OK;
}

}  // namespace zev::rpc
