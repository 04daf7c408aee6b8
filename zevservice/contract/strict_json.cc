#include "contract/strict_json.h"

#include <exception>
#include <memory>

namespace zev {

bool ParseStrictJson(const std::string& text, Json::Value* root, std::string* error) {
  Json::CharReaderBuilder builder;
  builder["allowComments"] = false;
  builder["strictRoot"] = true;
  builder["allowDroppedNullPlaceholders"] = false;
  builder["allowNumericKeys"] = false;
  builder["allowSingleQuotes"] = false;
  builder["failIfExtra"] = false;
  builder["rejectDupKeys"] = false;
  builder["allowSpecialFloats"] = false;
  builder["stackLimit"] = kMaxJsonDepth;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), root, &errors)) {
      if (error != nullptr) *error = errors.substr(0, errors.find('\n'));
      return false;
    }
  } catch (const std::exception&) {
    // JsonCpp throws past its stack limit.
    if (error != nullptr) *error = "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return false;
  }
  if (!root->isArray() && !root->isObject()) {
    if (error != nullptr) *error = "the root is neither an array nor an object";
    return false;
  }
  return true;
}

std::string WriteCompactJson(const Json::Value& root, bool utf8) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  if (utf8) builder["emitUTF8"] = true;
  return Json::writeString(builder, root);
}

}  // namespace zev
