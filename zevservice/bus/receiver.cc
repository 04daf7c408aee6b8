#include "bus/receiver.h"

#include <pthread.h>
#include <unistd.h>

#include "bus/runtime_log.h"
#include "xson/xsonv.h"

namespace pubsdk {

HRESULT CReceiver::QueryInterface(const GUID& iid, void** out) {
  if (out == nullptr) return kE_POINTER;
  if (iid != IID_IUnknown && iid != IID_IReceiver) {
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  *out = static_cast<IReceiver*>(this);
  AddRefImpl();
  return kS_OK;
}

HRESULT CReceiver::OnInput(const char* name, uint32_t length, const char* data) {
  if (callback_) callback_(name ? name : "", data ? std::string(data, length) : std::string());
  return kS_OK;
}

CReceiverImpAsync::CReceiverImpAsync(IReceiver* target)
    : CReceiver("CReceiverImpAsync"), target_(target), thread_([this] { Run(); }) {}

CReceiverImpAsync::~CReceiverImpAsync() { Stop(); }

HRESULT CReceiverImpAsync::OnInput(const char* name, uint32_t length, const char* data) {
  static const char kNote[] = "CReceiverImpAsync  Oninput \n";
  (void)!write(STDOUT_FILENO, kNote, sizeof(kNote) - 1);
  if (name == nullptr || data == nullptr || length == 0) return kE_FAIL;
  {
    zev::MutexLock lock(&mu_);
    if (stop_) return kE_FAIL;
    if (queue_.size() >= kAsyncQueueMaxMessages || queued_bytes_ + length > kAsyncQueueMaxBytes) {
      RuntimeLog("CReceiverImpAsync queue full (%zu messages, %zu bytes): message of %u bytes dropped",
                 queue_.size(), queued_bytes_, length);
      return kE_FAIL;
    }
    queue_.emplace_back(data, length);
    queued_bytes_ += length;
  }
  cv_.notify_one();
  return kS_OK;
}

void CReceiverImpAsync::Stop() {
  {
    zev::MutexLock lock(&mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CReceiverImpAsync::Run() {
  pthread_setname_np(pthread_self(), "zev-bus-recv");
  for (;;) {
    std::deque<std::string> batch;
    {
      zev::MutexLock lock(&mu_);
      // The predicate makes a message queued before the wait count: without
      // it that wake-up would be lost until the next message arrives.
      cv_.wait(lock.native(), [this] {
        mu_.AssertHeld();
        return stop_ || !queue_.empty();
      });
      if (stop_) return;
      batch.swap(queue_);
      queued_bytes_ = 0;
    }
    for (std::string& text : batch) {
      std::string name;
      xson::xsonv_t object;
      if (object.from_json(text) && object.type() == xson::vtObject) {
        xson::xsonv_t member;
        if (object.object()->Get("clientname", member.get()) && member.type() == xson::vtString8) {
          name = member.string();
        }
      }
      {
        // Stop may have come while this batch was being delivered.
        zev::MutexLock check(&mu_);
        if (stop_) return;
      }
      target_->OnInput(name.c_str(), static_cast<uint32_t>(text.size()), text.c_str());
    }
  }
}

}  // namespace pubsdk
