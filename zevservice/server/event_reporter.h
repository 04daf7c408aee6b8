// Event reporting: download and host events are queued from any thread and
// sent to the strategy server ("/api/event") in signed batches of at most 50,
// one batch every period (5 seconds), fire and forget.
#ifndef ZEV_SERVER_EVENT_REPORTER_H_
#define ZEV_SERVER_EVENT_REPORTER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "platform/machine_info.h"
#include "base/message_queue.h"
#include "base/task_timer.h"
#include "server/server_channel.h"

namespace zev {

struct EventElement {
  std::string appCode;
  std::string componentLibraryId;
  std::string version;
  std::string reserved;  // always empty
  int32_t eventState = 0;
  int64_t eventTimestamp = 0;  // milliseconds since 1970-01-01 UTC
  std::string eventMessage;
  std::string eventContent;
};

constexpr size_t kEventBatchSize = 50;
// At most this many events wait; beyond it the oldest are dropped.
constexpr size_t kEventQueueCap = 10000;

// Takes every list a reporter queues also (the service's event history and
// journal), on the queuing thread.
using EventKeeper = std::function<void(const std::vector<EventElement>&)>;

class CZEVEventReporter {
 public:
  // Sends every `period` seconds of `clock` (not owned; must outlive the
  // reporter) while events wait; the timer starts with the first events
  // queued, and its first run comes at once. A run that finds the queue
  // empty ends it, so that an idle reporter keeps no thread; the next
  // events start it again. `keep`, when set, also gets every list queued.
  explicit CZEVEventReporter(Clock* clock, EventKeeper keep = EventKeeper(), int64_t period = 5);
  ~CZEVEventReporter();  // stops the timer (waiting for a send under way)

  // Appends the events; false (nothing done) for an empty list.
  bool QueueEvents(const std::vector<EventElement>& events);
  size_t pending() const { return queue_.size(); }
  // Ends the timer, waiting for a send under way; nothing is sent after
  // (events queued later stay queued). Once, from one thread.
  void Stop();

 private:
  void SendBatch();
  void PostEvents(const std::vector<EventElement>& events);

  // Made with the first batch, so that the machine's identity is read when
  // there is something to send rather than when the service starts; used on
  // the timer thread only.
  std::unique_ptr<CZEVServerChannel> channel_;
  const EventKeeper keep_;
  CZEVMessageQueue<EventElement> queue_;
  std::atomic<bool> overflow_logged_{false};
  Clock* const clock_;
  const int64_t period_;
  Mutex timer_mu_;
  bool stopped_ GUARDED_BY(timer_mu_) = false;
  bool sending_ GUARDED_BY(timer_mu_) = false;  // the timer holds the periodic entry
  uint64_t entry_ GUARDED_BY(timer_mu_) = 0;
  // Last: its thread uses the members above.
  std::unique_ptr<TaskTimer> timer_ GUARDED_BY(timer_mu_);
};

// The report JSON: machine facts and the qualifying events (appCode,
// componentLibraryId and version set, timestamp > 0), each with a new
// eventId; "eventList" is null when none qualifies. Empty (nothing to send)
// when the deviceId is empty.
std::string BuildEventJson(const IdentityInfo& identity, const SystemInfoRecord& system,
                           const std::vector<EventElement>& events);

// Milliseconds since 1970-01-01 UTC now, on the real clock.
int64_t NowMillis();

}  // namespace zev

#endif  // ZEV_SERVER_EVENT_REPORTER_H_
