// The IBusMessage a callback receives.
#ifndef ZEV_TOOLS_ZEVRPC_BUS_MESSAGE_H_
#define ZEV_TOOLS_ZEVRPC_BUS_MESSAGE_H_

#include <atomic>
#include <cstdint>

#include "bus/bus_abi.h"
#include "tools/zevrpc/bus_frame.h"

namespace zev::rpc {

// Made on the heap by the thread that runs the callback, with one reference,
// which that thread drops after the callback returned. `data` is borrowed and
// must outlive the callback; Detach (called right after it) forgets it, so
// that a callback which kept a reference past its call sees a zero-length
// message instead of freed memory. Use it from the callback's thread.
class BusMessage final : public pubsdk::IBusMessage {
 public:
  BusMessage(const FrameHeader& header, const uint8_t* data);
  BusMessage(const BusMessage&) = delete;
  BusMessage& operator=(const BusMessage&) = delete;

  void Detach();

  pubsdk::HRESULT QueryInterface(const pubsdk::GUID& iid, void** out) override;
  uint32_t AddRef() override;
  uint32_t Release() override;
  uint32_t GetSource() override { return header_.source; }
  uint32_t GetDestination() override { return header_.destination; }
  uint32_t GetWordA() override { return header_.word_a; }
  uint32_t GetWordB() override { return header_.word_b; }
  uint32_t GetChannel() override { return header_.channel; }
  uint32_t GetLength() override { return header_.length; }
  const uint8_t* GetData() override;
  pubsdk::HRESULT Reserved10() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved11() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved12() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved13() override { return pubsdk::kE_NOTIMPL; }
  pubsdk::HRESULT Reserved14() override { return pubsdk::kE_NOTIMPL; }
  // Fills every field; `data` points at GetData().
  pubsdk::HRESULT GetHeader(pubsdk::BusMessageHeader* header) override;

 private:
  ~BusMessage() = default;

  FrameHeader header_;
  const uint8_t* data_;
  std::atomic<uint32_t> refs_{1};
};

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_BUS_MESSAGE_H_
