#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bytes.h"
#include "xson/codec.h"
#include "xson/containers.h"

namespace xson {
namespace {

constexpr uint64_t kMaxJsonArray = 0x1000000;
constexpr uint64_t kMaxJsonObject = 0x10000;
constexpr size_t kMaxReaderName = 255;

// Narrow strings hold UTF-8 here; ill-formed bytes become U+FFFD so that the
// text written is always valid JSON.
std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    int extra = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
    uint32_t cp = extra == 1 ? c & 0x1Fu : extra == 2 ? c & 0x0Fu : c & 0x07u;
    bool ok = extra > 0 && n - i > static_cast<size_t>(extra);
    for (int k = 1; ok && k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[extra < 0 ? 0 : extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (ok) {
      out.append(text, i, static_cast<size_t>(extra) + 1);
      i += static_cast<size_t>(extra) + 1;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

void Quote(const std::string& text, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  out->push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        if (c >= 1 && c <= 31) {
          out->append("\\u00");
          out->push_back(kHex[c >> 4]);
          out->push_back(kHex[c & 15]);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

bool Write(const value_t& value, std::string* out, int depth) {
  if (depth > kMaxDepth) return false;
  char number[64];
  switch (TypeOf(value)) {
    case vtNull:
      out->append("null");
      return true;
    case vtInteger:
      snprintf(number, sizeof(number), "%lld", static_cast<long long>(GetInteger(value)));
      out->append(number);
      return true;
    case vtReal:
      // JSON has no infinity or NaN; "inf" and "nan" would make text that no
      // reader (this one included) takes back.
      if (!std::isfinite(value.payload.r)) {
        out->append("null");
        return true;
      }
      snprintf(number, sizeof(number), "%g", value.payload.r);
      out->append(number);
      return true;
    case vtBoolean:
      out->append(value.payload.b != 0 ? "true" : "false");
      return true;
    case vtString8: {
      auto* s = static_cast<xson_str8_t*>(value.payload.p);
      if (s == nullptr) return false;
      Quote(ValidUtf8(s->text()), out);
      return true;
    }
    case vtString16: {
      auto* s = static_cast<xson_str16_t*>(value.payload.p);
      if (s == nullptr) return false;
      std::string utf8;
      const std::u16string& t = s->text();
      for (size_t i = 0; i < t.size(); ++i) {
        uint32_t c = t[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (t[i + 1] - 0xDC00);
          ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
          break;  // an unpaired surrogate ends the conversion
        }
        zev::AppendUtf8(c, &utf8);
      }
      Quote(utf8, out);
      return true;
    }
    case vtBuffer: {
      auto* b = static_cast<xson_buffer_t*>(value.payload.p);
      if (b == nullptr) return false;
      static const char kHex[] = "0123456789ABCDEF";
      out->append("\"/ASCIIHEX/");
      const uint8_t* data = b->Data();
      for (uint64_t i = 0; i < b->Count(); ++i) {
        out->push_back(kHex[data[i] >> 4]);
        out->push_back(kHex[data[i] & 15]);
      }
      out->push_back('"');
      return true;
    }
    case vtArray: {
      auto* a = static_cast<xson_array_t*>(value.payload.p);
      if (a == nullptr || a->Count() > kMaxJsonArray) return false;
      out->push_back('[');
      for (uint64_t i = 0; i < a->Count(); ++i) {
        if (i > 0) out->push_back(',');
        if (!Write(*a->At(i, false), out, depth + 1)) return false;
      }
      out->push_back(']');
      return true;
    }
    case vtObject: {
      auto* o = static_cast<xson_object_t*>(value.payload.p);
      if (o == nullptr || o->Count() > kMaxJsonObject) return false;
      out->push_back('{');
      bool first = true;
      for (const auto& [name, member] : o->members()) {
        if (!first) out->push_back(',');
        first = false;
        Quote(name, out);
        out->push_back(':');
        if (!Write(member, out, depth + 1)) return false;
      }
      out->push_back('}');
      return true;
    }
    default:
      return false;
  }
}

class Reader {
 public:
  Reader(const char* text, size_t length) : p_(text), end_(text + length) {}

  bool ParseValue(value_t* out, int depth) {
    if (depth > kMaxDepth) return Fail("Syntax error: xval, object or array expected.");
    SkipSpace();
    if (p_ >= end_) return Fail("Syntax error: xval, object or array expected.");
    char c = *p_;
    if (c == '{') return ParseObject(out, depth);
    if (c == '[') return ParseArray(out, depth);
    if (c == '"') {
      std::string text;
      if (!ParseString(&text)) return false;
      SetValueType(out, vtString8, 0, false);
      static_cast<xson_str8_t*>(out->payload.p)->Assign(text.data(), static_cast<int64_t>(text.size()));
      return true;
    }
    if (Match("true")) {
      SetInteger(out, 1, vs32);
      return true;
    }
    if (Match("false")) {
      SetInteger(out, 0, vs32);
      return true;
    }
    if (Match("null")) {
      ClearValue(out);
      return true;
    }
    if ((c >= '0' && c <= '9') || c == '-' || c == '.' || c == '+' || c == 'e' || c == 'E') {
      return ParseNumber(out);
    }
    return Fail("Syntax error: xval, object or array expected.");
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& text) {
    if (error_.empty()) error_ = text;
    return false;
  }

  bool Match(const char* word) {
    size_t n = strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }

  void SkipSpace() {
    while (p_ < end_) {
      char c = *p_;
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++p_;
      } else if (c == '/' && p_ + 1 < end_ && p_[1] == '*') {
        const char* close = p_ + 2;
        while (close + 1 < end_ && !(close[0] == '*' && close[1] == '/')) ++close;
        p_ = close + 1 < end_ ? close + 2 : end_;
      } else if (c == '/' && p_ + 1 < end_ && p_[1] == '/') {
        while (p_ < end_ && *p_ != '\n') ++p_;
      } else {
        return;
      }
    }
  }

  bool ParseNumber(value_t* out) {
    const char* start = p_;
    while (p_ < end_ && ((*p_ >= '0' && *p_ <= '9') || *p_ == '.' || *p_ == 'e' || *p_ == 'E' || *p_ == '+' ||
                         *p_ == '-')) {
      ++p_;
    }
    std::string token(start, p_);
    bool real = token.find_first_of(".eE+") != std::string::npos || token.find('-', 1) != std::string::npos;
    if (real) {
      double d = 0;
      if (sscanf(token.c_str(), "%lf", &d) != 1) return Fail("'" + token + "' is not a number.");
      ClearValue(out);
      out->header = vtReal;
      out->payload.r = d;
      return true;
    }
    size_t i = token[0] == '-' ? 1 : 0;
    if (i >= token.size()) return Fail("'" + token + "' is not a number.");
    uint64_t v = 0;  // wraps modulo 2^64 like the literal's digits
    for (; i < token.size(); ++i) v = v * 10 + static_cast<uint64_t>(token[i] - '0');
    if (token[0] == '-') v = 0 - v;
    SetInteger(out, static_cast<int64_t>(v), vs64);
    return true;
  }

  bool ReadHex4(uint32_t* value) {
    if (end_ - p_ < 4) return Fail("Bad unicode escape sequence in string: four digits expected.");
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      int h = zev::HexDigitValue(p_[i]);
      if (h < 0) return Fail("Bad unicode escape sequence in string: hexadecimal digit expected.");
      v = v << 4 | static_cast<uint32_t>(h);
    }
    p_ += 4;
    *value = v;
    return true;
  }

  bool ParseString(std::string* text) {
    ++p_;  // the opening quote
    for (;;) {
      if (p_ >= end_) return Fail("Syntax error: xval, object or array expected.");
      char c = *p_++;
      if (c == '"') return true;
      if (c != '\\') {
        text->push_back(c);
        continue;
      }
      if (p_ >= end_) return Fail("Empty escape sequence in string");
      char e = *p_++;
      switch (e) {
        case '"': text->push_back('"'); break;
        case '/': text->push_back('/'); break;
        case '\\': text->push_back('\\'); break;
        case 'b': text->push_back('\b'); break;
        case 'f': text->push_back('\f'); break;
        case 'n': text->push_back('\n'); break;
        case 'r': text->push_back('\r'); break;
        case 't': text->push_back('\t'); break;
        case 'u': {
          uint32_t cp;
          if (!ReadHex4(&cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end_ - p_ < 6) return Fail("additional six characters expected to parse unicode surrogate pair.");
            if (p_[0] != '\\' || p_[1] != 'u') {
              return Fail("expecting another \\u token to begin the second half of a unicode surrogate pair");
            }
            p_ += 2;
            uint32_t low;
            if (!ReadHex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) {
              return Fail("expecting another \\u token to begin the second half of a unicode surrogate pair");
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone low surrogate has no character
          }
          zev::AppendUtf8(cp, text);
          break;
        }
        default:
          return Fail("Bad escape sequence in string");
      }
    }
  }

  bool ParseArray(value_t* out, int depth) {
    ++p_;
    value_t array = {};
    SetValueType(&array, vtArray, 0, false);
    auto* a = static_cast<xson_array_t*>(array.payload.p);
    SkipSpace();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      *out = array;
      return true;
    }
    for (;;) {
      value_t element = {};
      if (!ParseValue(&element, depth + 1)) {
        ClearValue(&array);
        return false;
      }
      a->Append(&element);
      ClearValue(&element);
      SkipSpace();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ < end_ && *p_ == ']') {
        ++p_;
        *out = array;
        return true;
      }
      ClearValue(&array);
      return Fail("Missing ',' or ']' in array declaration");
    }
  }

  bool ParseObject(value_t* out, int depth) {
    ++p_;
    value_t object = {};
    SetValueType(&object, vtObject, 0, false);
    auto* o = static_cast<xson_object_t*>(object.payload.p);
    SkipSpace();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      *out = object;
      return true;
    }
    for (;;) {
      SkipSpace();
      std::string name;
      if (p_ >= end_ || *p_ != '"' || !ParseString(&name) || name.empty() || name.size() > kMaxReaderName ||
          name.find('\0') != std::string::npos) {
        ClearValue(&object);
        return Fail("Missing '}' or object member name");
      }
      SkipSpace();
      if (p_ >= end_ || *p_ != ':') {
        ClearValue(&object);
        return Fail("Missing ':' after object member name");
      }
      ++p_;
      value_t member = {};
      if (!ParseValue(&member, depth + 1)) {
        ClearValue(&object);
        return false;
      }
      bool stored = o->Set(name.c_str(), &member);
      ClearValue(&member);
      if (!stored) {
        ClearValue(&object);
        return Fail("Missing '}' or object member name");
      }
      SkipSpace();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ < end_ && *p_ == '}') {
        ++p_;
        *out = object;
        return true;
      }
      ClearValue(&object);
      return Fail("Missing ',' or '}' in object declaration");
    }
  }

  const char* p_;
  const char* const end_;
  std::string error_;
};

}  // namespace

bool WriteJson(const value_t& value, std::string* out) { return Write(value, out, 0); }

bool ParseJson(const char* text, size_t length, value_t* value, std::string* error) {
  Reader reader(text, length);
  value_t parsed = {};
  if (!reader.ParseValue(&parsed, 0)) {
    ClearValue(&parsed);
    if (error) *error = reader.error();
    return false;
  }
  *value = parsed;
  return true;
}

}  // namespace xson
