#include "strategy/product_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <system_error>

#include "base/log.h"
#include "model/catalogue_json.h"
#include "platform/file_modes.h"
#include "platform/paths.h"

namespace zev {

namespace {

namespace fs = std::filesystem;

// "<name>/components.7z" directly below the components folder gives the
// product name; anything else gives "". Packages deeper down are not the
// layout products use and are never scanned at start, so they are ignored
// rather than unpacked under the name of their parent.
std::string PackageOwner(const std::string& path) {
  const size_t slash = path.find('/');
  if (slash == 0 || slash == std::string::npos) return std::string();
  if (path.compare(slash + 1, std::string::npos, CZEVProductInnerWatcher::kPackageName) != 0) return std::string();
  return path.substr(0, slash);
}

bool IsConfigName(const char* name) { return strcasecmp(name, kConfigJsonName) == 0; }

bool SameBytes(const std::string& a, const std::string& b) {
  int fa = open(a.c_str(), O_RDONLY | O_CLOEXEC);
  if (fa < 0) return false;
  int fb = open(b.c_str(), O_RDONLY | O_CLOEXEC);
  if (fb < 0) {
    close(fa);
    return false;
  }
  bool same = true;
  static constexpr size_t kBlock = 1 << 16;
  std::string ba(kBlock, '\0'), bb(kBlock, '\0');
  for (;;) {
    ssize_t na = read(fa, &ba[0], kBlock);
    ssize_t nb = na < 0 ? -1 : read(fb, &bb[0], static_cast<size_t>(na));
    if (na < 0 || nb != na) {
      same = false;  // a read error or a file that changed length
      break;
    }
    if (na == 0) break;
    if (memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0) {
      same = false;
      break;
    }
  }
  close(fa);
  close(fb);
  return same;
}

std::string LinkTarget(const std::string& path) {
  std::string target(4096, '\0');
  ssize_t n = readlink(path.c_str(), &target[0], target.size());
  return n < 0 ? std::string() : target.substr(0, static_cast<size_t>(n));
}

// Whether the cache already holds what the package brings at `to`: the same
// kind, permissions and content.
bool SameEntry(const std::string& from, const struct stat& st, const std::string& to) {
  struct stat existing;
  if (lstat(to.c_str(), &existing) != 0) return false;
  if ((existing.st_mode & S_IFMT) != (st.st_mode & S_IFMT)) return false;
  if (S_ISLNK(st.st_mode)) return LinkTarget(from) == LinkTarget(to);
  return (existing.st_mode & 07777) == (st.st_mode & 07777) && existing.st_size == st.st_size && SameBytes(from, to);
}

// Puts the staged file or link at `to` in one rename, replacing what is
// there: a program that has the old file open or mapped keeps it.
bool Replace(const std::string& from, const struct stat& st, const std::string& to) {
  struct stat existing;
  if (lstat(to.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
    std::error_code ec;
    fs::remove_all(to, ec);
    if (ec) return false;
  }
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  // A staging folder on another file system (set by the owner): write beside and rename.
  if (S_ISREG(st.st_mode)) return CopyFileTo(from, to);
  if (!S_ISLNK(st.st_mode)) return false;
  const std::string tmp = to + ".zevnew";
  unlink(tmp.c_str());
  if (symlink(LinkTarget(from).c_str(), tmp.c_str()) != 0) return false;
  if (rename(tmp.c_str(), to.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

// Makes `to` a folder, replacing a file or link of that name.
bool EnsureFolder(const std::string& to) {
  struct stat existing;
  if (lstat(to.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) return true;
    if (unlink(to.c_str()) != 0) return false;
  }
  return mkdir(to.c_str(), 0755) == 0 || (errno == EEXIST && DirectoryExists(to));
}

// Removes a folder and everything in it; false (with errno) on failure.
bool RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) errno = ec.value();
  return !ec;
}

// Removes from the folder `to` every entry whose name `keep` lacks. At the
// top level the configuration (any spelling) is left to the caller.
bool RemoveOthers(const std::string& to, const std::set<std::string>& keep, bool top) {
  DIR* dir = opendir(to.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> gone;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (top && IsConfigName(entry->d_name)) continue;
    if (keep.count(entry->d_name) == 0) gone.push_back(entry->d_name);
  }
  closedir(dir);
  for (const std::string& name : gone) {
    if (!RemoveTree(JoinPath(to, name))) return false;
  }
  return true;
}

// Makes the folder `to` hold exactly what the staged folder `from` holds:
// missing entries are added, entries that differ are replaced, entries that
// the package no longer brings are removed (a later version must not find a
// file that only an earlier one had). At the top level the configuration
// (any spelling) is left to the caller.
bool SyncTree(const std::string& from, const std::string& to, bool top) {
  if (!EnsureFolder(to)) return false;
  DIR* dir = opendir(from.c_str());
  if (dir == nullptr) return false;
  bool ok = true;
  std::set<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (top && IsConfigName(entry->d_name)) continue;
    names.insert(entry->d_name);
    const std::string source = JoinPath(from, entry->d_name);
    const std::string target = JoinPath(to, entry->d_name);
    struct stat st;
    if (lstat(source.c_str(), &st) != 0) {
      ok = false;
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      ok = SyncTree(source, target, false);
    } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
      ok = SameEntry(source, st, target) || Replace(source, st, target);
    }
    // The extractor makes no other kinds.
    if (!ok) break;
  }
  closedir(dir);
  return ok && RemoveOthers(to, names, top);
}

// Removes every spelling of the configuration at the top of `folder` except
// `keep` (a name, or "" for none). False when one could not be removed.
bool RemoveConfigs(const std::string& folder, const std::string& keep) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return errno == ENOENT;
  bool ok = true;
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (IsConfigName(entry->d_name) && keep != entry->d_name) names.push_back(entry->d_name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    if (unlink(JoinPath(folder, name).c_str()) != 0 && errno != ENOENT) ok = false;
  }
  return ok;
}

// Opens the package for root to unpack, or gives -1 with *why: it must be a
// regular file, not reached through a link at its last part, that belongs to
// root or to us and that nobody else can write, in a product folder and a
// components folder that nobody else can write or swap (IsTrustedFile). The
// descriptor is tied to the file that passed by its identity.
int OpenTrustedPackage(const std::string& path, std::string* why) {
  if (!IsTrustedFile(path, why)) return -1;
  // O_NONBLOCK: whatever replaced the file meanwhile must not hold us at open.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = path + ": " + strerror(errno);
    return -1;
  }
  struct stat opened, checked;
  if (fstat(fd, &opened) != 0 || lstat(path.c_str(), &checked) != 0 || opened.st_dev != checked.st_dev ||
      opened.st_ino != checked.st_ino) {
    close(fd);
    *why = path + " was replaced while it was checked";
    return -1;
  }
  return fd;
}

}  // namespace

