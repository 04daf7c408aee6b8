// Strict reading of JSON from outside the process: the strategy server's
// documents, products' Config.json files and the records the service keeps;
// and the one compact form in which the service writes such records.
#ifndef ZEV_CONTRACT_STRICT_JSON_H_
#define ZEV_CONTRACT_STRICT_JSON_H_

#include <json/json.h>

#include <string>

namespace zev {

// Deepest nesting read; deeper documents are refused whole.
constexpr int kMaxJsonDepth = 64;

// Parses `text` strictly: no comments, nesting no deeper than
// kMaxJsonDepth, and the root must be an array or an object. Never throws;
// false with the reason in *error (when given).
bool ParseStrictJson(const std::string& text, Json::Value* root, std::string* error = nullptr);

// `root` on one line without indentation; with `utf8`, texts as they are
// held instead of \u escapes for what is not ASCII.
std::string WriteCompactJson(const Json::Value& root, bool utf8 = false);

}  // namespace zev

#endif  // ZEV_CONTRACT_STRICT_JSON_H_
