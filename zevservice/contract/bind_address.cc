#include "contract/bind_address.h"

#include <strings.h>

#include "platform/settings.h"

namespace zev {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string ReadHttpBindAddress(RegistryStore* registry, std::string* unrecognised) {
  if (unrecognised != nullptr) unrecognised->clear();
  std::string value;
  if (ReadSettingText(registry, kBindAddressSetting, &value) == SettingSource::kNone) return "0.0.0.0";
  const std::string text = Trim(value);
  if (text == "127.0.0.1" || strcasecmp(text.c_str(), "localhost") == 0) return "127.0.0.1";
  if (!text.empty() && text != "0.0.0.0" && unrecognised != nullptr) *unrecognised = value;
  return "0.0.0.0";
}

}  // namespace zev
