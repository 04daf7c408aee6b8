#include "hosting/component_loader.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <unordered_set>

#include "base/log.h"
#include "download/updater.h"
#include "platform/instance_processes.h"
#include "rpc/component_peer.h"
#include "model/catalogue.h"
#include "platform/paths.h"
#include "platform/settings.h"

namespace zev {

namespace {

// How long one load may keep the start waiting: the wait for the host's
// node, and the send.
constexpr int64_t kLoadMayTakeMs = 3000;

// True when `pid` has ended: gone, or a zombie nobody has reaped yet.
bool ProcessEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] == 'Z' ||
         line[paren + 2] == 'X';
}

// Everything of an entry that decides whether the new catalogue still holds
// it unchanged; versions compare by their order, so "1.2" matches "1.2.0".
std::string SameEntryKey(const CZEVComponentProxy& entry) {
  std::string key;
  for (const std::string& part : {entry.GetAppCode(), entry.GetArchName(), entry.GetComponentID(),
                                  VersionKey(entry.GetVersion())}) {
    key += std::to_string(part.size()) + ":" + part;
  }
  return key + "|" + std::to_string(entry.GetSourceType()) + "|" + std::to_string(entry.GetUpdateTime());
}

// What the monitor is handed to start or stop the entry.
CZEVComponentContext ContextOf(const CZEVComponentProxy& entry, CZEVManifest manifest) {
  CZEVComponentContext context;
  context.set_appcode(entry.GetAppCode());
  context.set_componentid(entry.GetComponentID());
  context.set_version(entry.GetVersion());
  *context.mutable_manifest() = std::move(manifest);
  return context;
}

}  // namespace

CZEVComponentLoader::CZEVComponentLoader(const ManagerDeps& deps, const ManagerOptions& options, StopState* stop,
                                         const ManagerHooks* hooks)
    : deps_(deps), options_(options), stop_(stop), hooks_(hooks) {
  CreateMonitor();
}

CZEVComponentLoader::~CZEVComponentLoader() {
  StopStrategies();
  ReleaseMonitor();
}

bool CZEVComponentLoader::IsComponentProcess(pid_t pid, const std::string& id) const {
  std::vector<pid_t> hosts;
  for (const pubsdk::MonitorHostInfo& host :
       monitor_ != nullptr ? monitor_->GetProcessTable() : std::vector<pubsdk::MonitorHostInfo>()) {
    if (host.pid > 0 && std::count(host.components.begin(), host.components.end(), id) > 0) {
      hosts.push_back(host.pid);
    }
  }
  return ProcessBelongsToComponent(pid, hosts, id);
}

std::vector<pid_t> CZEVComponentLoader::HostPids() const {
  std::vector<pid_t> hosts;
  for (const pubsdk::MonitorHostInfo& host :
       monitor_ != nullptr ? monitor_->GetProcessTable() : std::vector<pubsdk::MonitorHostInfo>()) {
    if (host.pid > 0) hosts.push_back(host.pid);
  }
  return hosts;
}

void CZEVComponentLoader::CreateMonitor() {
  if (!deps_.monitor_factory) return;
  pubsdk::IUnknownBase* object = deps_.monitor_factory();
  if (object == nullptr) {
    LogWrite(kLogInfo, "Monitor Init failed");
    return;
  }
  void* monitor = nullptr;
  if (object->QueryInterface(pubsdk::IID_IZEVMonitor, &monitor) < 0) {
    object->Release();
    return;
  }
  monitor_object_ = object;
  monitor_ = static_cast<pubsdk::IZEVMonitor*>(monitor);
  void* notify = nullptr;
  if (object->QueryInterface(pubsdk::IID_IZEVMonitorNotify, &notify) >= 0) {
    static_cast<pubsdk::IZEVMonitorNotify*>(notify)->SetTableChanged([this] {
      if (hooks_->loaded_changed) hooks_->loaded_changed();
    });
    static_cast<pubsdk::IZEVMonitorNotify*>(notify)->Release();
  }
}