CZEVProductInnerWatcher::CZEVProductInnerWatcher(const Options& options)
    : clock_(options.clock),
      update_delay_ms_(options.update_delay_ms),
      components_dir_(options.components_dir),
      cache_dir_(options.cache_dir),
      staging_dir_(options.staging_dir),
      dir_watcher_(options.watch_clock != nullptr ? options.watch_clock : options.clock) {
  timer_ = std::make_unique<TaskTimer>(clock_);
  // Until the watcher exists only the service's stop can end its work.
  start_stop_ = options.stop != nullptr ? options.stop : &stopping_;
  extractor_.SetStopFlag(start_stop_);
  initialised_ = BuildCache();
  extractor_.SetStopFlag(&stopping_);
  if (!initialised_) SetLastError("init failed.");
}

CZEVProductInnerWatcher::~CZEVProductInnerWatcher() { Stop(); }

bool CZEVProductInnerWatcher::BuildCache() {
  if (components_dir_.empty() || cache_dir_.empty() || staging_dir_.empty()) {
    LogWrite(kLogError, "Cache floder is created failed (%s).", cache_dir_.c_str());
    return false;
  }
  if (!extractor_.init7zLib()) return false;

  // Every start rebuilds the cache from the packages present.
  std::error_code ec;
  if (fs::remove_all(cache_dir_, ec) == 0 || ec) LogWrite(kLogInfo, "No cache, Creating cache (%s).", cache_dir_.c_str());
  if (!CreateDirectories(cache_dir_)) {
    LogWrite(kLogError, "Cache floder is created failed (%s).", cache_dir_.c_str());
    return false;
  }
  LogWrite(kLogInfo, "Cache floder is created successfully (%s).", cache_dir_.c_str());

  // Staging folders left by an earlier run go; unpacked packages are private
  // until they are moved into the cache.
  fs::remove_all(staging_dir_, ec);
  if (!CreateDirectories(staging_dir_) || chmod(staging_dir_.c_str(), 0700) != 0) {
    LogWrite(kLogError, "Staging floder is created failed (%s).", staging_dir_.c_str());
    return false;
  }

  if (CreateDirectories(components_dir_)) {
    LogWrite(kLogInfo, "Components floder is created successfully (%s).", components_dir_.c_str());
  }
  // The watch stands before the folder is listed: a package written during
  // the scan is reported as well, and at worst unpacked twice.
  if (!dir_watcher_.Init() || dir_watcher_.Watch(components_dir_, &OnDirChangeThunk, kDirWatchSubtree, this) == 0) {
    LogWrite(kLogError, "Components floder cannot be watched (%s).", components_dir_.c_str());
  }

  DIR* dir = opendir(components_dir_.c_str());
  if (dir == nullptr) {
    LogWrite(kLogError, "No file in components (%s).", components_dir_.c_str());
    SetLastError("No file in cache.");
    return true;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (DirectoryExists(JoinPath(components_dir_, entry->d_name))) names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  std::lock_guard<std::mutex> run(run_mu_);
  for (const std::string& name : names) {
    if (start_stop_->load()) {
      LogWrite(kLogWarning, "The product packages are left unpacked: the service stops.");
      break;
    }
    const std::string folder = JoinPath(cache_dir_, name);
    if (!CreateDirectories(folder)) continue;
    struct stat st;
    // lstat: a link at the package's place is refused with a log line, not passed over.
    if (lstat(JoinPath(JoinPath(components_dir_, name), kPackageName).c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      UpdatePackage(name, /*at_start=*/true);
    }
    AddFolder(folder);
  }
  return true;
}

bool CZEVProductInnerWatcher::GetFolders(std::vector<std::string>* folders) {
  if (!initialised_) return false;
  std::lock_guard<std::mutex> lock(mu_);
  std::sort(folders_.begin(), folders_.end());
  folders_.erase(std::unique(folders_.begin(), folders_.end()), folders_.end());
  *folders = folders_;
  return true;
}

void CZEVProductInnerWatcher::SetChangeCallable(const ChangeCallable* callable) { callable_ = callable; }

bool CZEVProductInnerWatcher::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!initialised_ || stopped_) {
    last_error_ = "no init before start.";
    return false;
  }
  started_ = true;
  if (!pending_.empty()) ArmLocked();
  return true;
}

