// zevctl config: the service's settings (platform/settings.h), as the
// service reads them, and their checked change.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "contract/bind_address.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "tools/zevctl/zevctl.h"

namespace zev::ctl {

namespace {

// The settings of kSettings, by name. The store is read as the service reads
// it; a user who may not read it is told so instead of shown defaults.

// Whether the settings can be read here; otherwise false, with the reason
// on standard error.
bool SettingsReadable() {
  const std::string store = RegistryDatabasePath();
  if (store.empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return false;
  }
  if (access(store.c_str(), F_OK) == 0 && access(store.c_str(), R_OK) != 0) {
    fprintf(stderr,
            "zevctl: the settings are in %s, which is for the service's user only: "
            "run zevctl config as that user (for example with sudo)\n",
            store.c_str());
    return false;
  }
  std::string why;
  if (!RegistryStore::Default().Check(&why)) {
    fprintf(stderr, "zevctl: %s\n", why.c_str());
    return false;
  }
  return true;
}

// The value the service takes from the store, as its own code reads it.
std::string SettingInEffect(const Setting& setting, SettingSource source, const std::string& text) {
  if (&setting == &kBindAddressSetting) return ReadHttpBindAddress(&RegistryStore::Default());
  if (setting.type == SettingType::kSeconds) {
    return std::to_string(ParseSetting(source == SettingSource::kNone ? "" : text, setting.fallback, setting.low,
                                       setting.high));
  }
  return source == SettingSource::kNone ? SettingDefaultText(setting) : text;
}

void PrintSetting(const Setting& setting) {
  std::string text;
  const SettingSource source = ReadSettingText(&RegistryStore::Default(), setting, &text);
  const std::string in_effect = SettingInEffect(setting, source, text);
  if (source == SettingSource::kNone) {
    printf("%s: (default) %s\n", setting.name, in_effect.c_str());
  } else {
    printf("%s: %s%s\n", setting.name, OneLine(text).c_str(),
           text == in_effect ? "" : (" (in effect: " + OneLine(in_effect) + ")").c_str());
  }
  printf("  %s\n  allowed: %s; default %s\n", setting.meaning, SettingAllowedText(setting).c_str(),
         SettingDefaultText(setting).c_str());
  printf("  stored as: the default value of HKLM\\%s\n", setting.key);
  if (source == SettingSource::kOldValue) {
    printf("  (now read from the older named value %s of HKLM\\%s; config set writes the key)\n",
           setting.old_value_name, kServiceRegistryKey);
  }
  printf("  a change takes effect %s\n", setting.takes_effect);
}

}  // namespace

int Config(const std::vector<std::string>& args) {
  const bool list = args.size() == 1 && args[0] == "list";
  const bool get = args.size() == 2 && args[0] == "get";
  const bool set = args.size() == 3 && args[0] == "set";
  if (!list && !get && !set) return Usage();
  const Setting* setting = list ? nullptr : FindSetting(args[1]);
  if (!list && setting == nullptr) {
    std::string names;
    for (const Setting* known : kSettings) names += std::string(names.empty() ? "" : ", ") + known->name;
    fprintf(stderr, "zevctl: unknown setting '%s' (the settings: %s)\n", args[1].c_str(), names.c_str());
    return 2;
  }
  std::string stored, why;
  if (set && !CheckSettingValue(*setting, args[2], &stored, &why)) {
    fprintf(stderr, "zevctl: %s not set: %s\n", setting->name, why.c_str());
    return 2;
  }
  if (!SettingsReadable()) return 1;
  if (list) {
    for (const Setting* each : kSettings) PrintSetting(*each);
    return 0;
  }
  if (get) {
    std::string text;
    const SettingSource source = ReadSettingText(&RegistryStore::Default(), *setting, &text);
    printf("%s\n", OneLine(SettingInEffect(*setting, source, text)).c_str());
    return 0;
  }
  if (!RegWriteString(RegRoot::kLocalMachine, setting->key, "", stored)) {
    fprintf(stderr, "zevctl: cannot write %s to %s: %s\n", setting->name, RegistryDatabasePath().c_str(),
            RegLastError().c_str());
    return 1;
  }
  printf("%s set to %s; it takes effect %s\n", setting->name, stored.empty() ? "none" : stored.c_str(),
         setting->takes_effect);
  // One form only from now on: the key, which wins over the older value.
  if (setting->old_value_name != nullptr &&
      RegDeleteValue(RegRoot::kLocalMachine, kServiceRegistryKey, setting->old_value_name)) {
    printf("(the older named value %s of HKLM\\%s, which the key replaces, was removed)\n", setting->old_value_name,
           kServiceRegistryKey);
  }
  return 0;
}

}  // namespace zev::ctl
