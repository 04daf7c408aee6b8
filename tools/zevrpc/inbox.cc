#include "tools/zevrpc/inbox.h"

#include <utility>

namespace zev::rpc {

Inbox::Inbox(size_t max_messages, size_t max_bytes) : max_messages_(max_messages), max_bytes_(max_bytes) {}

bool Inbox::Push(InboxMessage message) {
  size_t length = message.header.length;
  if (!queue_.empty() && (queue_.size() >= max_messages_ || bytes_ + length > max_bytes_)) return false;
  bytes_ += length;
  queue_.push_back(std::move(message));
  return true;
}

bool Inbox::Pop(InboxMessage* message) {
  if (queue_.empty()) return false;
  *message = std::move(queue_.front());
  queue_.pop_front();
  bytes_ -= message->header.length;
  return true;
}

void Inbox::Clear() {
  queue_.clear();
  bytes_ = 0;
}

}  // namespace zev::rpc