std::string CZEVProductInnerWatcher::GetLastError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

void CZEVProductInnerWatcher::SetLastError(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  last_error_ = text;
}

void CZEVProductInnerWatcher::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) return;
    stopped_ = true;
    stopping_ = true;
  }
  // No report comes once the directory watcher is down; the timer is then
  // taken out and joined, so a run under way finishes before Stop returns.
  dir_watcher_.Deinit();
  std::unique_ptr<TaskTimer> timer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    timer = std::move(timer_);
    armed_ = false;
    pending_.clear();
  }
  timer.reset();
  extractor_.release();
}

void CZEVProductInnerWatcher::OnDirChangeThunk(int, int action, const char*, const char* path, const char* old_path,
                                               void* user_data) {
  static_cast<CZEVProductInnerWatcher*>(user_data)->OnDirChange(action, path, old_path);
}

void CZEVProductInnerWatcher::OnDirChange(int action, const std::string& path, const char* old_path) {
  ++changes_seen_;
  std::lock_guard<std::mutex> lock(mu_);
  if (stopped_) return;
  uint64_t kept = 0;
  auto keep = [&](const std::string& name, Change change) {
    pending_[name] = change;
    ++kept;
  };
  // A product folder itself that goes away withdraws its package, when the
  // cache knows it.
  auto known_folder = [&](const std::string& name) {
    return name.find('/') == std::string::npos &&
           std::find(folders_.begin(), folders_.end(), JoinPath(cache_dir_, name)) != folders_.end();
  };
  switch (action) {
    case kDirWatchCreated:
    case kDirWatchModified: {
      const std::string owner = PackageOwner(path);
      if (!owner.empty()) keep(owner, Change::kUpdate);
      break;
    }
    case kDirWatchDeleted: {
      const std::string owner = PackageOwner(path);
      if (!owner.empty()) {
        keep(owner, Change::kWithdraw);
      } else if (known_folder(path)) {
        keep(path, Change::kWithdraw);
      }
      break;
    }
    case kDirWatchMoved: {
      // Publishing by renaming a finished file to components.7z is an update
      // of the new name; a package renamed away is withdrawn.
      const std::string old_text = old_path ? old_path : "";
      const std::string from = PackageOwner(old_text);
      const std::string to = PackageOwner(path);
      if (!from.empty() && from != to) {
        keep(from, Change::kWithdraw);
      } else if (from.empty() && known_folder(old_text)) {
        keep(old_text, Change::kWithdraw);
      }
      if (!to.empty()) keep(to, Change::kUpdate);
      break;
    }
    default:
      break;
  }
  if (kept == 0) return;
  if (started_) ArmLocked();
  // Counted once armed, so that whoever sees the count also finds the timer set.
  changes_kept_ += kept;
}

