#include "platform/settings.h"

#include <strings.h>

#include <algorithm>

namespace zev {

namespace {

bool IsDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool CheckSeconds(const Setting& setting, const std::string& text, std::string* stored, std::string* why) {
  if (!IsDigits(text)) {
    *why = "\"" + text + "\" is not a whole number of seconds";
    return false;
  }
  const std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
  // More digits than any value in range: too large for a number at all.
  const int64_t value = digits.size() > 12 ? setting.high + 1 : std::stoll(digits);
  if (value < setting.low || value > setting.high) {
    *why = digits + " is out of range: " + SettingAllowedText(setting);
    return false;
  }
  *stored = std::to_string(value);
  return true;
}

bool CheckUrl(const std::string& text, std::string* why) {
  size_t start = 0;
  if (strncasecmp(text.c_str(), "http://", 7) == 0) {
    start = 7;
  } else if (strncasecmp(text.c_str(), "https://", 8) == 0) {
    start = 8;
  } else {
    *why = "\"" + text + "\" does not begin with http:// or https://";
    return false;
  }
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f || c == '?' || c == '#' || c == '\\') {
      *why = "\"" + text + "\" holds a blank, control or non-ASCII character, or one of ? # \\";
      return false;
    }
  }
  const std::string authority = text.substr(start, text.find('/', start) - start);
  const size_t colon = authority.rfind(':');
  const bool has_port = colon != std::string::npos && authority.find(']', colon) == std::string::npos;
  const std::string host = has_port ? authority.substr(0, colon) : authority;
  if (host.empty()) {
    *why = "\"" + text + "\" names no host";
    return false;
  }
  if (has_port) {
    const std::string port = authority.substr(colon + 1);
    if (!IsDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
      *why = "\"" + port + "\" in \"" + text + "\" is not a port number (1 to 65535)";
      return false;
    }
  }
  if (text.back() == '/') {
    // The service appends paths that begin with "/" to it.
    *why = "\"" + text + "\" ends with \"/\"; leave it out";
    return false;
  }
  return true;
}

}  // namespace

int64_t ParseSetting(const std::string& text, int64_t fallback, int64_t low, int64_t high) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return fallback;
  // More digits than any value in range: above the upper bound.
  const size_t start = std::min(text.find_first_not_of('0'), text.size());
  if (text.size() - start > 12) return high;
  const int64_t value = std::stoll(text);
  return std::clamp(value, low, high);
}

const Setting* FindSetting(const std::string& name) {
  for (const Setting* setting : kSettings) {
    if (strcasecmp(setting->name, name.c_str()) == 0) return setting;
  }
  return nullptr;
}

SettingSource ReadSettingText(RegistryStore* registry, const Setting& setting, std::string* text) {
  if (registry->ReadString(RegRoot::kLocalMachine, setting.key, "", text)) return SettingSource::kKey;
  if (setting.old_value_name != nullptr &&
      registry->ReadString(RegRoot::kLocalMachine, kServiceRegistryKey, setting.old_value_name, text)) {
    return SettingSource::kOldValue;
  }
  return SettingSource::kNone;
}

std::string SettingDefaultText(const Setting& setting) {
  if (setting.type == SettingType::kSeconds) return std::to_string(setting.fallback);
  return *setting.default_text == '\0' ? "none" : setting.default_text;
}

std::string SettingAllowedText(const Setting& setting) {
  switch (setting.type) {
    case SettingType::kSeconds:
      return "whole seconds from " + std::to_string(setting.low) + " to " + std::to_string(setting.high);
    case SettingType::kUrl:
      return "an http:// or https:// URL (host, optional port and path) without a final \"/\"";
    case SettingType::kFile:
      return "an absolute file path, or empty for none";
    case SettingType::kChoice:
      break;
  }
  std::string out;
  for (const char* const* choice = setting.choices; *choice != nullptr; ++choice) {
    out += std::string(out.empty() ? "" : choice[1] == nullptr ? " or " : ", ") + *choice;
  }
  return out;
}

bool CheckSettingValue(const Setting& setting, const std::string& text, std::string* stored, std::string* why) {
  switch (setting.type) {
    case SettingType::kSeconds:
      return CheckSeconds(setting, text, stored, why);
    case SettingType::kUrl:
      if (!CheckUrl(text, why)) return false;
      *stored = text;
      return true;
    case SettingType::kFile:
      if (!text.empty() && (text[0] != '/' || text.find_first_of(std::string("\0\r\n", 3)) != std::string::npos)) {
        *why = "\"" + text + "\" is not an absolute file path";
        return false;
      }
      *stored = text;
      return true;
    case SettingType::kChoice:
      break;
  }
  for (const char* const* choice = setting.choices; *choice != nullptr; ++choice) {
    if (strcasecmp(*choice, text.c_str()) == 0) {
      *stored = *choice;
      return true;
    }
  }
  *why = "\"" + text + "\" is not one of " + SettingAllowedText(setting);
  return false;
}

bool ReadApplicationSetting(RegistryStore* registry, const std::string& app_code, const std::string& name,
                            std::string* text) {
  // A code that could name another key reads nothing.
  if (registry == nullptr || app_code.empty() || app_code.find('\\') != std::string::npos) return false;
  const std::string key = std::string(kApplicationsRegistryKey) + "\\" + app_code + "\\" + name;
  return registry->ReadString(RegRoot::kLocalMachine, key, "", text);
}

}  // namespace zev