void CZEVComponentLoader::StartMonitor() {
  if (monitor_object_ == nullptr || monitor_started_) return;
  void* plugin = nullptr;
  void* run = nullptr;
  if (monitor_object_->QueryInterface(pubsdk::IID_IPUBPlugin, &plugin) >= 0) {
    if (static_cast<pubsdk::IPUBPlugin*>(plugin)->Init(0) < 0) {
      LogWrite(kLogInfo, "Monitor Init failed");
    } else if (monitor_object_->QueryInterface(pubsdk::IID_IPUBPluginRun, &run) >= 0 &&
               static_cast<pubsdk::IPUBPluginRun*>(run)->Start() >= 0) {
      monitor_started_ = true;
    }
  }
  if (run) static_cast<pubsdk::IPUBPluginRun*>(run)->Release();
  if (plugin) static_cast<pubsdk::IPUBPlugin*>(plugin)->Release();
  if (!monitor_started_) ReleaseMonitor();
}

void CZEVComponentLoader::ReleaseMonitor() {
  if (monitor_object_ == nullptr) return;
  void* plugin = nullptr;
  // Only a monitor that started has hosts, a bus node and a status file to
  // leave; one that never did must not touch what another instance runs.
  if (monitor_started_ && monitor_object_->QueryInterface(pubsdk::IID_IPUBPlugin, &plugin) >= 0) {
    static_cast<pubsdk::IPUBPlugin*>(plugin)->Uninit();
    static_cast<pubsdk::IPUBPlugin*>(plugin)->Release();
  }
  monitor_started_ = false;
  monitor_->Release();
  monitor_object_->Release();
  monitor_ = nullptr;
  monitor_object_ = nullptr;
}

bool CZEVComponentLoader::StartComponents() {
  {
    MutexLock lock(&load_mu_);
    SetDownloadDir();
  }
  // The strategy manager and its handler, then the monitor, then the load.
  std::shared_ptr<CZEVStrategyManager> strategies;
  if (deps_.strategies) {
    strategies = deps_.strategies(stop_->flag());
    if (!strategies) {
      LogWrite(kLogError, "The strategy manager could not be made; nothing is loaded.");
    } else {
      {
        MutexLock lock(&strategies_mu_);
        if (stop_->quitting()) return false;
        strategies_ = strategies;
      }
      catalogue_handler_ = [this](const std::vector<CZEVComponentProxy>& entries) {
        return OnCatalogueChanged(entries);
      };
      strategies->SetCatalogueHandler(&catalogue_handler_);
    }
  }
  void* run = nullptr;
  bool running = monitor_object_ != nullptr && monitor_object_->QueryInterface(pubsdk::IID_IPUBPluginRun, &run) >= 0;
  if (running) {
    running = static_cast<pubsdk::IPUBPluginRun*>(run)->Start() == 0;
    static_cast<pubsdk::IPUBPluginRun*>(run)->Release();
  }
  if (!running) {
    LogWrite(kLogError, "Monitor Start failed");
    return false;
  }
  if (!deps_.strategies) {
    // The catalogue's owner may call the change handler, which takes
    // load_mu_, while holding locks of its own: ask it before taking load_mu_.
    CZEVApplications applications;
    const bool have_catalogue = deps_.catalogue && deps_.catalogue(&applications);
    return LoadInitialCatalogue(have_catalogue, have_catalogue ? EntriesOf(applications)
                                                               : std::vector<CZEVComponentProxy>());
  }
  if (!strategies) return LoadInitialCatalogue(false, {});
  // Under the strategy manager's lock, so that no change report runs the
  // handler between reading the catalogue and loading it. (Nothing runs when
  // a Quit has stopped the strategy manager meanwhile.)
  bool loaded = true;
  strategies->RunExclusive([&] {
    std::vector<CZEVComponentProxy> entries;
    const bool have_catalogue = strategies->GetCatalogue(&entries);
    loaded = LoadInitialCatalogue(have_catalogue, entries);
  });
  return loaded;
}

