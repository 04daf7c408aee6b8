// CZEVServerStrategy: the catalogue source fed by the strategy server. An
// update thread asks the server for this machine's catalogue every Interval
// seconds (the first time after First seconds), keeps a copy in the registry
// for starts without the server, validates the installed versions against
// it (the local database), installs what is missing through the download
// task manager, and reports to the strategy manager after each pass. It
// offers the listed versions that are installed and intact.
//
// Beyond the catalogue road itself it keeps fleets healthy: each wait is
// spread by up to 10% at random (PassTimer), a pass that could not reach the
// server is followed by one after 120 s to twice the last retry wait (up to
// Interval), and every pass leaves a status record in the registry
// (ReadStrategyStatus).
#ifndef ZEV_STRATEGY_SERVER_STRATEGY_H_
#define ZEV_STRATEGY_SERVER_STRATEGY_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "base/timings.h"
#include "contract/strategy_status.h"
#include "download/updater.h"
#include "model/loaded_components.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "server/event_reporter.h"
#include "server/server_channel.h"
#include "strategy/holds.h"
#include "strategy/local_database.h"
#include "strategy/strategy_base.h"

namespace zev {

// The bounds of the update settings, in seconds (from platform/settings.h).
constexpr int64_t kFirstDefaultSeconds = kFirstSetting.fallback, kFirstLowSeconds = kFirstSetting.low;
constexpr int64_t kFirstHighSeconds = kFirstSetting.high;
constexpr int64_t kIntervalDefaultSeconds = kIntervalSetting.fallback, kIntervalLowSeconds = kIntervalSetting.low;
constexpr int64_t kIntervalHighSeconds = kIntervalSetting.high;
// The first wait after a pass that could not reach the server, by default
// (Timings::server_first_retry_ms).
constexpr int64_t kRetryFirstSeconds = Timings().server_first_retry_ms / 1000;

// The waits between passes of one machine. Many machines start and fail
// together (a power cut, a server outage), so every wait is drawn at random:
// First and Interval are spread over 10% of their value without leaving
// their clamps (at an upper clamp the spread is taken from below), and a
// retry after a failed pass is drawn between 120 s and twice the previous
// retry's upper bound, up to Interval ("full jitter"). Without jitter the
// waits are the plain values and the retries 120 s, 240 s, ... (tests).
class PassTimer {
 public:
  PassTimer(int64_t first_s, int64_t interval_s, bool jitter, uint64_t seed,
            int64_t retry_first_s = kRetryFirstSeconds);
  int64_t FirstWaitMs();
  // The wait after a pass; `reached`: whether the server answered it.
  int64_t NextWaitMs(bool reached);

 private:
  int64_t Spread(int64_t ms, int64_t high_ms);
  int64_t Between(int64_t low_ms, int64_t high_ms);

  const int64_t first_s_, interval_s_, retry_first_s_;
  const bool jitter_;
  int64_t retry_s_ = 0;  // upper bound of the last retry wait; 0: no failure
  std::mt19937_64 random_;
};

// The status record of every pass (StrategyStatus, ReadStrategyStatus,
// StrategyStalled) is in contract/strategy_status.h.

class CZEVServerStrategy : public CZEVStrategyBase {
 public:
  // Where events for the server go; default: the process-wide reporter.
  using EventSink = std::function<void(const EventElement& event)>;

  struct Options {
    // Both required; not owned, must outlive the strategy.
    Clock* clock = nullptr;
    RegistryStore* registry = nullptr;
    // Empty: MakeDatabaseKey() of this machine.
    std::string database_key;
    // Install root for versions without a downloadDir (the service's is
    // <common>/Varnel/ZEV/download).
    std::string download_dir;
    // Folder of zevdownloader (ends with "/"); empty: the program's own.
    std::string downloader_dir;
    // Whether up to 10% is added to each wait at random.
    bool jitter = true;
    // The first retry after a pass that could not reach the server (in
    // whole seconds), and the longest an installation record waits unsaved.
    int64_t first_retry_ms = Timings().server_first_retry_ms;
    int64_t record_save_ms = Timings().install_record_save_ms;
    // The lowest First and Interval taken from the settings.
    int64_t first_floor_ms = Timings().first_pass_floor_ms;
    int64_t interval_floor_ms = Timings().interval_floor_ms;
    // Where the download and install events go; empty: they are dropped.
    EventSink events;
    // Whether each pass, once its downloads have ended, removes the old
    // versions of download_dir (strategy/version_collection.h), keeping
    // what `loaded` answers (may be empty) as well.
    bool collect_old_versions = false;
    LoadedComponentsSource loaded;
  };

  explicit CZEVServerStrategy(Options options);
  // Stop().
  ~CZEVServerStrategy() override;

