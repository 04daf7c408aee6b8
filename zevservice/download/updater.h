// CZEVUpdater: installs catalogue entries whose files are not on disk yet.
// Each entry becomes a download task, one subtask per resource of its
// version; a worker thread of the updater downloads every package with the
// outside downloader, checks its SHA-256, unpacks it into the version's
// install folder and checks the unpacked file, in up to three attempts. The
// owner (the server strategy) hears of every step through two callbacks it
// registers, both called on the worker thread.
//
// Before it writes anything for a task the worker makes the task's folders
// and checks them with IsTrustedInstallFolder: a task whose install folder
// another user could change fails at once (kUpdaterError with the reason,
// then kTaskDownloadFailed) and nothing is written or removed there.
//
// Before each download the worker checks that the folder's file system has
// room for the package and its unpacked file (the extractor's own space
// check, on the catalogue's sizes), and the downloader refuses a package
// larger than the catalogue declares; either failure counts as a failed
// attempt of that download (kUpdaterError with the reason).
//
// Calling order: construct; setLogEventCallback; setUpdateCallback; on each
// pass addTask for every entry whose CheckInstalledFiles is not 0, then one
// start; stop at shutdown. stop is final: later addTask and start answer
// false. Destruction stops and joins.
#ifndef ZEV_DOWNLOAD_UPDATER_H_
#define ZEV_DOWNLOAD_UPDATER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "download/downloader_driver.h"
#include "download/zip_extractor.h"
#include "model/component_proxy.h"

namespace zev {

// Event codes handed to the logEvent callback. The text is the task key,
// except for kUpdaterError, whose text is the last error.
enum UpdaterEvent : uint16_t {
  kTaskAdded = 1,
  kTaskBegun = 2,
  kTaskDownloaded = 3,
  kTaskDownloadFailed = 4,
  kTaskVerified = 5,
  kTaskVerifyFailed = 6,
  kUpdaterError = 1000,
};

// Whether root may install into or run from `dir`: it passes
// IsTrustedFolder (it and every folder above it belong to root or this
// process's user and nobody else may write them) when it exists; when it
// does not, the deepest folder above it that exists passes, so that nobody
// else can make it later. False with *why naming the folder that fails.
bool IsTrustedInstallFolder(const std::string& dir, std::string* why);

// One resource of a task.
struct DownloadSubtask {
  uint8_t status = 0;    // 1: the package is present with the right hash in this attempt
  int32_t zupSize = 0;   // package size from the catalogue; above 0 the download's size limit
  int32_t timeout = -1;  // downloader time limit in seconds; -1: none
  int32_t size = 0;      // unpacked size from the catalogue; counted in the space check
  std::string url;       // download URL, the subtask's key
  std::string name;      // package file name
  std::string zupHash;   // SHA-256 of the package, lower-case hex
  std::string hash;      // SHA-256 of the unpacked file
  std::string dir;       // folder of package and unpacked file; ends with "/"
};

// A task: its subtasks by url.
using DownloadTask = std::map<std::string, DownloadSubtask>;

class CZEVUpdater {
 public:
  // (task key, success, finished) -> handled. An empty key with finished
  // true closes a run.
  using UpdateCallback = std::function<bool(const std::string& key, bool success, bool finished)>;
  // (key or error text, event code) -> handled.
  using LogEventCallback = std::function<bool(const std::string& text, uint16_t code)>;

  struct Options {
    Clock* clock = nullptr;           // null: Clock::Real()
    std::string downloader_dir;       // folder of zevdownloader, ends with "/"; empty: the program's own
  };

  CZEVUpdater();
  explicit CZEVUpdater(const Options& options);
  ~CZEVUpdater();
  CZEVUpdater(const CZEVUpdater&) = delete;
  CZEVUpdater& operator=(const CZEVUpdater&) = delete;

  // Builds the entry's task and queues it, replacing a queued task of the
  // same key. False, with the last error set, when the updater is not
  // initialised or stopped, the entry has no version, a text that becomes
  // part of a path is empty or could leave the install folder, or two
  // resources share a url.
  bool addTask(CZEVComponentProxy entry);
  // Starts the worker when tasks are queued and none runs. With nothing
  // queued it closes the (empty) run through the update callback and
  // answers false with "taskslist is null".
  bool start();
  // Ends a running download and extraction, joins the worker and drops the
  // downloader. Final; safe to call twice and from any thread but the
  // worker's (that is, not from a callback).
  void stop();

  std::string getLastError() const;

  // The callbacks are not owned and must outlive the updater (or be replaced
  // while no run is under way). Null sets the last error and answers false.
  bool setLogEventCallback(const LogEventCallback* callback);
  bool setUpdateCallback(const UpdateCallback* callback);

  bool isInitialised() const { return initialised_.load(); }
  bool isRunning() const { return running_.load(); }

  // "appCode#componentID#version#archName".
  static std::string TaskKey(const CZEVComponentProxy& entry);

 private:
  enum class Outcome { kDone, kFailed, kStopped };

  void Initialise();
  void RunTasks();
  Outcome downloadTask(const DownloadTask& task);
  // Makes the folder of every subtask once IsTrustedInstallFolder allows it,
  // then checks the made folder again; false with *why at the first refusal.
  bool PrepareFolders(const DownloadTask& task, std::string* why);
  bool checkSubtaskHash();
  void cleanFailedTask();
  bool checkFileHash(const std::string& path, const std::string& expected);

  void SetLastError(const std::string& text);
  void EmitEvent(const std::string& text, uint16_t code);
  bool CallUpdate(const std::string& key, bool success, bool finished);
  void StopLocked();

  Clock* const clock_;
  const std::string downloader_dir_;

  std::atomic<bool> initialised_{false};
  std::atomic<bool> stop_requested_{false};  // set once by stop, never cleared
  std::atomic<bool> running_{false};

  CZEVZipExtractor extractor_;  // worker thread only, once running
  // Made at initialisation, dropped by stop after the worker is joined.
  std::unique_ptr<CZEVAR2CDownLoader> downloader_;

  mutable Mutex error_mu_;
  std::string last_error_ GUARDED_BY(error_mu_);

  std::mutex download_mu_;  // around the hash check after a download
  Mutex control_mu_;  // initialisation, start and stop

  // The worker's copy of the task in hand; worker thread only.
  DownloadTask current_;

  Mutex tasks_mu_;
  std::map<std::string, DownloadTask> tasks_ GUARDED_BY(tasks_mu_);

  std::thread worker_ GUARDED_BY(control_mu_);

  std::atomic<const UpdateCallback*> update_{nullptr};
  std::atomic<const LogEventCallback*> log_event_{nullptr};
};

}  // namespace zev

#endif  // ZEV_DOWNLOAD_UPDATER_H_
