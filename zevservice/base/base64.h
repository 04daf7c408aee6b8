// Base64 with the standard alphabet and "=" padding.
#ifndef ZEV_BASE_BASE64_H_
#define ZEV_BASE_BASE64_H_

#include <string>

namespace zev {

std::string Base64Encode(const std::string& bytes);
// Decodes up to the first "=" or character outside the alphabet; whatever
// follows is ignored. A trailing single character (no whole byte) is dropped.
std::string Base64Decode(const std::string& text);

}  // namespace zev

#endif  // ZEV_BASE_BASE64_H_
