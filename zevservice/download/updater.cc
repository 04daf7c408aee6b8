#include "download/updater.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "base/metrics.h"
#include "platform/digest.h"
#include "platform/file_modes.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace zev {

namespace {

constexpr int kAttempts = 3;

// Removes a file; a missing one is no error.
void DeleteFileIfAny(const std::string& path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    LogWrite(kLogError, "CZEVUpdater cannot delete %s: errno %d", path.c_str(), errno);
}

}  // namespace

bool IsTrustedInstallFolder(const std::string& dir, std::string* why) {
  std::string existing = dir;
  struct stat st;
  while (!existing.empty() && existing != "/" && stat(existing.c_str(), &st) != 0 && errno == ENOENT) {
    while (existing.size() > 1 && existing.back() == '/') existing.pop_back();
    const size_t slash = existing.rfind('/');
    existing = slash == std::string::npos ? std::string() : slash == 0 ? std::string("/") : existing.substr(0, slash);
  }
  return IsTrustedFolder(existing.empty() ? dir : existing, why);
}

bool CZEVUpdater::PrepareFolders(const DownloadTask& task, std::string* why) {
  for (const auto& [url, subtask] : task) {
    // The folders made here lie below one that nobody else may write, so
    // none of them can be swapped for a link before the check below.
    if (!IsTrustedInstallFolder(subtask.dir, why)) return false;
    const std::string& dir = subtask.dir;
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
      const std::string folder = dir.substr(0, slash);
      if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        *why = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
      }
      if (slash == std::string::npos) break;
    }
    if (!IsTrustedFolder(dir, why)) return false;
  }
  return true;
}

CZEVUpdater::CZEVUpdater() : CZEVUpdater(Options()) {}

CZEVUpdater::CZEVUpdater(const Options& options)
    : clock_(options.clock != nullptr ? options.clock : Clock::Real()), downloader_dir_(options.downloader_dir) {
  Initialise();
}

CZEVUpdater::~CZEVUpdater() {
  stop();
  extractor_.release();
  MutexLock lock(&tasks_mu_);
  tasks_.clear();
}

void CZEVUpdater::Initialise() {
  MutexLock lock(&control_mu_);
  if (initialised_) return;
  downloader_ = downloader_dir_.empty() ? std::make_unique<CZEVAR2CDownLoader>(clock_)
                                        : std::make_unique<CZEVAR2CDownLoader>(downloader_dir_, clock_);
  if (!downloader_->isInitialised()) {
    SetLastError(downloader_->getLastError());
    return;
  }
  extractor_.init7zLib();
  // A stop ends a running extraction between blocks.
  extractor_.SetStopFlag(&stop_requested_);
  initialised_ = extractor_.isInitialised();
  if (!initialised_) SetLastError(extractor_.getLastError());
}

std::string CZEVUpdater::TaskKey(const CZEVComponentProxy& entry) {
  return entry.GetAppCode() + "#" + entry.GetComponentID() + "#" + entry.GetVersion() + "#" + entry.GetArchName();
}

bool CZEVUpdater::addTask(CZEVComponentProxy entry) {
  if (!initialised_) return false;
  if (stop_requested_) {
    SetLastError("addTask refused: the updater is stopped");
    return false;
  }
  CZEVManifest manifest;
  if (!entry.GetManifest(&manifest)) {
    SetLastError("addTask error when getManifest");
    return false;
  }
  // These texts become parts of paths below the install root: none may
  // lead out of it (the install root itself comes from the server and may
  // be any folder).
  std::string why;
  if (!CheckPathTexts(entry, &why)) {
    SetLastError("addTask refused: " + why);
    return false;
  }

  const std::string install_dir = entry.GetInstallDir();
  DownloadTask task;
  for (const CZEVResource& resource : manifest.resources().resource()) {
    if (entry.GetComponentID().empty() || entry.GetAppCode().empty() || entry.GetVersion().empty()) {
      SetLastError("componet has empty paramter");
      return false;
    }
    // Catalogue texts are UTF-8, and so are paths here: no conversion.
    DownloadSubtask subtask;
    subtask.zupSize = resource.zupsize();
    subtask.size = resource.size();
    subtask.url = resource.path();
    subtask.name = resource.name();
    subtask.zupHash = resource.zuphash();
    subtask.hash = resource.hash();
    subtask.dir = ResourceFilePath(install_dir, resource.directory(), "");
    if (!task.emplace(subtask.url, subtask).second) {
      SetLastError("Has same Url, add downloadtask error:" + subtask.url);
      return false;
    }
  }

  const std::string key = TaskKey(entry);
  EmitEvent(key, kTaskAdded);
  MutexLock lock(&tasks_mu_);
  // A component added again replaces its queued task.
  tasks_[key] = std::move(task);
  return true;
}