int CZEVComponentLoader::RunningHosts() const {
  if (monitor_ == nullptr) return 0;
  int hosts = 0;
  for (const pubsdk::MonitorHostInfo& host : monitor_->GetProcessTable()) {
    if (host.pid > 0) ++hosts;
  }
  return hosts;
}

int CZEVComponentLoader::RefusedComponents() const {
  if (monitor_ == nullptr) return 0;
  size_t refused = 0;
  for (const pubsdk::MonitorHostInfo& host : monitor_->GetProcessTable()) refused += host.refused.size();
  return static_cast<int>(refused);
}

void CZEVComponentLoader::StopStrategies() {
  std::shared_ptr<CZEVStrategyManager> strategies;
  {
    MutexLock lock(&strategies_mu_);
    strategies.swap(strategies_);
  }
  // Waits for a change report under way; none follows.
  if (strategies) strategies->Stop();
}

bool CZEVComponentLoader::LoadInitialCatalogue(bool have_catalogue,
                                               const std::vector<CZEVComponentProxy>& catalogue) {
  MutexLock lock(&load_mu_);
  SetDownloadDir();
  // A change handled meanwhile has loaded a newer catalogue already.
  if (!have_catalogue || changes_handled_ > 0) return true;
  try {
    LoadedComponentMap map = *loaded();
    std::vector<CZEVComponentProxy> list = loaded_list();
    const std::vector<CZEVComponentProxy> entries = Rooted(catalogue);
    for (const CZEVComponentProxy& entry : entries) {
      map.emplace(KeyOf(entry), entry);
      list.push_back(entry);
    }
    LoadEntries(entries, Walk::kInitial);
    Publish(std::move(map), std::move(list));
  } catch (const std::exception& e) {
    LogWrite(kLogError, "The initial load failed: %s", e.what());
    return false;
  }
  if (hooks_->loaded_changed) hooks_->loaded_changed();
  return true;
}

void CZEVComponentLoader::SetDownloadDir() {
  if (!default_download_dir_.empty()) return;
  default_download_dir_ = JoinPath(deps_.common_dir, "Varnel/ZEV/download");
}

void CZEVComponentLoader::LoadApplication(const CZEVApplication& application) {
  MutexLock lock(&load_mu_);
  SetDownloadDir();
  LoadedComponentMap map = *loaded();
  std::vector<CZEVComponentProxy> list = loaded_list();
  const std::vector<CZEVComponentProxy> entries = Rooted(EntriesOf(application));
  for (const CZEVComponentProxy& entry : entries) {
    map.emplace(KeyOf(entry), entry);
    list.push_back(entry);
  }
  LoadEntries(entries, Walk::kApplication);
  Publish(std::move(map), std::move(list));
}

void CZEVComponentLoader::LoadEntries(const std::vector<CZEVComponentProxy>& entries, Walk walk) {
  for (const CZEVComponentProxy& entry : entries) {
    // After Quit the entries are recorded but no longer started.
    if (walk == Walk::kInitial && hooks_->start_progress && !stop_->quitting()) {
      hooks_->start_progress(kLoadMayTakeMs);
    }
    const bool loaded = !stop_->quitting() && LoadComponent(entry);
    if (walk == Walk::kChange) {
      LogWrite(kLogInfo, loaded ? "Component load success:  %s , %s , %s ,%s %d" : "Component load failed:  %s , %s , %s , %s, %d ",
               entry.GetAppCode().c_str(), entry.GetComponentID().c_str(), entry.GetVersion().c_str(),
               entry.GetArchName().c_str(), entry.GetSourceType());
    } else {
      LogWrite(kLogInfo, loaded ? "Componet load success:  %s , %s , %s ,%s, srcType:%d "
                         : "Componet load failed:  %s , %s , %s , %s, srcType:%d ",
               entry.GetAppCode().c_str(), entry.GetComponentID().c_str(), entry.GetVersion().c_str(),
               entry.GetArchName().c_str(), entry.GetSourceType());
    }
  }
}