  // The installed and intact listed versions, in key order; starts the
  // update thread at the first call. Always true.
  bool GetComponents(std::vector<CZEVComponentProxy>* entries) override;
  // Whether the entry's files are intact in a folder that passes
  // IsTrustedInstallFolder, and its recorded updateTime (if any) is the
  // entry's.
  bool CheckComponent(const CZEVComponentProxy& entry) override;
  // Wakes the update thread for one pass now (started if need be) and waits
  // for a pass begun after the call to end. The schedule goes on from that
  // pass as from any other.
  bool UpdateNow(int64_t timeout_ms, StrategyStatus* result) override;
  void EndWaits() override;

  // The task manager's callbacks (its worker thread, or inside start).
  bool OnTaskUpdate(const std::string& task_key, bool success, bool finished);
  bool OnTaskEvent(const std::string& text, uint16_t code);

  // Ends the update thread (joined), then the task manager (its worker
  // joined). No report reaches the strategy manager afterwards. Idempotent.
  void Stop();

  // For tests: the number of passes begun so far.
  int passes() const { return passes_.load(); }

 private:
  // (application code, componentID, version text, architecture name).
  using ComponentKey = std::tuple<std::string, std::string, std::string, std::string>;
  using EntryMap = std::map<ComponentKey, CZEVComponentProxy>;

  static ComponentKey KeyOf(const CZEVComponentProxy& entry);

  // One catalogue refresh and validation; true when a catalogue (from the
  // server or stored) was taken.
  bool RefreshCatalogue();
  // The server's catalogue or, failing that, the stored copy, as
  // applications; *from_server tells which. False when neither is there.
  bool LoadServerCatalogue(CZEVApplications* applications, bool* from_server);
  EntryMap BuildServerEntries(const CZEVApplications& applications) const;
  // Flags the entries of `entries` whose local records validate, and
  // collects the records to remove into *remove.
  // A record of a held version that the catalogue no longer lists stays,
  // and is offered while its files are intact.
  void ValidateApplication(const CZEVApplication& application, const std::vector<zev::Hold>& holds,
                           EntryMap* entries, EntryMap* remove);
  void RemoveObsolete(const EntryMap& remove);

  void UpdateThread();
  void StartUpdateThread();
  void RunPass();
  // The task manager's run has ended: so have the passes that handed it
  // their tasks. Wakes UpdateNow waiters.
  void EndPass();
  // The stored holds; none when they cannot be read (logged).
  std::vector<zev::Hold> CurrentHolds();
  // Records the installations collected since the last save, in one save.
  void FlushRecords();
  void WriteStatus();
  bool SetUpdateFlag(const ComponentKey& key);
  // Waits `ms` on the clock; false when Stop came first.
  bool Wait(int64_t ms);

  Clock* const clock_;
  RegistryStore* const registry_;
  const bool jitter_;
  const int64_t first_retry_ms_;
  const int64_t record_save_ms_;
  const int64_t first_floor_s_, interval_floor_s_;
  EventSink events_;
  std::string download_dir_;
  const bool collect_old_versions_;
  const LoadedComponentsSource loaded_;
  std::unique_ptr<LocalComponentDatabase> database_;
  CZEVServerChannel channel_;  // update thread only

  // Whether the next catalogue load takes the stored copy (the first one,
  // at construction, does: the service starts without the server).
  bool first_server_load_ = true;  // update thread, or construction

  // The listed versions; replaced whole, flags set in place. Readers see
  // either the old or the new map, never one being built.
  mutable Mutex entries_mu_;
  EntryMap server_entries_ GUARDED_BY(entries_mu_);

  // The versions the current pass hands to the task manager, by task key.
  Mutex pending_mu_;
  std::map<std::string, CZEVComponentProxy> pending_tasks_ GUARDED_BY(pending_mu_);
  // Installations done but not yet saved in the local database.
  std::vector<CZEVComponentProxy> unsaved_records_ GUARDED_BY(pending_mu_);
  int64_t last_save_ms_ GUARDED_BY(pending_mu_) = 0;

  // Status of the pass under way and of the last one.
  Mutex status_mu_;
  StrategyStatus status_ GUARDED_BY(status_mu_);

  std::mutex event_mu_;  // one event at a time

  // The update thread, started by the first GetComponents.
  Mutex thread_mu_;
  std::thread update_thread_ GUARDED_BY(thread_mu_);
  std::mutex wake_mu_;
  std::condition_variable wake_cv_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> passes_{0};
  // Under wake_mu_: an operator asked for a pass now; the passes ended so
  // far (waited for by UpdateNow on pass_cv_).
  // A pass ends with the end of the task manager's run that it started
  // (handed_: the last pass that started one).
  bool wake_now_ = false;
  int handed_ = 0;
  int passes_ended_ = 0;
  std::condition_variable pass_cv_;

  CZEVUpdater::UpdateCallback on_update_;
  CZEVUpdater::LogEventCallback on_event_;
  // Last: its worker calls back into the members above.
  std::unique_ptr<CZEVUpdater> updater_;
};

}  // namespace zev

#endif  // ZEV_STRATEGY_SERVER_STRATEGY_H_
