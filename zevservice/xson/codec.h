// JSON text and binary form of xson values.
#ifndef ZEV_XSON_CODEC_H_
#define ZEV_XSON_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "xson/xson.h"

namespace xson {

// Appends the JSON text of `value` to *out. False (with *out unspecified) for
// a type that has no JSON form, too many elements or members, or nesting
// deeper than kMaxDepth.
bool WriteJson(const value_t& value, std::string* out);
// Parses one JSON value from the start of `text`; text after it is ignored.
// On failure *error holds the reason and *value is left as it was.
bool ParseJson(const char* text, size_t length, value_t* value, std::string* error);

// Appends the binary form of `value` to *out.
bool SaveBinary(const value_t& value, std::string* out);
// Reads one value from the start of `data`; *value must be a fresh record.
bool LoadBinary(const uint8_t* data, size_t length, value_t* value);

}  // namespace xson

#endif  // ZEV_XSON_CODEC_H_