void CZEVComponentLoader::StopComponents() {
  // A load may still be walking the catalogue; it stops at the next
  // component now that the stop is set.
  MutexLock load(&load_mu_);
  if (monitor_ == nullptr) return;
  if (!monitor_started_) {
    ReleaseMonitor();
    return;
  }
  try {
    const bool stopped = monitor_->StopAll() != 0;
    // Read after StopAll, which ends restarts: a host restarted just before
    // is in the table too.
    std::vector<pid_t> hosts;
    for (const pubsdk::MonitorHostInfo& host : monitor_->GetProcessTable()) {
      if (host.pid > 0) hosts.push_back(host.pid);
    }
    if (stopped) {
      // The hosts leave on "stopall"; give them up to 3 s (the options'
      // wait), but no longer than they take.
      auto ended = [&hosts] {
        for (pid_t pid : hosts) {
          if (!ProcessEnded(pid)) return false;
        }
        return true;
      };
      const int64_t deadline = deps_.clock->MonotonicMillis() + options_.host_stop_wait_ms;
      for (int64_t now = deps_.clock->MonotonicMillis(); now < deadline && !ended();
           now = deps_.clock->MonotonicMillis()) {
        stop_->WaitFor(std::min<int64_t>(deadline - now, 20), ended);
      }
    }
  } catch (const std::exception&) {
    LogWrite(kLogError, "stopAll error");
  }
  ReleaseMonitor();
}

std::vector<CZEVComponentProxy> CZEVComponentLoader::Rooted(std::vector<CZEVComponentProxy> entries) const {
  for (CZEVComponentProxy& entry : entries) {
    const CZEVVersions& versions = entry.component().versions();
    const std::string dir = versions.version_size() == 0 ? std::string() : versions.version(0).manifest().downloaddir();
    entry.SetInstallRoot(dir.empty() ? default_download_dir_ : dir);
  }
  return entries;
}

bool CZEVComponentLoader::LoadComponent(const CZEVComponentProxy& entry) {
  if (entry.component().versions().version_size() == 0) {
    LogWrite(kLogWarning, "%s getManifest error", entry.GetComponentID().substr(0, 32).c_str());
    return false;
  }
  const CZEVManifest& manifest = entry.component().versions().version(0).manifest();
  if (manifest.loadmode() == lmInnerComponent) {
    LogWrite(kLogInfo, "component(id: %s) is inner", entry.GetComponentID().c_str());
    return true;
  }
  try {
    const int64_t now = deps_.clock->WallSeconds();
    if (IsExpired(manifest.params(), now)) {
      LogWrite(kLogInfo, "The component(%s) has expired, expiredTime(%lld) vs now(%lld).",
               MakeTaskKey(entry.GetAppCode(), entry.GetComponentID(), entry.GetVersion(), entry.GetArchName())
                   .c_str(),
               static_cast<long long>(manifest.params().expiredtime() / 1000), static_cast<long long>(now));
      return false;
    }
    // Checked at every start, not only at install: a folder handed to
    // another user since would let that user choose what root runs.
    std::string why;
    if (!IsTrustedInstallFolder(entry.GetInstallDir(), &why)) {
      LogWrite(kLogError, "The component(%s) is not started: its install folder is not safe: %s",
               MakeTaskKey(entry.GetAppCode(), entry.GetComponentID(), entry.GetVersion(), entry.GetArchName())
                   .c_str(),
               why.c_str());
      return false;
    }
    int32_t result;
    if (monitor_ == nullptr) {
      result = -1;
    } else {
      CZEVComponentContext context = ContextOf(entry, manifest);
      // Read at every start: a changed setting holds from the component's
      // next start on.
      std::string run_as;
      if (!ReadApplicationSetting(deps_.registry, entry.GetAppCode(), kRunAsSettingName, &run_as)) {
        run_as = manifest.runas();
      }
      context.set_runas(run_as);
      result = monitor_->StartComponent(context);
      if (result == pubsdk::kStartNoGroup) {
        LogWrite(kLogInfo, "The process group does not exist, try again.");
        result = monitor_->StartComponent(context);
      } else if (result < -1 || result > pubsdk::kStartNoGroup) {
        LogWrite(kLogInfo, "An unknown type");
      }
    }
    LogWrite(kLogInfo, "load %s, %s, %s, %s result: %d", entry.GetAppCode().c_str(), entry.GetComponentID().c_str(),
             entry.GetVersion().c_str(), entry.GetArchName().c_str(), result);
    return result == pubsdk::kStartSent;
  } catch (const std::exception&) {
    LogWrite(kLogWarning, "load component error: %d", errno);
    return false;
  }
}

