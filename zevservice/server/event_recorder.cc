#include "server/event_recorder.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdlib>

#include "base/log.h"

namespace zev {

namespace {

// Event codes that say something went wrong.
constexpr int32_t kDownloadFailedCode = 4;
constexpr int32_t kVerifyFailedCode = 6;
constexpr int32_t kRolledBackCode = 7;
constexpr int32_t kUnexpectedExitCode = 14;

void SendToJournal(const EventElement& e) {
  const std::string message = "event " + std::to_string(e.eventState) + " of " + e.appCode + "/" +
                              e.componentLibraryId + " " + e.version +
                              (e.eventMessage.empty() ? std::string() : ": " + e.eventMessage);
  // Fields are sent as they are; the journal keeps any bytes, line feeds too.
  sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", EventPriority(e.eventState),
                  "ZEV_EVENT_CODE=%d", static_cast<int>(e.eventState), "ZEV_APP=%s", e.appCode.c_str(),
                  "ZEV_COMPONENT=%s", e.componentLibraryId.c_str(), "ZEV_VERSION=%s", e.version.c_str(),
                  nullptr);
}

}  // namespace

bool JournalAvailable() {
  const char* stream = getenv("JOURNAL_STREAM");
  struct stat st {};
  return (stream != nullptr && stream[0] != '\0') || stat("/run/systemd/journal", &st) == 0;
}

int EventPriority(int32_t code) {
  switch (code) {
    case kRolledBackCode:
      return LOG_ERR;
    case kDownloadFailedCode:
    case kVerifyFailedCode:
    case kUnexpectedExitCode:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

EventRecorder::EventRecorder(const std::string& dir, bool journal, size_t kept)
    : history_(dir, kept), has_history_(!dir.empty()), journal_(journal) {}

void EventRecorder::Record(const std::vector<EventElement>& events) {
  if (has_history_) {
    std::vector<HistoryEvent> kept;
    for (const EventElement& e : events) {
      kept.push_back({e.eventTimestamp, e.eventState, e.appCode, e.componentLibraryId, e.version, e.eventMessage});
    }
    if (!history_.Append(kept)) LogWrite(kLogWarning, "%zu event(s) could not be added to the event history", kept.size());
  }
  if (journal_) {
    for (const EventElement& e : events) SendToJournal(e);
  }
}

}  // namespace zev