void CZEVProductInnerWatcher::ArmLocked() {
  if (!timer_) {
    LogWrite(kLogInfo, "CZEVProductInnerWatcher setUpdateTimer failed");
    return;
  }
  if (armed_) timer_->cancel(timer_id_);
  const uint64_t seq = ++arm_seq_;
  timer_id_ = timer_->ScheduleMillis(update_delay_ms_, [this, seq](uint64_t) { RunPending(seq); });
  armed_ = true;
  LogWrite(kLogInfo, "InnerProductWatcher timerID (%d)", static_cast<int>(timer_id_));
  LogWrite(kLogInfo, "CZEVProductInnerWatcher setUpdateTimer success");
}

void CZEVProductInnerWatcher::RunPending(uint64_t seq) {
  std::map<std::string, Change> work;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // A run whose arming was replaced meanwhile leaves the changes to the
    // newer one, which is due later.
    if (stopped_ || seq != arm_seq_) return;
    armed_ = false;
    work.swap(pending_);
  }
  {
    std::lock_guard<std::mutex> run(run_mu_);
    for (const auto& [name, change] : work) {
      if (stopping_) break;
      if (change == Change::kUpdate) {
        if (UpdatePackage(name, /*at_start=*/false)) DebugPrint("executeUpdate success");
      } else if (WithdrawPackage(name)) {
        DebugPrint("executeDelete success");
      }
    }
  }
  ++runs_finished_;
}