bool CZEVUpdater::start() {
  if (!initialised_) return false;
  MutexLock control(&control_mu_);
  if (stop_requested_) {
    SetLastError("start refused: the updater is stopped");
    return false;
  }
  bool empty = false;
  bool launch = false;
  {
    MutexLock lock(&tasks_mu_);
    empty = tasks_.empty();
    // The worker clears running_ under the same lock when it finds the table
    // empty, so a task queued before this check is either taken by the
    // running worker or by the one started here.
    if (!empty && !running_) {
      running_ = true;
      launch = true;
    }
    // A worker still busy with its last task closes its run itself.
    if (empty && running_) return true;
  }
  if (launch) {
    if (worker_.joinable()) worker_.join();  // a worker that has finished its run
    worker_ = std::thread(&CZEVUpdater::RunTasks, this);
    pthread_setname_np(worker_.native_handle(), "zev-updater");
  }
  if (!empty) return true;
  if (!CallUpdate("", true, true)) {
    SetLastError("Update timer failed");
    return false;
  }
  SetLastError("taskslist is null");
  return false;
}

void CZEVUpdater::stop() {
  stop_requested_ = true;
  MutexLock control(&control_mu_);
  if (downloader_) downloader_->stop();
  if (worker_.joinable()) {
    // From a callback the worker cannot join itself; it ends at its next check.
    if (worker_.get_id() == std::this_thread::get_id()) return;
    worker_.join();
  }
  downloader_.reset();
}

std::string CZEVUpdater::getLastError() const {
  MutexLock lock(&error_mu_);
  return last_error_;
}

void CZEVUpdater::SetLastError(const std::string& text) {
  MutexLock lock(&error_mu_);
  last_error_ = text;
}

bool CZEVUpdater::setLogEventCallback(const LogEventCallback* callback) {
  if (callback == nullptr) {
    SetLastError("logEvent callback is null");
    return false;
  }
  log_event_ = callback;
  return true;
}

bool CZEVUpdater::setUpdateCallback(const UpdateCallback* callback) {
  if (callback == nullptr) {
    SetLastError("update callback is null");
    return false;
  }
  update_ = callback;
  return true;
}

void CZEVUpdater::EmitEvent(const std::string& text, uint16_t code) {
  const LogEventCallback* callback = log_event_.load();
  if (callback != nullptr && *callback) (*callback)(text, code);
}

bool CZEVUpdater::CallUpdate(const std::string& key, bool success, bool finished) {
  const UpdateCallback* callback = update_.load();
  if (callback == nullptr || !*callback) return true;
  return (*callback)(key, success, finished);
}

void CZEVUpdater::RunTasks() {
  for (;;) {
    if (stop_requested_) {
      running_ = false;
      return;
    }
    std::string key;
    DownloadTask task;
    {
      // Tasks leave the table as they are taken, in key order, so a task
      // queued during the run (even one that replaces the task in hand) is
      // taken later and none is taken twice.
      MutexLock lock(&tasks_mu_);
      if (tasks_.empty()) {
        running_ = false;
        break;
      }
      auto first = tasks_.begin();
      key = first->first;
      task = std::move(first->second);
      tasks_.erase(first);
    }
    EmitEvent(key, kTaskBegun);
    LogWrite(kLogWarning, "CZEVUpdater task %s begins (%zu files)", key.c_str(), task.size());
    std::string why;
    if (!PrepareFolders(task, &why)) {
      // Nothing of the task is written, and nothing already there is
      // cleaned: the folder is not ours to touch.
      SetLastError("install folder refused: " + why);
      LogWrite(kLogError, "CZEVUpdater task %s refused: its install folder is not safe: %s", key.c_str(), why.c_str());
      EmitEvent(getLastError(), kUpdaterError);
      EmitEvent(key, kTaskDownloadFailed);
      if (!CallUpdate(key, false, false)) SetLastError("Update status failed : " + key);
      continue;
    }
    const Outcome outcome = downloadTask(task);
    if (outcome == Outcome::kStopped) {
      // An interrupted task counts as neither installed nor failed: its
      // verified packages stay for the next run.
      LogWrite(kLogWarning, "CZEVUpdater task %s interrupted by stop", key.c_str());
      running_ = false;
      return;
    }
    if (outcome == Outcome::kDone) {
      EmitEvent(key, kTaskDownloaded);
      const bool verified = checkSubtaskHash();
      if (verified) {
        EmitEvent(key, kTaskVerified);
        LogWrite(kLogWarning, "CZEVUpdater task %s installed", key.c_str());
        if (!CallUpdate(key, true, false)) SetLastError("Update local reg failed : " + key);
      } else {
        EmitEvent(key, kTaskVerifyFailed);
        SetLastError("check Subtask Hash failed : " + key);
        LogWrite(kLogError, "CZEVUpdater task %s unpacked files do not verify", key.c_str());
        // The pass counts it as failed: it is not installed.
        if (!CallUpdate(key, false, false)) SetLastError("Update status failed : " + key);
      }
    } else {
      EmitEvent(key, kTaskDownloadFailed);
      LogWrite(kLogError, "CZEVUpdater task %s failed after %d attempts", key.c_str(), kAttempts);
      cleanFailedTask();
      if (!CallUpdate(key, false, false)) SetLastError("Update status failed : " + key);
    }
  }
  if (!CallUpdate("", true, true)) SetLastError("Update timer failed");
}

