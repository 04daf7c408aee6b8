// A bound on the bytes that work under way may hold at once, shared by every
// thread: large calls take their share before they allocate it and give it
// back when they are done, so that many of them at once are refused instead
// of exhausting memory.
#ifndef ZEV_BASE_BYTE_BUDGET_H_
#define ZEV_BASE_BYTE_BUDGET_H_

#include <atomic>
#include <cstddef>

namespace zev {

class ByteBudget {
 public:
  explicit ByteBudget(size_t limit) : limit_(limit) {}
  ByteBudget(const ByteBudget&) = delete;
  ByteBudget& operator=(const ByteBudget&) = delete;

  // Takes `bytes` when they fit under the limit. False (nothing taken)
  // otherwise.
  bool TryReserve(size_t bytes) {
    size_t used = used_.load(std::memory_order_relaxed);
    do {
      if (bytes > limit_ || used > limit_ - bytes) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
  }
  void Release(size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

  size_t used() const { return used_.load(std::memory_order_relaxed); }
  size_t limit() const { return limit_; }

 private:
  const size_t limit_;
  std::atomic<size_t> used_{0};
};

// One holder's share of a budget, given back when the holder ends. A null
// budget grants everything. One thread at a time.
class ByteReservation {
 public:
  explicit ByteReservation(ByteBudget* budget) : budget_(budget) {}
  ~ByteReservation() {
    if (budget_ != nullptr) budget_->Release(bytes_);
  }
  ByteReservation(const ByteReservation&) = delete;
  ByteReservation& operator=(const ByteReservation&) = delete;

  // Makes the share at least `bytes`. False, with the share as it was, when
  // the budget has not that much left.
  bool GrowTo(size_t bytes) {
    if (bytes <= bytes_) return true;
    if (budget_ != nullptr && !budget_->TryReserve(bytes - bytes_)) return false;
    bytes_ = bytes;
    return true;
  }
  size_t bytes() const { return bytes_; }

 private:
  ByteBudget* const budget_;
  size_t bytes_ = 0;
};

}  // namespace zev

#endif  // ZEV_BASE_BYTE_BUDGET_H_