bool CZEVProductInnerWatcher::UpdatePackage(const std::string& name, bool at_start) {
  const std::string package = JoinPath(JoinPath(components_dir_, name), kPackageName);
  std::string why;
  const int fd = OpenTrustedPackage(package, &why);
  if (fd < 0) {
    RefusePackage(name, why);
    return false;
  }
  refused_.erase(name);
  std::string staging = JoinPath(staging_dir_, "XXXXXX");
  if (mkdtemp(&staging[0]) == nullptr) {
    close(fd);
    DebugPrint("Failed to create temporary directory.");
    return false;
  }
  // What was checked is what is unpacked: the same open file.
  bool ok = extractor_.extractZipFromFd(fd, package, staging);
  close(fd);
  if (!ok) {
    if (at_start) {
      LogWrite(kLogError, "File decompression maybe failed (%s).", package.c_str());
    } else {
      LogWrite(kLogError, "File decompression failed (%s).", package.c_str());
      SetLastError("File decompression to tempPath failed.");
      DebugPrint("Unzip to temp folder failed");
    }
  } else {
    ok = RefreshCacheFolder(name, staging);
    if (ok && !at_start) NotifyChanged(JoinPath(cache_dir_, name));
  }
  RemoveTree(staging);
  if (!at_start) DebugPrint(ok ? "Update completed." : "Update failed.");
  return ok;
}

void CZEVProductInnerWatcher::RefusePackage(const std::string& name, const std::string& why) {
  // Each change is reported once; a package that is reported again for the
  // same reason (touched, rescanned) is not logged again.
  auto it = refused_.find(name);
  if (it != refused_.end() && it->second == why) return;
  refused_[name] = why;
  ++packages_refused_;
  LogWrite(kLogError, "Package of product %s refused, not unpacked: %s", name.c_str(), why.c_str());
  SetLastError("Package refused.");
}

bool CZEVProductInnerWatcher::RefreshCacheFolder(const std::string& name, const std::string& staging) {
  const std::string config = FindConfigJson(staging);
  if (config.empty()) {
    LogWrite(kLogInfo, "No config.json in temporary folder (%s).", staging.c_str());
    return false;
  }
  const std::string folder = JoinPath(cache_dir_, name);
  if (!SyncTree(staging, folder, /*top=*/true)) {
    LogWrite(kLogError, "Failed to update package files (%s) in cache.", folder.c_str());
    SetLastError("Failed to copy package files to cache.");
    return false;
  }
  // The configuration goes last, so that a reader never finds one that
  // names files not yet in place; other spellings go after it.
  struct stat st;
  if (lstat(config.c_str(), &st) != 0 || !Replace(config, st, JoinPath(folder, kConfigJsonName)) ||
      !RemoveConfigs(folder, kConfigJsonName)) {
    LogWrite(kLogError, "Failed to update config.json (%s) to cache.", config.c_str());
    SetLastError("Failed to copy config.json to cache.");
    return false;
  }
  AddFolder(folder);
  return true;
}

bool CZEVProductInnerWatcher::WithdrawPackage(const std::string& name) {
  refused_.erase(name);
  const std::string folder = JoinPath(cache_dir_, name);
  if (FindConfigJson(folder).empty()) {
    LogWrite(kLogInfo, "No config.json in cache folder (%s).", cache_dir_.c_str());
    SetLastError("No config.json in cache folder.");
    return false;
  }
  if (!RemoveConfigs(folder, std::string())) {
    const int error = errno;
    SetLastError("Failed to delete config.json.");
    LogWrite(kLogError, "Failed to delete json, error: (%d).", error);
    DebugPrint("Config.json delete failed");
    return false;
  }
  if (callable_.load() != nullptr) LogWrite(kLogError, "deleteConfigJson");
  NotifyChanged(folder);
  return true;
}

void CZEVProductInnerWatcher::AddFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mu_);
  if (std::find(folders_.begin(), folders_.end(), folder) == folders_.end()) folders_.push_back(folder);
}

void CZEVProductInnerWatcher::NotifyChanged(const std::string& folder) {
  const ChangeCallable* callable = callable_.load();
  if (callable != nullptr && *callable) (*callable)(folder);
}

}  // namespace zev