CZEVUpdater::Outcome CZEVUpdater::downloadTask(const DownloadTask& task) {
  for (int left = kAttempts; left >= 1; --left) {
    current_ = task;
    const size_t total = current_.size();
    size_t completed = 0;
    for (auto& [url, subtask] : current_) {
      if (stop_requested_) return Outcome::kStopped;
      if (subtask.status == 1) continue;
      const std::string pkg = subtask.dir + subtask.name;
      if (checkFileHash(pkg, subtask.zupHash)) {
        // Left by an earlier attempt or run, and intact.
        subtask.status = 1;
        ++completed;
        continue;
      }
      DeleteFileIfAny(pkg);
      const uint64_t needed = static_cast<uint64_t>(std::max<int32_t>(subtask.zupSize, 0)) +
                              static_cast<uint64_t>(std::max<int32_t>(subtask.size, 0));
      if (!extractor_.CheckSpaceAndTarget(subtask.dir, needed)) {
        SetLastError(subtask.name + " down load failed:" + std::to_string(left) + " :" + extractor_.getLastError());
        LogWrite(kLogError, "CZEVUpdater %s", getLastError().c_str());
        EmitEvent(getLastError(), kUpdaterError);
        continue;
      }
      downloader_->setParams(url, subtask.dir, subtask.name, subtask.timeout, subtask.zupSize);
      if (!downloader_->download()) {
        if (stop_requested_) return Outcome::kStopped;
        zev::Metrics().downloads.Add({"failed"});
        SetLastError(subtask.name + " down load failed:" + std::to_string(left) + " :" + downloader_->getLastError());
        EmitEvent(getLastError(), kUpdaterError);
        continue;
      }
      std::lock_guard<std::mutex> lock(download_mu_);
      if (!checkFileHash(pkg, subtask.zupHash)) {
        zev::Metrics().downloads.Add({"bad_hash"});
        SetLastError(pkg + " hash check failed :" + std::to_string(left));
        EmitEvent(getLastError(), kUpdaterError);
      } else {
        zev::Metrics().downloads.Add({"ok"});
        struct stat st {};
        if (stat(pkg.c_str(), &st) == 0) zev::Metrics().bytes_downloaded.Add({}, static_cast<uint64_t>(st.st_size));
        subtask.status = 1;
        ++completed;
      }
    }
    if (completed != total) continue;
    bool unpacked = true;
    for (auto& [url, subtask] : current_) {
      if (stop_requested_) return Outcome::kStopped;
      const std::string pkg = subtask.dir + subtask.name;
      const bool extracted = extractor_.extractZip(pkg, subtask.dir);
      if (!extracted && stop_requested_) return Outcome::kStopped;
      zev::Metrics().extractions.Add({extracted ? "ok" : "failed"});
      if (!extracted) {
        SetLastError("unZip failed : " + pkg);
        EmitEvent(getLastError(), kUpdaterError);
        --completed;
        subtask.status = 0;
        unpacked = false;
      }
      DeleteFileIfAny(pkg);
    }
    if (unpacked) return Outcome::kDone;
  }
  return Outcome::kFailed;
}

bool CZEVUpdater::checkFileHash(const std::string& path, const std::string& expected) {
  std::string file = path;
  ReplaceAll(file, "\"", "");
  if (!FileExists(file)) {
    SetLastError("file not exist :" + file);
    return false;
  }
  const std::string digest = FileSha256Hex(file);
  if (digest.empty()) {
    // Never intact, not even against an empty hash from the catalogue.
    SetLastError("file cannot be read :" + file);
    return false;
  }
  if (digest != expected) {
    SetLastError("File hash check error source hash :" + digest + " given hash is: " + expected);
    return false;
  }
  return true;
}

bool CZEVUpdater::checkSubtaskHash() {
  for (const auto& [url, subtask] : current_) {
    // The unpacked file is named after the package name alone, as the
    // catalogue entry's own check looks for it: a "." in a folder must not
    // count.
    std::string raw;
    if (!getRawname(subtask.name, &raw)) {
      SetLastError(subtask.dir + subtask.name + " getRawname failed");
      return false;
    }
    if (!checkFileHash(subtask.dir + raw, subtask.hash)) return false;
  }
  return true;
}

void CZEVUpdater::cleanFailedTask() {
  for (auto& [url, subtask] : current_) {
    const std::string pkg = subtask.dir + subtask.name;
    if (!checkFileHash(pkg, subtask.zupHash)) {
      DeleteFileIfAny(pkg);
      subtask.status = 0;
    } else if (!extractor_.extractZip(pkg, subtask.dir)) {
      DeleteFileIfAny(pkg);
      SetLastError(pkg + " extractZip  failed");
      subtask.status = 0;
    }
    std::string raw;
    if (getRawname(subtask.name, &raw)) {
      DeleteFileIfAny(subtask.dir + raw);
    } else {
      SetLastError(pkg + " getRawname failed");
    }
  }
}

}  // namespace zev
