#include "strategy/strategy_base.h"

#include <string_view>
#include <unordered_map>

#include "model/catalogue.h"

namespace zev {

namespace {

// The architecture name is a function of archType in which a missing version
// and every value outside 0..5 read "atNone", so this class of the value
// compares exactly as the name does, without building the text.
int ArchClass(const CZEVComponentProxy& entry) {
  if (entry.component().versions().version_size() == 0) return -1;
  int type = entry.component().versions().version(0).archtype();
  return type >= 0 && type <= 5 ? type : -1;
}

const std::string& VersionOf(const CZEVComponentProxy& entry) {
  static const std::string kNone;
  const CZEVVersions& versions = entry.component().versions();
  return versions.version_size() > 0 ? versions.version(0).version() : kNone;
}

// Views into entries of the lists being merged, which outlive the index.
struct ComponentKey {
  std::string_view app_code;
  std::string_view component_id;
  int arch;

  bool operator==(const ComponentKey& other) const {
    return arch == other.arch && app_code == other.app_code && component_id == other.component_id;
  }
};

struct ComponentKeyHash {
  size_t operator()(const ComponentKey& key) const {
    std::hash<std::string_view> hash;
    size_t h = hash(key.app_code);
    h ^= hash(key.component_id) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h ^ (static_cast<size_t>(key.arch + 1) * 0x9e3779b97f4a7c15ULL);
  }
};

ComponentKey KeyOf(const CZEVComponentProxy& entry) {
  return {entry.GetAppCode(), entry.GetComponentID(), ArchClass(entry)};
}

struct Slot {
  size_t first_in_a;
  bool in_b = false;
};

}  // namespace

bool CZEVStrategyBase::SetChangedCallback(const SourceChangedCallback* callback) {
  if (callback != nullptr) changed_callback_.store(callback);
  return true;
}

bool CZEVStrategyBase::ReportChanged(CZEVComponentSourceType source) const {
  const SourceChangedCallback* callback = changed_callback_.load();
  return callback != nullptr && (*callback) && (*callback)(source);
}

bool IsSameComponent(const CZEVComponentProxy& x, const CZEVComponentProxy& y) {
  return KeyOf(x) == KeyOf(y);
}

bool MergeEntryLists(const std::vector<CZEVComponentProxy>& a, const std::vector<CZEVComponentProxy>& b,
                     std::vector<CZEVComponentProxy>* merged, std::string* error) {
  merged->clear();
  if (a.empty() && b.empty()) {
    if (error != nullptr) *error = "server and local empty ";
    return false;
  }

  // One slot per component of `a`: where it first appears, and whether `b`
  // has a twin of it.
  // Elements of an unordered_map keep their address when it grows.
  std::unordered_map<ComponentKey, Slot, ComponentKeyHash> slots;
  slots.reserve(a.size());
  std::vector<const Slot*> slot_of_a(a.size());
  for (size_t i = 0; i < a.size(); ++i) slot_of_a[i] = &slots.emplace(KeyOf(a[i]), Slot{i}).first->second;
  std::vector<const Slot*> twin_of_b(b.size(), nullptr);
  for (size_t j = 0; j < b.size(); ++j) {
    auto it = slots.find(KeyOf(b[j]));
    if (it == slots.end()) continue;
    it->second.in_b = true;
    twin_of_b[j] = &it->second;
  }

  std::vector<CZEVComponentProxy> out;
  out.reserve(a.size() + b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    if (!slot_of_a[i]->in_b) out.push_back(a[i]);
  }
  for (size_t j = 0; j < b.size(); ++j) {
    const Slot* twin = twin_of_b[j];
    if (twin != nullptr && CompareVersion(VersionOf(b[j]), VersionOf(a[twin->first_in_a])) < 0) {
      out.push_back(a[twin->first_in_a]);
    } else {
      out.push_back(b[j]);
    }
  }

  if (out.empty()) {
    if (error != nullptr) *error = "combined empty ";
    return false;
  }
  *merged = std::move(out);
  return true;
}

}  // namespace zev
