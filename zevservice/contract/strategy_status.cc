#include "contract/strategy_status.h"

#include <json/json.h>

#include <exception>
#include <memory>
#include <mutex>

#include "contract/strict_json.h"
#include "platform/settings.h"

namespace zev {

const char kStrategyStatusKey[] = "Software\\Varnel\\ZEV\\ServerStrategy";

int64_t ReadIntervalSetting(RegistryStore* registry) {
  std::string text;
  if (!registry->ReadString(RegRoot::kLocalMachine, kIntervalSettingKey, "", &text)) text.clear();
  return ParseSetting(text, kIntervalSetting.fallback, kIntervalSetting.low, kIntervalSetting.high);
}

bool StrategyStalled(const StrategyStatus& status, int64_t interval_ms, int64_t now_ms) {
  if (status.next_pass_ms > 0) return now_ms > status.next_pass_ms + interval_ms;
  return status.time_ms > 0 && now_ms > status.time_ms + 2 * interval_ms;
}

std::string FormatStrategyStatus(const StrategyStatus& status) {
  Json::Value root(Json::objectValue);
  root["time"] = static_cast<Json::Int64>(status.time_ms);
  root["result"] = status.result;
  root["error"] = status.error;
  root["listed"] = static_cast<Json::Int64>(status.listed);
  root["installed"] = static_cast<Json::Int64>(status.installed);
  root["failed"] = static_cast<Json::Int64>(status.failed);
  root["next_pass"] = static_cast<Json::Int64>(status.next_pass_ms);
  if (status.rollback_time_ms != 0) {
    root["rollback_time"] = static_cast<Json::Int64>(status.rollback_time_ms);
    root["rollback"] = status.rollback;
  }
  return WriteCompactJson(root);
}

bool ParseStrategyStatus(const std::string& text, StrategyStatus* status) {
  // The registry can be edited by hand: a field of the wrong type makes the
  // record unreadable rather than throw.
  Json::Value root;
  if (!ParseStrictJson(text, &root) || !root.isObject()) return false;
  bool ok = true;
  auto number = [&](const char* name) -> int64_t {
    const Json::Value& value = root[name];
    if (value.isNull()) return 0;
    if (!value.isInt64()) ok = false;
    return ok ? value.asInt64() : 0;
  };
  auto text_of = [&](const char* name) -> std::string {
    const Json::Value& value = root[name];
    if (value.isNull()) return std::string();
    if (!value.isString()) ok = false;
    return ok ? value.asString() : std::string();
  };
  StrategyStatus out;
  out.time_ms = number("time");
  out.result = text_of("result");
  out.error = text_of("error");
  out.listed = number("listed");
  out.installed = number("installed");
  out.failed = number("failed");
  out.next_pass_ms = number("next_pass");
  out.rollback_time_ms = number("rollback_time");
  out.rollback = text_of("rollback");
  if (!ok) return false;
  *status = out;
  return true;
}

namespace {

// The pass and the rollback write the same value: one at a time.
std::mutex& WriteMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}

bool WriteRecord(RegistryStore* registry, const StrategyStatus& status) {
  return registry->WriteString(RegRoot::kLocalMachine, kStrategyStatusKey, "", FormatStrategyStatus(status));
}

}  // namespace

bool WriteStrategyStatus(RegistryStore* registry, StrategyStatus status) {
  std::lock_guard<std::mutex> lock(WriteMutex());
  StrategyStatus stored;
  if (status.rollback_time_ms == 0 && ReadStrategyStatus(registry, &stored)) {
    status.rollback_time_ms = stored.rollback_time_ms;
    status.rollback = stored.rollback;
  }
  return WriteRecord(registry, status);
}

bool RecordRollback(RegistryStore* registry, const std::string& text, int64_t time_ms) {
  std::lock_guard<std::mutex> lock(WriteMutex());
  StrategyStatus status;
  if (!ReadStrategyStatus(registry, &status)) status = StrategyStatus();
  status.rollback_time_ms = time_ms;
  status.rollback = text;
  return WriteRecord(registry, status);
}

bool ReadStrategyStatus(RegistryStore* registry, StrategyStatus* status) {
  std::string text;
  return registry->ReadString(RegRoot::kLocalMachine, kStrategyStatusKey, "", &text) &&
         ParseStrategyStatus(text, status);
}

}  // namespace zev
