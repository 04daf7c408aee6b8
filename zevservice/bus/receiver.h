// Receivers: CReceiver, an IReceiver with a name and an optional callback,
// and CReceiverImpAsync, which queues each incoming message and hands it to
// its target on a thread of its own, so that the bus library's thread never
// runs the consumer's code.
#ifndef ZEV_BUS_RECEIVER_H_
#define ZEV_BUS_RECEIVER_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/annotated_mutex.h"
#include "bus/ref_count.h"
#include "bus/term_interfaces.h"

namespace pubsdk {

class CReceiver : public IReceiver, public CRefCountBase {
 public:
  using Callback = std::function<void(const std::string& name, const std::string& data)>;

  explicit CReceiver(std::string name, Callback callback = nullptr)
      : name_(std::move(name)), callback_(std::move(callback)) {}

  HRESULT QueryInterface(const GUID& iid, void** out) override;
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }

  // Calls the callback, when there is one.
  HRESULT OnInput(const char* name, uint32_t length, const char* data) override;
  HRESULT OnOutput(const char*) override { return kS_OK; }
  HRESULT OnOutputLine(const char*) override { return kS_OK; }

  const std::string& name() const { return name_; }

 protected:
  ~CReceiver() override = default;

 private:
  const std::string name_;
  const Callback callback_;
};

// Limits of the asynchronous receiver's queue; an input beyond them is
// refused (E_FAIL) and dropped rather than letting the queue grow.
constexpr size_t kAsyncQueueMaxMessages = 4096;
constexpr size_t kAsyncQueueMaxBytes = 64u * 1024 * 1024;

class CReceiverImpAsync : public CReceiver {
 public:
  // Starts the delivery thread. `target` must outlive Stop (or the
  // receiver, when Stop is not called).
  explicit CReceiverImpAsync(IReceiver* target);

  // Queues a copy of the data; E_FAIL when name or data is null, length is
  // 0, the receiver is stopped or the queue is full.
  HRESULT OnInput(const char* name, uint32_t length, const char* data) override;

  // Stops and joins the thread; queued messages not yet delivered are
  // dropped. No call of the target starts after Stop returns. Idempotent;
  // not to be called from the target's own input.
  void Stop();

 private:
  ~CReceiverImpAsync() override;
  void Run();

  IReceiver* const target_;
  zev::Mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> queue_ GUARDED_BY(mu_);
  size_t queued_bytes_ GUARDED_BY(mu_) = 0;
  bool stop_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace pubsdk

#endif  // ZEV_BUS_RECEIVER_H_
