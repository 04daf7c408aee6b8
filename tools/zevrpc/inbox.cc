#include "tools/zevrpc/inbox.h"

#include <utility>

namespace zev::rpc {

Inbox::Inbox(size_t max_messages, size_t max_bytes) : max_messages_(max_messages), max_bytes_(max_bytes) {}

bool Inbox::Push(InboxMessage message) {
  {
    MutexLock lock(&mu_);
    if (stopped_) return false;
    size_t length = message.header.length;
    if (!queue_.empty() && (queue_.size() >= max_messages_ || bytes_ + length > max_bytes_)) return false;
    bytes_ += length;
    queue_.push_back(std::move(message));
  }
  ready_.notify_one();
  return true;
}

bool Inbox::Pop(InboxMessage* message) {
  MutexLock lock(&mu_);
  ready_.wait(lock.native(), [this] {
    mu_.AssertHeld();
    return stopped_ || !queue_.empty();
  });
  if (stopped_) return false;
  *message = std::move(queue_.front());
  queue_.pop_front();
  bytes_ -= message->header.length;
  return true;
}

void Inbox::Stop() {
  {
    MutexLock lock(&mu_);
    stopped_ = true;
    queue_.clear();
    bytes_ = 0;
  }
  ready_.notify_all();
}

}  // namespace zev::rpc
