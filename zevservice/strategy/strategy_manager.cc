#include "strategy/strategy_manager.h"

#include <exception>
#include <unordered_map>
#include <utility>

#include "base/base64.h"
#include "base/log.h"

namespace {

// The first application with each code and, per application, the first
// component with each componentID: what a scan in order would find. Only
// appends follow, so first positions never change.
class FoldIndex {
 public:
  explicit FoldIndex(const CZEVApplications& applications) {
    for (int a = 0; a < applications.application_size(); ++a) {
      const CZEVApplication& application = applications.application(a);
      if (!apps_.emplace(application.code(), a).second) continue;
      auto& components = components_[a];
      for (int c = 0; c < application.components().component_size(); ++c)
        components.emplace(application.components().component(c).componentid(), c);
    }
  }
  int Application(const std::string& code) const {
    auto found = apps_.find(code);
    return found == apps_.end() ? -1 : found->second;
  }
  int Component(int application, const std::string& id) const {
    auto in = components_.find(application);
    if (in == components_.end()) return -1;
    auto found = in->second.find(id);
    return found == in->second.end() ? -1 : found->second;
  }
  void AddApplication(const std::string& code, int index) { apps_.emplace(code, index); }
  void AddComponent(int application, const std::string& id, int index) {
    components_[application].emplace(id, index);
  }

 private:
  std::unordered_map<std::string, int> apps_;
  std::unordered_map<int, std::unordered_map<std::string, int>> components_;
};

// The entry's component with its single version.
CZEVComponent ComponentOf(const CZEVComponentProxy& entry) { return entry.component(); }

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

void AddEntry(CZEVApplications* applications, FoldIndex* index, const CZEVComponentProxy& entry) {
  if (entry.component().versions().version_size() == 0) throw std::invalid_argument("entry without a version");
  const int a = index->Application(entry.GetAppCode());
  if (a >= 0) {
    CZEVApplication* application = applications->mutable_application(a);
    const int c = index->Component(a, entry.GetComponentID());
    if (c >= 0 && AddToComponent(application->mutable_components()->mutable_component(c), entry)) return;
    *application->mutable_components()->add_component() = ComponentOf(entry);
    index->AddComponent(a, entry.GetComponentID(), application->components().component_size() - 1);
    return;
  }
  CZEVApplication* application = applications->add_application();
  application->set_name(Base64Encode(entry.GetAppName()));
  application->set_code(entry.GetAppCode());
  application->set_decription(entry.GetDescription());
  *application->mutable_components()->add_component() = ComponentOf(entry);
  const int added = applications->application_size() - 1;
  index->AddApplication(entry.GetAppCode(), added);
  index->AddComponent(added, entry.GetComponentID(), 0);
}

}  // namespace

bool CombineApplications(CZEVApplications* applications, const std::vector<CZEVComponentProxy>& entries) {
  bool result = true;
  FoldIndex index(*applications);
  for (const CZEVComponentProxy& entry : entries) {
    try {
      AddEntry(applications, &index, entry);
    } catch (const std::exception&) {
      result = false;
      LogWrite(3, "combinApps failed:%s", entry.GetComponentID().c_str());
    }
  }
  return result;
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
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  // The product source first; then the server source, whose destruction
  // joins its update thread before it stops its downloads. A report they
  // make meanwhile reaches OnStrategyChanged and does nothing.
  product_.reset();
  server_.reset();
}

void CZEVStrategyManager::SetCatalogueHandler(const CatalogueHandler* handler) {
  if (handler == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  handler_ = handler;
}

bool CZEVStrategyManager::GetApplications(CZEVApplications* applications) {
  std::vector<CZEVComponentProxy> server_list;
  if (server_ && !server_->GetComponents(&server_list)) {
    LogWrite(3, "Get Server Components failed");
    return false;
  }
  std::vector<CZEVComponentProxy> product_list;
  if (product_ && !product_->GetComponents(&product_list)) LogWrite(3, "Get Product Install Components failed");
  std::vector<CZEVComponentProxy> merged;
  // The server list first: on equal versions the product's entry wins.
  MergeEntryLists(server_list, product_list, &merged, nullptr);
  if (merged.empty()) return true;
  // Folded into a copy, so that a failure leaves *applications untouched.
  CZEVApplications combined = *applications;
  if (!CombineApplications(&combined, merged)) return false;
  *applications = std::move(combined);
  return true;
}

bool CZEVStrategyManager::OnStrategyChanged(CZEVComponentSourceType source) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return false;
  switch (source) {
    case cstServerStrategy:
      LogWrite(1, "ServerStrategy changed");
      break;
    case cstPlatformBuildIn:
      LogWrite(1, "PlatformBuildIn Strategy changed");
      break;
    case cstProductBuildIn:
      LogWrite(1, "ProductBuildIn Strategy changed");
      break;
    default:
      break;
  }
  CZEVApplications applications;
  if (GetApplications(&applications) && handler_ != nullptr && *handler_) (*handler_)(applications);
  return false;
}

void CZEVStrategyManager::RunExclusive(const std::function<void()>& work) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!stopping_) work();
}
