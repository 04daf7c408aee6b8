#include "strategy/product_strategy.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <exception>
#include <utility>

#include "base/log.h"
#include "model/catalogue_json.h"
#include "platform/paths.h"

namespace zev {

namespace {

// Whether every text of `entry` that becomes part of an install path keeps
// that path below the entry's cache folder; otherwise *why says which. Beyond
// the shared checks: a resource folder that is still absolute after
// normalising ("/" alone is the folder itself).
bool IsSafeEntry(const CZEVComponentProxy& entry, std::string* why) {
  if (!CheckPathTexts(entry, why)) return false;
  CZEVManifest manifest;
  if (!entry.GetManifest(&manifest)) return true;
  for (const CZEVResource& resource : manifest.resources().resource()) {
    const std::string& directory = resource.directory();
    if (!directory.empty() && (directory.front() == '/' || directory.front() == '\\') &&
        directory.find_first_not_of("/\\") != std::string::npos) {
      *why = "resource directory \"" + directory + "\" is absolute";
      return false;
    }
  }
  return true;
}

// Whether the entry point, when the entry names one, is a file of the
// entry's package: a regular file below the entry's install folder that,
// links resolved, stays in the package's cache folder. The cache folder
// holds exactly the package's files, so a version cannot name a file that
// only an earlier package brought.
bool EntryPointInPackage(const CZEVComponentProxy& entry, std::string* why) {
  CZEVManifest manifest;
  if (!entry.GetManifest(&manifest) || manifest.entrypoint().empty()) return true;
  std::string relative = manifest.entrypoint();
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  if (relative.front() == '/' || !IsRelativeSubfolder(relative)) {
    *why = "entry point \"" + manifest.entrypoint() + "\" leads out of the install folder";
    return false;
  }
  const std::string path = entry.GetInstallDir() + "/" + relative;
  char* resolved = realpath(path.c_str(), nullptr);
  char* root = realpath(entry.GetInstallRoot().c_str(), nullptr);
  const std::string file = resolved ? resolved : "";
  const std::string folder = root ? std::string(root) + "/" : "";
  free(resolved);
  free(root);
  struct stat st;
  if (file.empty() || folder.size() < 2 || file.compare(0, folder.size(), folder) != 0 ||
      stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "entry point " + path + " is not a file of the package";
    return false;
  }
  return true;
}

void DropUnsafeEntries(std::vector<CZEVComponentProxy>* entries) {
  std::vector<CZEVComponentProxy> kept;
  kept.reserve(entries->size());
  for (CZEVComponentProxy& entry : *entries) {
    std::string why;
    if (IsSafeEntry(entry, &why) && EntryPointInPackage(entry, &why)) {
      kept.push_back(std::move(entry));
    } else {
      LogWrite(kLogError, "Inner Component refused: %s , %s , %s in %s: %s", entry.GetAppCode().c_str(),
               entry.GetComponentID().c_str(), entry.GetVersion().c_str(), entry.GetInstallRoot().c_str(),
               why.c_str());
    }
  }
  entries->swap(kept);
}

}  // namespace

CZEVProductInnerStrategy::CZEVProductInnerStrategy(const Options& options)
    : clock_(options.clock),
      package_callable_([this](const std::string& folder) { return OnPackagesChanged(folder); }) {
  try {
    watcher_ = std::make_unique<CZEVProductInnerWatcher>(options);
  } catch (const std::exception&) {
    LogWrite(kLogInfo, "CZEVProductInnerWatcher init failed.");
    return;
  }
  watcher_->SetChangeCallable(&package_callable_);
  std::vector<CZEVComponentProxy> entries;
  Refresh(&entries);
  {
    MutexLock lock(&entries_mu_);
    entries_.swap(entries);
  }
  if (!watcher_->Start()) {
    LogWrite(kLogInfo, "CZEVProductInnerWatcher stat failed: %s", watcher_->GetLastError().c_str());
  }
}

CZEVProductInnerStrategy::~CZEVProductInnerStrategy() {
  {
    MutexLock lock(&timer_mu_);
    stopping_ = true;
  }
  // The watcher's last run may still call OnPackagesChanged, which now arms
  // nothing; once it is joined, the notify timer is joined too.
  if (watcher_) {
    watcher_->Stop();
    watcher_.reset();
  }
  std::unique_ptr<TaskTimer> timer;
  {
    MutexLock lock(&timer_mu_);
    timer = std::move(timer_);
    armed_ = false;
  }
  timer.reset();
}

void CZEVProductInnerStrategy::Refresh(std::vector<CZEVComponentProxy>* entries) {
  if (!watcher_) return;
  std::vector<std::string> folders;
  if (!watcher_->GetFolders(&folders)) {
    LogWrite(kLogInfo, "get InnerProduct DirList failed.");
    return;
  }
  for (const std::string& folder : folders) {
    std::vector<CZEVComponentProxy> list;
    if (!ReadConfigJson(folder, &list)) continue;
    DropUnsafeEntries(&list);
    // The folder's list goes first: a later folder replaces an entry of an
    // earlier one only with a higher version.
    std::vector<CZEVComponentProxy> merged;
    MergeEntryLists(list, *entries, &merged, nullptr);
    entries->swap(merged);
  }
}

bool CZEVProductInnerStrategy::OnPackagesChanged(const std::string& folder) {
  LogWrite(kLogInfo, "Inner Component Change : %s", folder.c_str());
  std::vector<CZEVComponentProxy> entries;
  Refresh(&entries);
  {
    MutexLock lock(&entries_mu_);
    entries_.swap(entries);
  }
  return ArmNotify();
}

bool CZEVProductInnerStrategy::UpdateNow(int64_t /*timeout_ms*/, StrategyStatus* /*result*/) {
  LogWrite(kLogInfo, "Inner Components rescanned on request");
  std::vector<CZEVComponentProxy> entries;
  Refresh(&entries);
  MutexLock lock(&entries_mu_);
  entries_.swap(entries);
  return true;
}

bool CZEVProductInnerStrategy::ArmNotify() {
  MutexLock lock(&timer_mu_);
  if (stopping_) return false;
  if (armed_) {
    timer_->cancel(notify_id_);
    armed_ = false;
  }
  if (!timer_) {
    try {
      timer_ = std::make_unique<TaskTimer>(clock_);
    } catch (const std::exception&) {
      return false;
    }
  }
  const uint64_t seq = ++notify_seq_;
  notify_id_ = timer_->schedule(kNotifyDelaySeconds, [this, seq](uint64_t) { NotifyRun(seq); });
  armed_ = true;
  LogWrite(kLogInfo, "InnerStrategy timerID (%d)", static_cast<int>(notify_id_));
  return true;
}

void CZEVProductInnerStrategy::NotifyRun(uint64_t seq) {
  {
    MutexLock lock(&timer_mu_);
    // A run whose arming was replaced leaves the report to the newer one.
    if (stopping_ || seq != notify_seq_) return;
    armed_ = false;
  }
  ReportChanged(cstProductBuildIn);
}

bool CZEVProductInnerStrategy::GetComponents(std::vector<CZEVComponentProxy>* entries) {
  std::vector<CZEVComponentProxy> current;
  {
    MutexLock lock(&entries_mu_);
    current = entries_;
  }
  for (CZEVComponentProxy& entry : current) {
    if (!CheckComponent(entry)) continue;
    entry.SetUpdateFlag(true);
    LogWrite(kLogInfo, "Inner Component:  %s , %s , %s , %s", entry.GetAppCode().c_str(), entry.GetComponentID().c_str(),
             entry.GetVersion().c_str(), entry.GetArchName().c_str());
    entries->push_back(std::move(entry));
  }
  return true;
}

bool CZEVProductInnerStrategy::CheckComponent(const CZEVComponentProxy& entry) {
  std::string error;
  if (IsSafeEntry(entry, &error) && EntryPointInPackage(entry, &error) && entry.CheckInstalledFiles(&error) == 0) {
    return true;
  }
  LogWrite(kLogInfo, "cmpnt:%s check hash failed : %s", entry.GetComponentID().c_str(), error.c_str());
  return false;
}

}  // namespace zev
