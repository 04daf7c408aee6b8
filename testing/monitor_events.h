// Records what a host monitor tells its observer (MonitorOptions::observer)
// and lets a test wait for it, bounded in real time.
#ifndef ZEV_TESTING_MONITOR_EVENTS_H_
#define ZEV_TESTING_MONITOR_EVENTS_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "hosting/monitor.h"

namespace zev {

class MonitorEventLog : public pubsdk::MonitorObserver {
 public:
  using Kind = pubsdk::MonitorEvent::Kind;

  void OnMonitorEvent(const pubsdk::MonitorEvent& event) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(event);
    cv_.notify_all();
  }
  // The events of `kind` so far, in order.
  std::vector<pubsdk::MonitorEvent> Of(Kind kind) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<pubsdk::MonitorEvent> of;
    for (const pubsdk::MonitorEvent& event : events_) {
      if (event.kind == kind) of.push_back(event);
    }
    return of;
  }
  size_t Count(Kind kind) { return Of(kind).size(); }
  // Waits until `count` events of `kind` were told.
  bool AwaitCount(Kind kind, size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
      size_t n = 0;
      for (const pubsdk::MonitorEvent& event : events_) n += event.kind == kind;
      return n >= count;
    });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<pubsdk::MonitorEvent> events_;  // guarded by mu_
};

}  // namespace zev

#endif  // ZEV_TESTING_MONITOR_EVENTS_H_
