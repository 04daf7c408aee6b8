#include "strategy/bad_versions.h"

#include <json/json.h>

#include <mutex>

#include "base/base64.h"
#include "contract/strict_json.h"
#include "strategy/strategy_base.h"

namespace zev {

const char kBadVersionsKey[] = "Software\\Varnel\\ZEV\\BadVersions";

namespace {

// One change of the stored value at a time within the process.
std::mutex& ChangeMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}

std::string EntryBytes(const CZEVComponentProxy& entry) {
  CZEVApplication application;
  application.set_name(entry.GetAppName());
  application.set_code(entry.GetAppCode());
  *application.mutable_components()->add_component() = entry.component();
  return application.SerializeAsString();
}

bool EntryFromBytes(const std::string& bytes, const std::string& root, int32_t source, CZEVComponentProxy* out) {
  CZEVApplication application;
  if (!application.ParseFromString(bytes) || application.components().component_size() != 1) return false;
  const CZEVComponent& component = application.components().component(0);
  if (component.versions().version_size() != 1) return false;
  CZEVComponentProxy entry(source);
  *entry.mutable_component() = component;
  entry.SetAppName(application.name());
  entry.SetAppCode(application.code());
  entry.SetComponentID(component.componentid());
  entry.SetInstallRoot(root);
  *out = std::move(entry);
  return true;
}

}  // namespace

std::string FormatBadVersions(const std::vector<BadVersion>& marks) {
  Json::Value root(Json::arrayValue);
  for (const BadVersion& mark : marks) {
    Json::Value item(Json::objectValue);
    item["app"] = mark.app;
    item["component"] = mark.component;
    item["version"] = mark.version;
    item["previous"] = mark.previous;
    if (!mark.previous.empty()) {
      item["entry"] = Base64Encode(EntryBytes(mark.previous_entry));
      item["root"] = mark.previous_entry.GetInstallRoot();
      item["source"] = mark.previous_entry.GetSourceType();
    }
    root.append(item);
  }
  return WriteCompactJson(root);
}

bool ParseBadVersions(const std::string& text, std::vector<BadVersion>* marks) {
  Json::Value root;
  if (!ParseStrictJson(text, &root) || !root.isArray()) return false;
  std::vector<BadVersion> out;
  for (const Json::Value& item : root) {
    if (!item.isObject()) return false;
    for (const char* name : {"app", "component", "version", "previous"}) {
      if (!item[name].isString()) return false;
    }
    BadVersion mark;
    mark.app = item["app"].asString();
    mark.component = item["component"].asString();
    mark.version = item["version"].asString();
    mark.previous = item["previous"].asString();
    if (mark.version.empty()) return false;
    if (!mark.previous.empty()) {
      if (!item["entry"].isString() || !item["root"].isString() || !item["source"].isInt()) return false;
      if (!EntryFromBytes(Base64Decode(item["entry"].asString()), item["root"].asString(), item["source"].asInt(),
                          &mark.previous_entry) ||
          mark.previous_entry.GetVersion() != mark.previous) {
        return false;
      }
    }
    out.push_back(std::move(mark));
  }
  *marks = std::move(out);
  return true;
}

bool ReadBadVersions(RegistryStore* registry, std::vector<BadVersion>* marks) {
  std::string text;
  if (!registry->ReadString(RegRoot::kLocalMachine, kBadVersionsKey, "", &text)) {
    if (RegLastError() != "the value does not exist") return false;
    marks->clear();
    return true;
  }
  return ParseBadVersions(text, marks);
}

bool MarkBadVersion(RegistryStore* registry, const BadVersion& mark) {
  std::lock_guard<std::mutex> lock(ChangeMutex());
  std::vector<BadVersion> marks;
  if (!ReadBadVersions(registry, &marks)) return false;
  bool replaced = false;
  for (BadVersion& old : marks) {
    if (old.app != mark.app || old.component != mark.component) continue;
    old = mark;
    replaced = true;
  }
  if (!replaced) marks.push_back(mark);
  return registry->WriteString(RegRoot::kLocalMachine, kBadVersionsKey, "", FormatBadVersions(marks));
}

bool ClearBadVersion(RegistryStore* registry, const std::string& app, const std::string& component,
                     BadVersion* cleared) {
  std::lock_guard<std::mutex> lock(ChangeMutex());
  std::vector<BadVersion> marks;
  if (!ReadBadVersions(registry, &marks)) return false;
  for (auto it = marks.begin(); it != marks.end(); ++it) {
    if (it->app != app || it->component != component) continue;
    if (cleared != nullptr) *cleared = *it;
    marks.erase(it);
    return registry->WriteString(RegRoot::kLocalMachine, kBadVersionsKey, "", FormatBadVersions(marks));
  }
  return false;
}

const BadVersion* FindBadVersion(const std::vector<BadVersion>& marks, const std::string& app,
                                 const std::string& component) {
  for (const BadVersion& mark : marks)
    if (mark.app == app && mark.component == component) return &mark;
  return nullptr;
}

std::vector<CZEVComponentProxy> ApplyBadVersions(const std::vector<CZEVComponentProxy>& merged,
                                                 const std::vector<CZEVComponentProxy>& offered,
                                                 const std::vector<BadVersion>& marks,
                                                 const std::function<bool(const CZEVComponentProxy&)>& verify) {
  std::vector<CZEVComponentProxy> out;
  out.reserve(merged.size());
  for (const CZEVComponentProxy& entry : merged) {
    const BadVersion* mark = FindBadVersion(marks, entry.GetAppCode(), entry.GetComponentID());
    if (mark == nullptr || entry.GetVersion() != mark->version) {
      out.push_back(entry);
      continue;
    }
    if (mark->previous.empty()) continue;
    const CZEVComponentProxy* replacement = nullptr;
    for (const CZEVComponentProxy& candidate : offered) {
      if (candidate.GetVersion() == mark->previous && IsSameComponent(candidate, entry)) {
        replacement = &candidate;
        break;
      }
    }
    if (replacement == nullptr && IsSameComponent(mark->previous_entry, entry)) replacement = &mark->previous_entry;
    if (replacement != nullptr && verify && verify(*replacement)) out.push_back(*replacement);
  }
  return out;
}

}  // namespace zev
