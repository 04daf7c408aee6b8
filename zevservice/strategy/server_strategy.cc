#include "strategy/server_strategy.h"

#include <pthread.h>
#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <set>
#include <utility>

#include "base/base64.h"
#include "base/log.h"
#include "base/metrics.h"
#include "model/catalogue.h"
#include "model/catalogue_json.h"
#include "strategy/version_collection.h"

namespace zev {

PassTimer::PassTimer(int64_t first_s, int64_t interval_s, bool jitter, uint64_t seed, int64_t retry_first_s)
    : first_s_(first_s), interval_s_(interval_s), retry_first_s_(retry_first_s), jitter_(jitter), random_(seed) {}

int64_t PassTimer::Between(int64_t low_ms, int64_t high_ms) {
  if (high_ms <= low_ms) return low_ms;
  return std::uniform_int_distribution<int64_t>(low_ms, high_ms)(random_);
}

int64_t PassTimer::Spread(int64_t ms, int64_t high_ms) {
  ms = std::min(ms, high_ms);
  if (!jitter_) return ms;
  const int64_t spread = ms / 10;
  const int64_t low = std::min(ms, high_ms - spread);
  return Between(low, low + spread);
}

int64_t PassTimer::FirstWaitMs() { return Spread(first_s_ * 1000, kFirstHighSeconds * 1000); }

int64_t PassTimer::NextWaitMs(bool reached) {
  if (reached) {
    retry_s_ = 0;
    return Spread(interval_s_ * 1000, kIntervalHighSeconds * 1000);
  }
  const int64_t floor_s = std::min(retry_first_s_, interval_s_);
  if (!jitter_) {
    // A short outage should not cost a whole Interval.
    retry_s_ = retry_s_ == 0 ? floor_s : std::min(retry_s_ * 2, interval_s_);
    return retry_s_ * 1000;
  }
  retry_s_ = std::min(std::max(retry_s_, floor_s) * 2, interval_s_);
  return Between(floor_s * 1000, retry_s_ * 1000);
}

namespace {

void WriteStatusRecord(RegistryStore* registry, const StrategyStatus& status) {
  if (!WriteStrategyStatus(registry, status))
    LogWrite(kLogInfo, "ServerStrategy cannot write its status: %s", RegLastError().c_str());
}

}  // namespace

CZEVServerStrategy::CZEVServerStrategy(Options options)
    : clock_(options.clock),
      registry_(options.registry),
      jitter_(options.jitter),
      first_retry_ms_(options.first_retry_ms),
      record_save_ms_(options.record_save_ms),
      first_floor_s_(options.first_floor_ms / 1000),
      interval_floor_s_(options.interval_floor_ms / 1000),
      events_(std::move(options.events)),
      download_dir_(options.download_dir),
      collect_old_versions_(options.collect_old_versions),
      loaded_(std::move(options.loaded)) {
  database_ = std::make_unique<LocalComponentDatabase>(
      options.database_key.empty() ? MakeDatabaseKey() : options.database_key, registry_);
  database_->CheckDataVersion();

  CZEVUpdater::Options updater_options;
  updater_options.clock = clock_;
  updater_options.downloader_dir = options.downloader_dir;
  on_update_ = [this](const std::string& key, bool success, bool finished) {
    return OnTaskUpdate(key, success, finished);
  };
  on_event_ = [this](const std::string& text, uint16_t code) { return OnTaskEvent(text, code); };
  updater_ = std::make_unique<CZEVUpdater>(updater_options);
  updater_->setLogEventCallback(&on_event_);
  updater_->setUpdateCallback(&on_update_);
  if (!updater_->isInitialised())
    LogWrite(kLogInfo, "ServerStrategy download tasks unavailable: %s", updater_->getLastError().c_str());

  // The first load takes the stored copy: the service starts without the
  // server.
  RefreshCatalogue();
}

CZEVServerStrategy::~CZEVServerStrategy() { Stop(); }

void CZEVServerStrategy::Stop() {
  {
    std::lock_guard<std::mutex> lock(wake_mu_);
    stopping_ = true;
  }
  wake_cv_.notify_all();
  pass_cv_.notify_all();
  {
    MutexLock lock(&thread_mu_);
    if (update_thread_.joinable()) update_thread_.join();
  }
  // A pass in progress may have started a run; it ends here.
  updater_->stop();
  FlushRecords();
}

CZEVServerStrategy::ComponentKey CZEVServerStrategy::KeyOf(const CZEVComponentProxy& entry) {
  return ComponentKey(entry.GetAppCode(), entry.GetComponentID(), entry.GetVersion(), entry.GetArchName());
}

bool CZEVServerStrategy::GetComponents(std::vector<CZEVComponentProxy>* entries) {
  {
    MutexLock lock(&entries_mu_);
    for (const auto& [key, entry] : server_entries_)
      if (entry.GetUpdateFlag()) entries->push_back(entry);
  }
  StartUpdateThread();
  return true;
}

void CZEVServerStrategy::StartUpdateThread() {
  MutexLock lock(&thread_mu_);
  if (!update_thread_.joinable() && !stopping_) {
    update_thread_ = std::thread(&CZEVServerStrategy::UpdateThread, this);
    pthread_setname_np(update_thread_.native_handle(), "zev-strategy");
  }
}

bool CZEVServerStrategy::UpdateNow(int64_t timeout_ms, StrategyStatus* result) {
  StartUpdateThread();
  std::unique_lock<std::mutex> lock(wake_mu_);
  if (stopping_) return false;
  // A pass under way began before the call: the one asked for comes after.
  const int target = passes_.load() + 1;
  wake_now_ = true;
  wake_cv_.notify_all();
  if (timeout_ms <= 0) return false;
  clock_->WaitFor(lock, pass_cv_, timeout_ms, [&] { return stopping_.load() || passes_ended_ >= target; });
  if (passes_ended_ < target) return false;
  lock.unlock();
  if (result != nullptr) {
    MutexLock status(&status_mu_);
    *result = status_;
  }
  return true;
}

void CZEVServerStrategy::EndWaits() {
  {
    std::lock_guard<std::mutex> lock(wake_mu_);
    stopping_ = true;
  }
  wake_cv_.notify_all();
  pass_cv_.notify_all();
}

void CZEVServerStrategy::EndPass() {
  {
    std::lock_guard<std::mutex> lock(wake_mu_);
    passes_ended_ = handed_;
  }
  pass_cv_.notify_all();
}

std::vector<zev::Hold> CZEVServerStrategy::CurrentHolds() {
  std::vector<zev::Hold> holds;
  if (!zev::ReadHolds(registry_, &holds)) {
    LogWrite(kLogWarning, "ServerStrategy cannot read the holds, none apply: %s", RegLastError().c_str());
    holds.clear();
  }
  return holds;
}

bool CZEVServerStrategy::CheckComponent(const CZEVComponentProxy& entry) {
  std::string error;
  if (entry.CheckInstalledFiles(&error) != 0) {
    LogWrite(kLogError, "Hash check failed ,%s", error.c_str());
    return false;
  }
  // Intact files in a folder another user may change prove nothing.
  if (!IsTrustedInstallFolder(entry.GetInstallDir(), &error)) {
    LogWrite(kLogError, "%s install folder refused: %s", CZEVUpdater::TaskKey(entry).c_str(), error.c_str());
    return false;
  }
  const int64_t recorded = database_->GetRecordedUpdateTime(entry);
  if (recorded < 0 || recorded == entry.GetUpdateTime()) return true;
  LogWrite(kLogInfo, "updateTime changed componentId: %s", entry.GetComponentID().c_str());
  return false;
}

bool CZEVServerStrategy::LoadServerCatalogue(CZEVApplications* applications, bool* from_server) {
  *from_server = false;
  bool result = false;
  std::string error;
  if (!first_server_load_) {
    CZEVApplications received;
    const int32_t code = channel_.RequestCatalogue(download_dir_, &received, &error);
    if (code == 0) {
      std::string bytes;
      received.SerializeToString(&bytes);
      if (!database_->SaveServerCopy(bytes))
        LogWrite(kLogInfo, "save Server Content error Code:%d", static_cast<int>(errno));
      *applications = std::move(received);
      *from_server = true;
      result = true;
    } else {
      LogWrite(kLogInfo, "%s", error.c_str());
    }
  }
  first_server_load_ = false;
  {
    MutexLock lock(&status_mu_);
    status_.error = result ? std::string() : error;
  }
  if (result) return true;
  LogWrite(kLogInfo, "get components from server local reg");
  std::string bytes;
  if (!database_->ReadServerCopy(&bytes)) {
    LogWrite(kLogInfo, "get components server reg failed");
    return false;
  }
  applications->Clear();
  if (!bytes.empty() && !applications->ParseFromString(bytes)) {
    LogWrite(kLogInfo, "get components server reg failed");
    return false;
  }
  return true;
}

CZEVServerStrategy::EntryMap CZEVServerStrategy::BuildServerEntries(const CZEVApplications& applications) const {
  EntryMap entries;
  std::set<ComponentKey> repeated;  // logged once each
  for (const CZEVApplication& application : applications.application()) {
    for (const CZEVComponent& component : application.components().component()) {
      for (const CZEVVersion& version : component.versions().version()) {
        CZEVComponentProxy entry(cstServerStrategy);
        *entry.mutable_component() = component;
        // One entry per version, each carrying only its own.
        CZEVVersions* versions = entry.mutable_component()->mutable_versions();
        versions->clear_version();
        *versions->add_version() = version;
        entry.SetAppName(application.name());
        entry.SetAppCode(application.code());
        entry.SetComponentID(component.componentid());
        const std::string& dir = version.manifest().downloaddir();
        entry.SetInstallRoot(dir.empty() ? download_dir_ : dir);
        LogWrite(kLogInfo, "strategy component:  %s, %s, %s, %s", entry.GetAppCode().c_str(),
                 entry.GetComponentID().c_str(), entry.GetVersion().c_str(), entry.GetArchName().c_str());
        // Texts from the server become paths of a root service.
        std::string why;
        if (!CheckPathTexts(entry, &why)) {
          LogWrite(kLogInfo, "strategy component refused: %s", why.c_str());
          continue;
        }
        ComponentKey key = KeyOf(entry);
        if (entries.count(key) != 0 && repeated.insert(key).second) {
          LogWrite(kLogWarning, "strategy component listed more than once, the last entry is used: %s, %s, %s, %s",
                   std::get<0>(key).c_str(), std::get<1>(key).c_str(), std::get<2>(key).c_str(),
                   std::get<3>(key).c_str());
        }
        entries[std::move(key)] = std::move(entry);
      }
    }
  }
  return entries;
}

void CZEVServerStrategy::ValidateApplication(const CZEVApplication& application, const std::vector<zev::Hold>& holds,
                                             EntryMap* entries, EntryMap* remove) {
  for (const CZEVComponent& component : application.components().component()) {
    for (const CZEVVersion& version : component.versions().version()) {
      // The architecture name as the catalogue entries give it, so that
      // versions of every architecture meet their server entry.
      const ComponentKey key(application.code(), component.componentid(), version.version(),
                             ArchName(version.archtype()));
      LogWrite(kLogInfo, "local component:  %s, %s, %s,%s", std::get<0>(key).c_str(), std::get<1>(key).c_str(),
               std::get<2>(key).c_str(), std::get<3>(key).c_str());
      CZEVComponentProxy record;
      *record.mutable_component() = component;
      CZEVVersions* versions = record.mutable_component()->mutable_versions();
      versions->clear_version();
      *versions->add_version() = version;
      record.SetAppName(application.name());
      record.SetAppCode(application.code());
      record.SetComponentID(component.componentid());
      auto found = entries->find(key);
      const zev::Hold* hold = zev::FindHold(holds, application.code(), component.componentid());
      if (found == entries->end() && hold != nullptr && hold->version == version.version()) {
        // Held: kept as the server strategy's own entry while intact.
        CZEVComponentProxy kept(cstServerStrategy);
        *kept.mutable_component() = record.component();
        // The local database keeps the application's name in Base64.
        kept.SetAppName(Base64Decode(application.name()));
        kept.SetAppCode(application.code());
        kept.SetComponentID(component.componentid());
        const std::string& dir = version.manifest().downloaddir();
        kept.SetInstallRoot(dir.empty() ? download_dir_ : dir);
        found = entries->emplace(key, std::move(kept)).first;
        LogWrite(kLogInfo, "held component kept: %s , %s , %s", std::get<0>(key).c_str(), std::get<1>(key).c_str(),
                 std::get<2>(key).c_str());
      }
      if (found == entries->end()) {
        (*remove)[key] = record;
        LogWrite(kLogInfo, "To be delete component: %s , %s , %s", std::get<0>(key).c_str(), std::get<1>(key).c_str(),
                 std::get<2>(key).c_str());
      } else if (CheckComponent(found->second)) {
        found->second.SetUpdateFlag(true);
      } else {
        (*remove)[key] = record;
        LogWrite(kLogWarning, "Component Valid checked failed component: %s , %s , %s", std::get<0>(key).c_str(),
                 std::get<1>(key).c_str(), std::get<2>(key).c_str());
      }
    }
  }
}

void CZEVServerStrategy::RemoveObsolete(const EntryMap& remove) {
  if (remove.empty()) return;
  LocalComponentDatabase::Batch batch(database_.get());
  for (const auto& [key, record] : remove) {
    if (batch.RemoveLocalRecord(record))
      LogWrite(kLogInfo, "remove Cancel Component componentId: %s", std::get<1>(key).c_str());
    else
      LogWrite(kLogInfo, "remove LocalComponent failed: %s", std::get<1>(key).c_str());
  }
  if (!batch.Commit()) LogWrite(kLogInfo, "remove LocalComponent: the local database could not be saved");
}

bool CZEVServerStrategy::RefreshCatalogue() {
  // Installations of the last run must be in the database before it is
  // read for validation.
  FlushRecords();
  CZEVApplications applications;
  bool from_server = false;
  const bool loaded = LoadServerCatalogue(&applications, &from_server);
  {
    MutexLock lock(&status_mu_);
    status_.result = loaded ? (from_server ? "server" : "stored copy") : "no catalogue";
  }
  zev::Metrics().passes.Add({loaded ? (from_server ? "server" : "stored_copy") : "no_catalogue"});
  if (!loaded) return false;
  // Built aside and swapped in whole, flags already set: a reader never
  // sees the listed versions without their installed state.
  EntryMap entries = BuildServerEntries(applications);
  const int64_t listed = static_cast<int64_t>(entries.size());
  database_->LoadLocalDatabase();
  EntryMap remove;
  const CZEVApplications local = database_->GetLocalApplications();
  const std::vector<zev::Hold> holds = CurrentHolds();
  for (const CZEVApplication& application : local.application())
    ValidateApplication(application, holds, &entries, &remove);
  RemoveObsolete(remove);
  {
    MutexLock pending(&pending_mu_);
    // Installations that completed while this map was built.
    for (const CZEVComponentProxy& record : unsaved_records_) {
      auto found = entries.find(KeyOf(record));
      if (found != entries.end()) found->second.SetUpdateFlag(true);
    }
    MutexLock lock(&entries_mu_);
    server_entries_.swap(entries);
  }
  MutexLock lock(&status_mu_);
  status_.listed = listed;
  return true;
}

bool CZEVServerStrategy::SetUpdateFlag(const ComponentKey& key) {
  MutexLock lock(&entries_mu_);
  auto found = server_entries_.find(key);
  if (found == server_entries_.end()) return false;
  found->second.SetUpdateFlag(true);
  return true;
}

bool CZEVServerStrategy::Wait(int64_t ms) {
  std::unique_lock<std::mutex> lock(wake_mu_);
  // An operator's wake ends the wait early for one pass.
  clock_->WaitFor(lock, wake_cv_, ms, [this] { return stopping_.load() || wake_now_; });
  return !stopping_;
}

void CZEVServerStrategy::UpdateThread() {
  auto read = [this](const char* key) {
    std::string text;
    return registry_->ReadString(RegRoot::kLocalMachine, key, "", &text) ? text : std::string();
  };
  const int64_t first = ParseSetting(read(kFirstSettingKey), kFirstDefaultSeconds, first_floor_s_, kFirstHighSeconds);
  const int64_t interval =
      ParseSetting(read(kIntervalSettingKey), kIntervalDefaultSeconds, interval_floor_s_, kIntervalHighSeconds);
  PassTimer timer(first, interval, jitter_, std::random_device()(), first_retry_ms_ / 1000);
  int64_t wait_ms = timer.FirstWaitMs();
  int64_t recorded_ms = 0;  // time of the status record when the last pass began
  for (;;) {
    {
      MutexLock lock(&status_mu_);
      status_.next_pass_ms = clock_->WallMillis() + wait_ms;
      // A pass with nothing to download has written its record before its
      // successor was known: the record gets it now.
      if (status_.time_ms != recorded_ms) WriteStatusRecord(registry_, status_);
    }
    if (!Wait(wait_ms)) {
      LogWrite(kLogInfo, "update thread quit.");
      return;
    }
    {
      MutexLock lock(&status_mu_);
      // Unknown until the pass has ended: never the pass that runs.
      status_.next_pass_ms = 0;
      recorded_ms = status_.time_ms;
    }
    bool reached = false;
    try {
      RunPass();
      MutexLock lock(&status_mu_);
      reached = status_.result == "server";
    } catch (const std::exception& e) {
      // Whatever one pass met, the next one comes: it is retried as a pass
      // that could not reach the server.
      LogWrite(kLogError, "update components catch error: %s", e.what());
      std::lock_guard<std::mutex> lock(wake_mu_);
      passes_ended_ = passes_.load();
    } catch (...) {
      LogWrite(kLogError, "update components catch error");
      std::lock_guard<std::mutex> lock(wake_mu_);
      passes_ended_ = passes_.load();
    }
    // Without the task manager no run reports the pass's end.
    if (!updater_->isInitialised()) {
      std::lock_guard<std::mutex> lock(wake_mu_);
      passes_ended_ = passes_.load();
    }
    pass_cv_.notify_all();
    wait_ms = timer.NextWaitMs(reached);
  }
}

void CZEVServerStrategy::RunPass() {
  {
    std::lock_guard<std::mutex> lock(wake_mu_);
    wake_now_ = false;
    ++passes_;
  }
  const std::vector<zev::Hold> holds = CurrentHolds();
  {
    MutexLock lock(&status_mu_);
    status_.failed = 0;
  }
  RefreshCatalogue();
  std::map<std::string, CZEVComponentProxy> tasks;
  {
    MutexLock lock(&entries_mu_);
    for (const auto& [key, entry] : server_entries_) {
      if (entry.GetUpdateFlag()) continue;
      if (zev::HeldAway(holds, entry)) {
        LogWrite(kLogInfo, "held at another version, not installed: %s %s %s", entry.GetAppCode().c_str(),
                 entry.GetComponentID().c_str(), entry.GetVersion().c_str());
        continue;
      }
      tasks[CZEVUpdater::TaskKey(entry)] = entry;
      LogWrite(kLogInfo, "add down load list: %s %s %s %s ", entry.GetAppCode().c_str(), entry.GetComponentID().c_str(),
               entry.GetVersion().c_str(), entry.GetArchName().c_str());
    }
  }
  {
    MutexLock lock(&pending_mu_);
    pending_tasks_ = tasks;
  }
  LogWrite(kLogInfo, "ServerStrategy start update components.");
  // Versions whose files are already in place are recorded together, in
  // one save; the others go to the task manager.
  std::vector<const std::pair<const std::string, CZEVComponentProxy>*> downloads;
  {
    LocalComponentDatabase::Batch batch(database_.get());
    for (const auto& task : tasks) {
      std::string error;
      // Files in an unsafe folder go to the task manager, which refuses the
      // folder and reports it.
      if (task.second.CheckInstalledFiles(&error) == 0 && IsTrustedInstallFolder(task.second.GetInstallDir(), &error)) {
        LogWrite(kLogWarning, "update exists task :%s", task.first.c_str());
        if (batch.RecordInstalled(task.second)) {
          SetUpdateFlag(KeyOf(task.second));
          continue;
        }
      }
      downloads.push_back(&task);
    }
    if (!batch.Commit()) LogWrite(kLogError, "ServerStrategy: the local database could not be saved");
  }
  for (const auto* task : downloads) {
    if (!updater_->addTask(task->second))
      LogWrite(kLogWarning, "%s add task download failed :%s", task->first.c_str(), updater_->getLastError().c_str());
  }
  {
    // The end of the run started here ends this pass.
    std::lock_guard<std::mutex> lock(wake_mu_);
    handed_ = passes_.load();
  }
  updater_->start();
}

void CZEVServerStrategy::FlushRecords() {
  std::vector<CZEVComponentProxy> records;
  {
    MutexLock lock(&pending_mu_);
    records.swap(unsaved_records_);
    last_save_ms_ = clock_->MonotonicMillis();
  }
  if (records.empty()) return;
  LocalComponentDatabase::Batch batch(database_.get());
  for (const CZEVComponentProxy& record : records) {
    if (!batch.RecordInstalled(record))
      LogWrite(kLogError, "%s update local database failed ", CZEVUpdater::TaskKey(record).c_str());
  }
  if (!batch.Commit()) LogWrite(kLogError, "ServerStrategy: the local database could not be saved");
}

void CZEVServerStrategy::WriteStatus() {
  StrategyStatus status;
  {
    MutexLock lock(&entries_mu_);
    for (const auto& [key, entry] : server_entries_)
      if (entry.GetUpdateFlag()) ++status.installed;
  }
  // Written under the status lock, as the update thread writes it again
  // with the next pass: the later of the two writes lands last.
  MutexLock lock(&status_mu_);
  status_.time_ms = clock_->WallMillis();
  status_.installed = status.installed;
  WriteStatusRecord(registry_, status_);
}

bool CZEVServerStrategy::OnTaskUpdate(const std::string& task_key, bool success, bool finished) {
  if (finished) {
    FlushRecords();
    WriteStatus();
    // Before the report: what the manager runs now is still loaded.
    if (collect_old_versions_ && !stopping_ && !download_dir_.empty()) {
      zev::CollectOldVersions(download_dir_, database_.get(), loaded_, registry_, /*dry_run=*/false);
    }
    // After Stop the strategy manager may be going away.
    if (!stopping_) ReportChanged(cstServerStrategy);
    // After the report: a waiter sees the pass's catalogue loaded.
    EndPass();
    LogWrite(kLogInfo, "ServerStrategy update components finished\n");
    return true;
  }
  if (!success) {
    LogWrite(kLogWarning, "%s download failed : errorMsg: %s", task_key.c_str(), updater_->getLastError().c_str());
    MutexLock lock(&status_mu_);
    ++status_.failed;
    return false;
  }
  ComponentKey key;
  {
    MutexLock lock(&pending_mu_);
    auto found = pending_tasks_.find(task_key);
    if (found != pending_tasks_.end()) key = KeyOf(found->second);
  }
  LogWrite(kLogInfo, "download success: %s %s %s %s ", std::get<0>(key).c_str(), std::get<1>(key).c_str(),
           std::get<2>(key).c_str(), std::get<3>(key).c_str());
  CZEVComponentProxy entry;
  {
    MutexLock lock(&entries_mu_);
    auto found = server_entries_.find(key);
    if (found == server_entries_.end()) return false;
    entry = found->second;
  }
  bool save_now = false;
  {
    MutexLock lock(&pending_mu_);
    unsaved_records_.push_back(entry);
    save_now = clock_->MonotonicMillis() - last_save_ms_ >= record_save_ms_;
  }
  SetUpdateFlag(key);
  if (save_now) FlushRecords();
  return true;
}

bool CZEVServerStrategy::OnTaskEvent(const std::string& text, uint16_t code) {
  if (code == kUpdaterError) {
    // URLs and paths may hold "%": the text is an argument, never the format.
    if (!text.empty()) LogWrite(kLogInfo, "%s", text.c_str());
    return true;
  }
  std::lock_guard<std::mutex> lock(event_mu_);
  std::string parts[4];
  size_t start = 0;
  int found = 0;
  for (; found < 3; ++found) {
    const size_t hash = text.find('#', start);
    if (hash == std::string::npos) break;
    parts[found] = text.substr(start, hash - start);
    start = hash + 1;
  }
  if (found == 3) parts[3] = text.substr(start);
  if (found < 3 || parts[3].empty()) {
    LogWrite(kLogWarning, "error event mask :%s", text.c_str());
    return false;
  }
  EventElement event;
  event.appCode = parts[0];
  event.componentLibraryId = parts[1];
  event.version = parts[2];
  event.eventState = code;
  event.eventTimestamp = clock_->WallMillis();
  if (events_) events_(event);
  LogWrite(kLogInfo, "Log event mask :%s evrnt:%d", text.c_str(), static_cast<int>(code));
  return true;
}

}  // namespace zev
