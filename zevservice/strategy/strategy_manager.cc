#include "strategy/strategy_manager.h"

#include <unordered_map>
#include <utility>

#include "base/base64.h"
#include "base/log.h"
#include "strategy/bad_versions.h"
#include "strategy/holds.h"

namespace zev {

namespace {

// One application code of the catalogue while the entries are gathered: the
// name of its first entry, and its components in order, each the component
// of the entry that began it with the versions gathered since.
struct AppGroup {
  std::string code;
  std::string name;
  std::vector<CZEVComponent> components;
  // The first component with each componentID.
  std::unordered_map<std::string, size_t> first;
};

// Puts the entry's version into the component: replaces the version of the
// same text when its archType matches, appends it when no version has that
// text. False when the text is there with another archType: the caller
// then adds the entry as a component of its own.
bool AddToComponent(CZEVComponent* component, const CZEVComponentProxy& entry) {
  const CZEVVersion& version = entry.component().versions().version(0);
  CZEVVersions* versions = component->mutable_versions();
  for (int v = 0; v < versions->version_size(); ++v) {
    CZEVVersion* existing = versions->mutable_version(v);
    if (existing->version() != version.version()) continue;
    if (existing->archtype() != version.archtype()) return false;
    *existing = version;
    return true;
  }
  *versions->add_version() = version;
  return true;
}

}  // namespace

bool CatalogueEntries(const std::vector<CZEVComponentProxy>& merged, std::vector<CZEVComponentProxy>* out) {
  bool result = true;
  std::vector<AppGroup> groups;
  std::unordered_map<std::string, size_t> group_of;
  for (const CZEVComponentProxy& entry : merged) {
    if (entry.component().versions().version_size() == 0) {
      result = false;
      LogWrite(kLogError, "combinApps failed:%s", entry.GetComponentID().c_str());
      continue;
    }
    auto found = group_of.emplace(entry.GetAppCode(), groups.size());
    if (found.second) groups.push_back(AppGroup{entry.GetAppCode(), Base64Encode(entry.GetAppName()), {}, {}});
    AppGroup& group = groups[found.first->second];
    auto first = group.first.find(entry.GetComponentID());
    if (first != group.first.end() && AddToComponent(&group.components[first->second], entry)) continue;
    group.first.emplace(entry.GetComponentID(), group.components.size());
    group.components.push_back(entry.component());
  }
  if (!result) return false;
  std::vector<CZEVComponentProxy> entries;
  for (const AppGroup& group : groups) {
    for (const CZEVComponent& component : group.components) {
      for (const CZEVVersion& version : component.versions().version()) {
        entries.push_back(CatalogueEntry(group.name, group.code, component, version));
      }
    }
  }
  *out = std::move(entries);
  return true;
}

CZEVStrategyManager::CZEVStrategyManager(std::unique_ptr<CZEVStrategyBase> server,
                                         std::unique_ptr<CZEVStrategyBase> product)
    : server_(std::move(server)), product_(std::move(product)) {
  changed_ = [this](CZEVComponentSourceType source) { return OnStrategyChanged(source); };
  if (server_) server_->SetChangedCallback(&changed_);
  if (product_) product_->SetChangedCallback(&changed_);
}

CZEVStrategyManager::~CZEVStrategyManager() { Stop(); }

void CZEVStrategyManager::Stop() {
  {
    // Waits for a report under way; later ones see the flag and return.
    MutexLock lock(&mu_);
    stopping_ = true;
  }
  {
    // Operators' calls end their waits and leave before the sources go.
    std::unique_lock<std::mutex> lock(calls_mu_);
    closing_ = true;
    if (server_) server_->EndWaits();
    calls_cv_.wait(lock, [this] { return calls_ == 0; });
  }
  // The product source first; then the server source, whose destruction
  // joins its update thread before it stops its downloads. A report they
  // make meanwhile reaches OnStrategyChanged and does nothing.
  product_.reset();
  server_.reset();
}

void CZEVStrategyManager::SetCatalogueHandler(const CatalogueHandler* handler) {
  if (handler == nullptr) return;
  MutexLock lock(&mu_);
  handler_ = handler;
}

bool CZEVStrategyManager::GetCatalogue(std::vector<CZEVComponentProxy>* entries) {
  std::vector<CZEVComponentProxy> server_list;
  if (server_ && !server_->GetComponents(&server_list)) {
    LogWrite(kLogError, "Get Server Components failed");
    return false;
  }
  std::vector<CZEVComponentProxy> product_list;
  if (product_ && !product_->GetComponents(&product_list)) LogWrite(kLogError, "Get Product Install Components failed");
  std::vector<CZEVComponentProxy> merged;
  // The server list first: on equal versions the product's entry wins.
  MergeEntryLists(server_list, product_list, &merged, nullptr);
  RegistryStore* hold_store = hold_store_.load();
  std::vector<zev::Hold> holds;
  if (hold_store != nullptr && !zev::ReadHolds(hold_store, &holds)) {
    LogWrite(kLogWarning, "The holds cannot be read, none apply: %s", RegLastError().c_str());
    holds.clear();
  }
  std::vector<zev::BadVersion> bad;
  if (hold_store != nullptr && !zev::ReadBadVersions(hold_store, &bad)) {
    LogWrite(kLogWarning, "The versions marked bad cannot be read, none apply: %s", RegLastError().c_str());
    bad.clear();
  }
  if (!holds.empty() || !bad.empty()) {
    std::vector<CZEVComponentProxy> offered = server_list;
    offered.insert(offered.end(), product_list.begin(), product_list.end());
    if (!holds.empty()) merged = zev::ApplyHolds(merged, offered, holds);
    // A version rolled back to runs again only while its files are intact,
    // as either source checks its own.
    auto verify = [this](const CZEVComponentProxy& entry) {
      return (server_ && server_->CheckComponent(entry)) || (product_ && product_->CheckComponent(entry));
    };
    if (!bad.empty()) merged = zev::ApplyBadVersions(merged, offered, bad, verify);
  }
  return CatalogueEntries(merged, entries);
}

bool CZEVStrategyManager::OnStrategyChanged(CZEVComponentSourceType source) {
  MutexLock lock(&mu_);
  if (stopping_) return false;
  switch (source) {
    case cstServerStrategy:
      LogWrite(kLogInfo, "ServerStrategy changed");
      break;
    case cstPlatformBuildIn:
      LogWrite(kLogInfo, "PlatformBuildIn Strategy changed");
      break;
    case cstProductBuildIn:
      LogWrite(kLogInfo, "ProductBuildIn Strategy changed");
      break;
    default:
      break;
  }
  ReloadLocked();
  return false;
}

void CZEVStrategyManager::ReloadLocked() {
  std::vector<CZEVComponentProxy> entries;
  if (GetCatalogue(&entries) && handler_ != nullptr && *handler_) (*handler_)(entries);
}

bool CZEVStrategyManager::EnterCall() {
  std::lock_guard<std::mutex> lock(calls_mu_);
  if (closing_) return false;
  ++calls_;
  return true;
}

void CZEVStrategyManager::LeaveCall() {
  {
    std::lock_guard<std::mutex> lock(calls_mu_);
    --calls_;
  }
  calls_cv_.notify_all();
}

bool CZEVStrategyManager::UpdateNow(int64_t timeout_ms, StrategyStatus* result) {
  if (!EnterCall()) return false;
  LogWrite(kLogInfo, "Update now asked");
  if (product_) product_->UpdateNow(timeout_ms, nullptr);
  bool ended = true;
  if (server_) {
    ended = server_->UpdateNow(timeout_ms, result);
  } else {
    MutexLock lock(&mu_);
    if (!stopping_) ReloadLocked();
  }
  LeaveCall();
  return ended;
}

void CZEVStrategyManager::HoldsChanged() {
  if (!EnterCall()) return;
  LogWrite(kLogInfo, "Holds changed");
  {
    MutexLock lock(&mu_);
    if (!stopping_) ReloadLocked();
  }
  if (server_) server_->UpdateNow(0, nullptr);
  LeaveCall();
}

void CZEVStrategyManager::RunExclusive(const std::function<void()>& work) {
  MutexLock lock(&mu_);
  if (!stopping_) work();
}

}  // namespace zev
