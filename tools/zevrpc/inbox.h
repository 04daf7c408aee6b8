// An endpoint's queue of received messages, between its I/O thread (which
// pushes) and its dispatch thread (which pops and calls the callback).
#ifndef ZEV_TOOLS_ZEVRPC_INBOX_H_
#define ZEV_TOOLS_ZEVRPC_INBOX_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "base/annotated_mutex.h"
#include "tools/zevrpc/bus_frame.h"

namespace zev::rpc {

struct InboxMessage {
  FrameHeader header;
  std::unique_ptr<uint8_t[]> data;  // header.length bytes; null when 0
};

// Bounded by a message count and a byte total. Thread-safe.
class Inbox {
 public:
  Inbox(size_t max_messages, size_t max_bytes);
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // Queues `message`; false (the message is dropped) when either bound
  // would be passed or the inbox is stopped. An empty inbox always takes
  // one message, whatever its size.
  bool Push(InboxMessage message);

  // Waits for a message; false once Stop was called (messages still queued
  // are then dropped, never handed out).
  bool Pop(InboxMessage* message);

  // Wakes Pop for good. Idempotent.
  void Stop();

 private:
  const size_t max_messages_;
  const size_t max_bytes_;
  Mutex mu_;
  std::condition_variable ready_;
  std::deque<InboxMessage> queue_ GUARDED_BY(mu_);
  size_t bytes_ GUARDED_BY(mu_) = 0;
  bool stopped_ GUARDED_BY(mu_) = false;
};

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_INBOX_H_
