#include "server/event_reporter.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <utility>

#include <json/json.h>

#include "base/annotated_mutex.h"
#include "contract/strict_json.h"
#include "platform/guid.h"
#include "server/device_json.h"
#include "platform/text.h"
#include "model/catalogue_json.h"

namespace zev {

int64_t NowMillis() { return Clock::Real()->WallMillis(); }

std::string BuildEventJson(const IdentityInfo& identity, const SystemInfoRecord& system,
                           const std::vector<EventElement>& events) {
  if (identity.deviceId.empty()) return std::string();
  Json::Value root(Json::objectValue);
  root["uid"] = identity.uid;
  root["hid"] = identity.hardwareId;
  root["deviceId"] = identity.deviceId;
  root["archType"] = ArchitectureCode(identity);
  root["platform"] = PlatformCode(identity);
  root["macAddress"] = system.mac;
  root["computerName"] = system.pcName;
  root["version"] = identity.exeVersion;
  Json::Value list(Json::nullValue);
  for (const EventElement& e : events) {
    std::string event_id = GuidToText(NewGuid());
    if (e.appCode.empty() || e.componentLibraryId.empty() || e.version.empty() || event_id.empty() ||
        e.eventTimestamp <= 0) {
      continue;
    }
    Json::Value item(Json::objectValue);
    item["appCode"] = e.appCode;
    item["componentLibraryId"] = e.componentLibraryId;
    item["version"] = e.version;
    item["eventId"] = event_id;
    item["eventState"] = e.eventState;
    item["eventTimestamp"] = static_cast<Json::Int64>(e.eventTimestamp);
    item["eventMessage"] = e.eventMessage;
    item["eventContent"] = e.eventContent;
    list.append(item);
  }
  root["eventList"] = list;
  return TrimLineEnd(WriteCompactJson(root, /*utf8=*/true));
}

CZEVEventReporter::CZEVEventReporter(Clock* clock, EventKeeper keep, int64_t period)
    : keep_(std::move(keep)), clock_(clock), period_(period) {}

CZEVEventReporter::~CZEVEventReporter() { Stop(); }

void CZEVEventReporter::Stop() {
  std::unique_ptr<TaskTimer> timer;
  {
    MutexLock lock(&timer_mu_);
    stopped_ = true;
    timer = std::move(timer_);
  }
  timer.reset();  // waits for a send under way
}

bool CZEVEventReporter::QueueEvents(const std::vector<EventElement>& events) {
  if (events.empty()) return false;
  if (keep_) keep_(events);
  size_t dropped = 0;
  for (const EventElement& e : events) dropped += queue_.push_capped(e, kEventQueueCap);
  // A server that cannot be reached while downloads keep failing would
  // otherwise let the queue grow without bound; one line says so.
  if (dropped > 0 && !overflow_logged_.exchange(true))
    LogWrite(kLogInfo, "event queue full (%zu events): the oldest are dropped", kEventQueueCap);
  MutexLock lock(&timer_mu_);
  if (!sending_ && !stopped_) {
    if (!timer_) timer_ = std::make_unique<TaskTimer>(clock_);
    entry_ = timer_->schedule(0, [this](uint64_t) { SendBatch(); }, period_);
    sending_ = true;
  }
  return true;
}

void CZEVEventReporter::SendBatch() {
  std::vector<EventElement> batch;
  EventElement e;
  while (batch.size() < kEventBatchSize && queue_.pop(e, false)) batch.push_back(e);
  if (batch.empty()) {
    // A period without events: the timer's thread may go. Events queued
    // before this look keep it; those queued after it start a new run.
    MutexLock lock(&timer_mu_);
    if (sending_ && queue_.size() == 0 && timer_) {
      timer_->cancel(entry_);
      sending_ = false;
    }
    return;
  }
  PostEvents(batch);
}

void CZEVEventReporter::PostEvents(const std::vector<EventElement>& events) {
  if (!channel_) channel_ = std::make_unique<CZEVServerChannel>();
  std::string json = BuildEventJson(channel_->identity(), channel_->system(), events);
  if (json.empty()) return;  // no deviceId: the batch is dropped
  std::string reply;
  if (channel_->PostSealed(kEventEndpoint, json, &reply) != 0) return;
  // The reply's code and message change nothing; it is read for completeness.
  Json::Value root;
  ParseStrictJson(Utf8ToAnsi(reply), &root);
}

}  // namespace zev
