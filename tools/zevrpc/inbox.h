// An endpoint's queue of received messages: filled by the thread that reads
// the node's connections, emptied by the thread that runs its callback.
#ifndef ZEV_TOOLS_ZEVRPC_INBOX_H_
#define ZEV_TOOLS_ZEVRPC_INBOX_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "tools/zevrpc/bus_frame.h"

namespace zev::rpc {

struct InboxMessage {
  FrameHeader header;
  std::unique_ptr<uint8_t[]> data;  // header.length bytes; null when 0
};

// Bounded by a message count and a byte total. Not thread-safe: its owner
// guards it with its own mutex.
class Inbox {
 public:
  Inbox(size_t max_messages, size_t max_bytes);
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // Queues `message`; false (the message is dropped) when either bound
  // would be passed. An empty inbox always takes one message, whatever its
  // size.
  bool Push(InboxMessage message);

  // Takes the oldest message; false when there is none.
  bool Pop(InboxMessage* message);

  bool empty() const { return queue_.empty(); }

  // Drops every queued message.
  void Clear();

 private:
  const size_t max_messages_;
  const size_t max_bytes_;
  std::deque<InboxMessage> queue_;
  size_t bytes_ = 0;
};

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_INBOX_H_
