// The event history: every event the service reports to the strategy server
// is also appended to "<common>/events.log", one JSON object a line:
//   {"time":MILLIS,"code":N,"app":"...","component":"...","version":"...",
//    "message":"..."}
// When the file holds `kept` lines it becomes "events.log.1" (replacing the
// older one) and a new file begins, so the two files hold at least the last
// `kept` events; a reader takes the last `kept` of both. The files are
// readable by everyone (0644): `zevctl events` reads them as any user,
// without asking the service.
//
// A line that does not parse (one cut by a crash) is skipped; a reader
// skips the members it does not know, so that a later writer may add some.
#ifndef ZEV_CONTRACT_EVENT_HISTORY_H_
#define ZEV_CONTRACT_EVENT_HISTORY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"

namespace zev {

extern const char kEventHistoryFileName[];  // "events.log"
// Events kept by the service.
constexpr size_t kEventHistoryKept = 10000;

struct HistoryEvent {
  int64_t time_ms = 0;  // milliseconds since 1970-01-01 UTC
  int32_t code = 0;
  std::string app;
  std::string component;
  std::string version;
  std::string message;
};

// Appends events to the history in one folder. Safe from any thread of one
// process (the service is the only writer).
class EventHistoryWriter {
 public:
  EventHistoryWriter(std::string dir, size_t kept = kEventHistoryKept);
  ~EventHistoryWriter();
  EventHistoryWriter(const EventHistoryWriter&) = delete;
  EventHistoryWriter& operator=(const EventHistoryWriter&) = delete;

  // False when the file cannot be opened or written (the events are lost;
  // the next call tries again).
  bool Append(const std::vector<HistoryEvent>& events) EXCLUDES(mu_);

 private:
  bool OpenLocked() REQUIRES(mu_);
  void CloseLocked() REQUIRES(mu_);

  const std::string path_;
  const size_t kept_;
  Mutex mu_;
  int fd_ GUARDED_BY(mu_) = -1;
  size_t lines_ GUARDED_BY(mu_) = 0;  // in the open file
};

struct HistoryFilter {
  int64_t since_ms = 0;   // only events at or after this time
  std::string component;  // only this component's events (empty: all)
};

// The last `kept` events of the history in `dir` that pass `filter`, oldest
// first. No history yet is an empty list; false with *error when a file
// exists but cannot be read.
bool ReadEventHistory(const std::string& dir, const HistoryFilter& filter, std::vector<HistoryEvent>* events,
                      std::string* error, size_t kept = kEventHistoryKept);

}  // namespace zev

#endif  // ZEV_CONTRACT_EVENT_HISTORY_H_
