#include "strategy/holds.h"

#include <json/json.h>

#include "contract/strict_json.h"
#include "model/catalogue.h"
#include "strategy/strategy_base.h"

namespace zev {

const char kHoldsKey[] = "Software\\Varnel\\ZEV\\Holds";

std::string FormatHolds(const std::vector<Hold>& holds) {
  Json::Value root(Json::arrayValue);
  for (const Hold& hold : holds) {
    Json::Value item(Json::objectValue);
    item["app"] = hold.app;
    item["component"] = hold.component;
    item["version"] = hold.version;
    root.append(item);
  }
  return WriteCompactJson(root);
}

bool ParseHolds(const std::string& text, std::vector<Hold>* holds) {
  Json::Value root;
  if (!ParseStrictJson(text, &root) || !root.isArray()) return false;
  std::vector<Hold> out;
  for (const Json::Value& item : root) {
    if (!item.isObject() || !item["app"].isString() || !item["component"].isString() ||
        !item["version"].isString() || item["version"].asString().empty())
      return false;
    out.push_back(Hold{item["app"].asString(), item["component"].asString(), item["version"].asString()});
  }
  *holds = std::move(out);
  return true;
}

bool ReadHolds(RegistryStore* registry, std::vector<Hold>* holds) {
  std::string text;
  if (!registry->ReadString(RegRoot::kLocalMachine, kHoldsKey, "", &text)) {
    // Absent: no holds; a store that cannot be read is a failure.
    if (RegLastError() != "the value does not exist") return false;
    holds->clear();
    return true;
  }
  return ParseHolds(text, holds);
}

bool WriteHolds(RegistryStore* registry, const std::vector<Hold>& holds) {
  return registry->WriteString(RegRoot::kLocalMachine, kHoldsKey, "", FormatHolds(holds));
}

const Hold* FindHold(const std::vector<Hold>& holds, const std::string& app, const std::string& component) {
  for (const Hold& hold : holds)
    if (hold.app == app && hold.component == component) return &hold;
  return nullptr;
}

bool SetHold(std::vector<Hold>* holds, const Hold& hold) {
  for (auto it = holds->begin(); it != holds->end(); ++it) {
    if (it->app != hold.app || it->component != hold.component) continue;
    if (hold.version.empty()) {
      holds->erase(it);
      return true;
    }
    if (it->version == hold.version) return false;
    it->version = hold.version;
    return true;
  }
  if (hold.version.empty()) return false;
  holds->push_back(hold);
  return true;
}

bool HeldAway(const std::vector<Hold>& holds, const CZEVComponentProxy& entry) {
  const Hold* hold = FindHold(holds, entry.GetAppCode(), entry.GetComponentID());
  return hold != nullptr && entry.GetVersion() != hold->version;
}

std::vector<CZEVComponentProxy> ApplyHolds(const std::vector<CZEVComponentProxy>& merged,
                                           const std::vector<CZEVComponentProxy>& offered,
                                           const std::vector<Hold>& holds) {
  std::vector<CZEVComponentProxy> out;
  out.reserve(merged.size());
  for (const CZEVComponentProxy& entry : merged) {
    if (!HeldAway(holds, entry)) {
      out.push_back(entry);
      continue;
    }
    const std::string& held = FindHold(holds, entry.GetAppCode(), entry.GetComponentID())->version;
    const CZEVComponentProxy* replacement = nullptr;
    for (const CZEVComponentProxy& candidate : offered) {
      if (candidate.GetVersion() == held && IsSameComponent(candidate, entry)) {
        replacement = &candidate;
        break;
      }
    }
    if (replacement != nullptr) {
      out.push_back(*replacement);
    } else if (CompareVersion(entry.GetVersion(), held) < 0) {
      out.push_back(entry);
    }
  }
  return out;
}

}  // namespace zev