bool CZEVComponentLoader::ReleaseComponent(const CZEVComponentProxy& entry) {
  CZEVManifest manifest;
  if (!entry.GetManifest(&manifest)) return false;
  try {
    CZEVComponentContext context = ContextOf(entry, manifest);
    LogWrite(kLogInfo, "release %s, %s ,%s  pgroup:%s, pname:%s", entry.GetAppCode().c_str(),
             entry.GetComponentID().c_str(), entry.GetVersion().c_str(), manifest.params().pgroup().c_str(),
             manifest.params().pname().c_str());
    return monitor_ != nullptr && monitor_->StopComponent(context) != 0;
  } catch (const std::exception&) {
    return false;
  }
}

bool CZEVComponentLoader::OnCatalogueChanged(const std::vector<CZEVComponentProxy>& entries) {
  MutexLock lock(&load_mu_);
  SetDownloadDir();
  LoadedComponentMap new_map;
  std::vector<CZEVComponentProxy> new_list = Rooted(entries);
  for (CZEVComponentProxy& entry : new_list) {
    entry.SetUpdateFlag(true);
    new_map.emplace(KeyOf(entry), entry);
  }
  // One pass over each list: what the new catalogue holds, then which loaded
  // entries it no longer holds unchanged.
  std::unordered_set<std::string> kept;
  kept.reserve(new_list.size());
  for (const CZEVComponentProxy& entry : new_list) kept.insert(SameEntryKey(entry));
  std::shared_ptr<const std::vector<CZEVComponentProxy>> old_list;
  {
    MutexLock published(&published_mu_);
    old_list = published_list_;
  }
  if (old_list) {
    for (const CZEVComponentProxy& entry : *old_list) {
      if (kept.count(SameEntryKey(entry)) != 0) continue;
      if (!ReleaseComponent(entry)) {
        LogWrite(kLogError, "%s release to be updated component failed: ", entry.GetComponentID().c_str());
      }
    }
  }
  if (deps_.versions_changed) deps_.versions_changed(old_list ? *old_list : std::vector<CZEVComponentProxy>(), new_list);
  LoadEntries(new_list, Walk::kChange);
  Publish(std::move(new_map), std::move(new_list));
  ++changes_handled_;
  if (hooks_->loaded_changed) hooks_->loaded_changed();
  return true;
}

void CZEVComponentLoader::Publish(LoadedComponentMap map, std::vector<CZEVComponentProxy> list) {
  auto shared_map = std::make_shared<const LoadedComponentMap>(std::move(map));
  auto shared_list = std::make_shared<const std::vector<CZEVComponentProxy>>(std::move(list));
  MutexLock lock(&published_mu_);
  published_ = std::move(shared_map);
  published_list_ = std::move(shared_list);
}

LoadedComponentsSnapshot CZEVComponentLoader::loaded() const {
  MutexLock lock(&published_mu_);
  if (!published_) return std::make_shared<const LoadedComponentMap>();
  return published_;
}

std::vector<CZEVComponentProxy> CZEVComponentLoader::loaded_list() const {
  MutexLock lock(&published_mu_);
  return published_list_ ? *published_list_ : std::vector<CZEVComponentProxy>();
}

}  // namespace zev
