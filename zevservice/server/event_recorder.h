// Keeps the events the service reports: in the event history of the data
// folder (contract/event_history.h) and, when the service runs under
// systemd, in the journal with fields of their own (ZEV_EVENT_CODE, ZEV_APP,
// ZEV_COMPONENT, ZEV_VERSION), so that `journalctl ZEV_COMPONENT=ID` finds
// a component's events.
#ifndef ZEV_SERVER_EVENT_RECORDER_H_
#define ZEV_SERVER_EVENT_RECORDER_H_

#include <string>
#include <vector>

#include "contract/event_history.h"
#include "server/event_reporter.h"

namespace zev {

class EventRecorder {
 public:
  // History in `dir` (none when empty), keeping `kept` events; journal
  // entries when `journal`.
  EventRecorder(const std::string& dir, bool journal, size_t kept = kEventHistoryKept);

  // Safe from any thread.
  void Record(const std::vector<EventElement>& events);

 private:
  EventHistoryWriter history_;
  const bool has_history_;
  const bool journal_;
};

// Whether this process runs under systemd: its standard streams go to the
// journal (JOURNAL_STREAM) or the journal's socket folder exists.
bool JournalAvailable();

// The journal's priority of an event code: error for a rollback, warning
// for failures and unexpected exits, info for the rest.
int EventPriority(int32_t code);

}  // namespace zev

#endif  // ZEV_SERVER_EVENT_RECORDER_H_
