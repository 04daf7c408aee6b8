#include "hosting/rollback_keeper.h"

#include <pthread.h>

#include <system_error>
#include <utility>

#include "base/base64.h"
#include "base/log.h"
#include "base/metrics.h"
#include "contract/strategy_status.h"
#include "strategy/bad_versions.h"
#include "strategy/strategy_base.h"

namespace zev {

namespace {

constexpr int32_t kRolledBackEventCode = 7;

std::string KeyOf(const std::string& app, const std::string& component) { return app + '\0' + component; }

}  // namespace

RollbackKeeper::RollbackKeeper(RollbackOptions options)
    : options_(std::move(options)), watch_(options_.failures, options_.window_ms) {}

RollbackKeeper::~RollbackKeeper() { Stop(); }

void RollbackKeeper::Stop() {
  std::thread thread;
  {
    MutexLock lock(&mu_);
    stopping_ = true;
    pending_.clear();
    thread.swap(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
}

void RollbackKeeper::LoadedChanged(const std::vector<CZEVComponentProxy>& before,
                                   const std::vector<CZEVComponentProxy>& after) {
  const int64_t now = options_.clock->MonotonicMillis();
  MutexLock lock(&mu_);
  std::set<std::string> present;
  for (const CZEVComponentProxy& entry : after) {
    const std::string key = KeyOf(entry.GetAppCode(), entry.GetComponentID());
    present.insert(key);
    const CZEVComponentProxy* twin = nullptr;
    for (const CZEVComponentProxy& old : before) {
      if (IsSameComponent(old, entry)) {
        twin = &old;
        break;
      }
    }
    if (twin == nullptr || twin->GetVersion() == entry.GetVersion()) continue;
    if (rolled_back_.count(key + '\0' + twin->GetVersion()) != 0) {
      // The rollback itself: the version rolled back to is not on trial.
      watch_.Forget(key);
      previous_.erase(key);
      continue;
    }
    watch_.Started(key, entry.GetVersion(), now);
    CZEVComponentProxy previous = *twin;
    // Loaded entries carry their application's name in Base64, as the
    // catalogue lays it out; the sources' entries carry it plain.
    previous.SetAppName(Base64Decode(twin->GetAppName()));
    previous.SetUpdateFlag(false);
    previous_[key] = std::move(previous);
    LogWrite(kLogInfo, "%s %s took the place of %s: watched for %lld s",
             EscapeControlCharacters(entry.GetAppCode() + " " + entry.GetComponentID()).c_str(),
             EscapeControlCharacters(entry.GetVersion()).c_str(), EscapeControlCharacters(twin->GetVersion()).c_str(),
             static_cast<long long>(options_.window_ms / 1000));
  }
  for (const CZEVComponentProxy& old : before) {
    const std::string key = KeyOf(old.GetAppCode(), old.GetComponentID());
    if (present.count(key) != 0) continue;
    watch_.Forget(key);
    previous_.erase(key);
  }
}

void RollbackKeeper::OnMonitorEvent(const pubsdk::MonitorEvent& event) {
  if (options_.next != nullptr) options_.next->OnMonitorEvent(event);
  bool queued = false;
  {
    MutexLock lock(&mu_);
    const size_t before = pending_.size();
    if (event.kind == pubsdk::MonitorEvent::Kind::kComponentEnded && CrashLoopWatch::IsFailure(event.exit_code)) {
      Failed(event.app, event.component, event.version);
    } else if (event.kind == pubsdk::MonitorEvent::Kind::kHostEnded) {
      for (const auto& member : event.members) Failed(member.app, member.component, member.version);
    }
    queued = pending_.size() != before;
  }
  if (queued) wake_.notify_all();
}

void RollbackKeeper::Failed(const std::string& app, const std::string& component, const std::string& version) {
  const std::string key = KeyOf(app, component);
  if (stopping_ || !watch_.Failed(key, version, options_.clock->MonotonicMillis())) return;
  Pending pending;
  pending.app = app;
  pending.component = component;
  pending.version = version;
  auto previous = previous_.find(key);
  if (previous != previous_.end()) {
    pending.has_previous = true;
    pending.previous = previous->second;
    previous_.erase(previous);
  }
  rolled_back_.insert(key + '\0' + version);
  pending_.push_back(std::move(pending));
  if (thread_.joinable()) return;
  try {
    thread_ = std::thread(&RollbackKeeper::Run, this);
    pthread_setname_np(thread_.native_handle(), "zev-rollback");
  } catch (const std::system_error& e) {
    // The rollback waits in the queue for the next failure to try again.
    LogWrite(kLogError, "No thread for the rollback of %s: %s", EscapeControlCharacters(app + " " + component).c_str(),
             e.what());
  }
}

void RollbackKeeper::Run() {
  for (;;) {
    Pending pending;
    {
      MutexLock lock(&mu_);
      wake_.wait(lock.native(), [this] {
        mu_.AssertHeld();
        return stopping_ || !pending_.empty();
      });
      if (stopping_) return;
      pending = std::move(pending_.front());
      pending_.pop_front();
    }
    RollBack(pending);
  }
}

void RollbackKeeper::RollBack(const Pending& pending) {
  BadVersion mark;
  mark.app = pending.app;
  mark.component = pending.component;
  mark.version = pending.version;
  if (pending.has_previous) {
    mark.previous = pending.previous.GetVersion();
    mark.previous_entry = pending.previous;
  }
  const std::string what = pending.app + " " + pending.component;
  std::string text = what + " " + pending.version + " failed " + std::to_string(options_.failures) +
                     " times within " + std::to_string(options_.window_ms / 1000) + " s of its start: ";
  text += pending.has_previous ? "rolled back to " + mark.previous : "no previous version, released";
  if (!MarkBadVersion(options_.registry, mark)) {
    LogWrite(kLogError, "The bad version %s %s cannot be stored: %s", EscapeControlCharacters(what).c_str(),
             EscapeControlCharacters(pending.version).c_str(), RegLastError().c_str());
  }
  LogWrite(kLogError, "%s", EscapeControlCharacters(text).c_str());
  DebugPrintAt(kJournalError, "%s", EscapeControlCharacters(text).c_str());
  Metrics().rollbacks.Add({pending.component});
  const int64_t wall = options_.clock->WallMillis();
  if (!RecordRollback(options_.registry, text, wall)) {
    LogWrite(kLogWarning, "The rollback cannot be recorded in the strategy status: %s", RegLastError().c_str());
  }
  if (options_.events) {
    EventElement event;
    event.appCode = pending.app;
    event.componentLibraryId = pending.component;
    event.version = pending.version;
    event.eventState = kRolledBackEventCode;
    event.eventTimestamp = wall;
    event.eventMessage = "rolledback";
    event.eventContent = text;
    options_.events(event);
  }
  std::shared_ptr<CZEVStrategyManager> strategies = options_.strategies ? options_.strategies() : nullptr;
  if (strategies) strategies->HoldsChanged();
}

}  // namespace zev
