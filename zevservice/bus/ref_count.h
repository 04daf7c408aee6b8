// The reference count shared by the objects of the host-messaging layer.
// An object starts with one reference, owned by whoever created it; the
// last Release deletes it.
#ifndef ZEV_BUS_REF_COUNT_H_
#define ZEV_BUS_REF_COUNT_H_

#include <atomic>
#include <cstdint>

namespace pubsdk {

class CRefCountBase {
 public:
  CRefCountBase() = default;
  CRefCountBase(const CRefCountBase&) = delete;
  CRefCountBase& operator=(const CRefCountBase&) = delete;

 protected:
  virtual ~CRefCountBase() = default;
  uint32_t AddRefImpl() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t ReleaseImpl() {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<uint32_t> refs_{1};
};

}  // namespace pubsdk

#endif  // ZEV_BUS_REF_COUNT_H_
