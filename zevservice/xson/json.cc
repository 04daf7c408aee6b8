#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <vector>

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
std::string ValidUtf8(std::string_view text) {
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
      out.append(text.data() + i, static_cast<size_t>(extra) + 1);
      i += static_cast<size_t>(extra) + 1;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

void Quote(std::string_view text, std::string* out) {
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
      const std::u16string_view t = s->text();
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
      for (size_t i = 0; i < o->size(); ++i) {
        if (!first) out->push_back(',');
        first = false;
        const Member& member = o->member(i);
        Quote(member.Name(), out);
        out->push_back(':');
        if (!Write(member.value, out, depth + 1)) return false;
      }
      out->push_back('}');
      return true;
    }
    default:
      return false;
  }
}

// Reads straight from the text: a string without escapes is copied once,
// from the input into its container; one with escapes is decoded into a
// buffer the reader keeps for the whole text. Members are parsed into their
// places in the new object.
class Reader {
 public:
  Reader(const char* text, size_t length) : p_(text), end_(text + length), builder_(length) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    DropFrom(0);
    DropMembers(0);
  }

  bool ParseValue(value_t* out, int depth) {
    if (depth > kMaxDepth) return Fail("Syntax error: xval, object or array expected.");
    SkipSpace();
    if (p_ >= end_) return Fail("Syntax error: xval, object or array expected.");
    char c = *p_;
    if (c == '{') return ParseObject(out, depth);
    if (c == '[') return ParseArray(out, depth);
    if (c == '"') {
      std::string_view text;
      if (!ParseString(&text)) return false;
      out->header = vtString8;
      out->payload.p = builder_.String(text.data(), text.size());
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

  template <size_t N>
  bool Match(const char (&word)[N]) {
    constexpr size_t n = N - 1;
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

  // A number is the longest run of digits, '.', 'e', 'E', '+' and '-'. It
  // is an integer when it holds only digits after an optional leading '-'
  // (taken modulo 2^64), otherwise a real read as scanf's "%lf" reads it.
  bool ParseNumber(value_t* out) {
    const char* start = p_;
    bool real = false;
    for (; p_ < end_; ++p_) {
      char c = *p_;
      if (c >= '0' && c <= '9') continue;
      if (c == '.' || c == 'e' || c == 'E' || c == '+' || (c == '-' && p_ != start)) {
        real = true;
      } else if (c != '-') {
        break;
      }
    }
    if (real) {
      double d = 0;
      // from_chars and scanf round alike; whatever from_chars does not take
      // whole (a prefix only, out of range) goes to scanf itself.
      auto [end, ec] = std::from_chars(start, p_, d);
      if (ec != std::errc() || end != p_) {
        std::string token(start, p_);
        if (sscanf(token.c_str(), "%lf", &d) != 1) return Fail("'" + token + "' is not a number.");
      }
      ClearValue(out);
      out->header = vtReal;
      out->payload.r = d;
      return true;
    }
    const char* digit = *start == '-' ? start + 1 : start;
    if (digit >= p_) return Fail("'" + std::string(start, p_) + "' is not a number.");
    uint64_t v = 0;  // wraps modulo 2^64 like the literal's digits
    for (; digit < p_; ++digit) v = v * 10 + static_cast<uint64_t>(*digit - '0');
    if (*start == '-') v = 0 - v;
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

  // *text is the string's bytes: in the input itself when it has no escape,
  // else in scratch_ (valid until the next string).
  bool ParseString(std::string_view* text) {
    const char* start = ++p_;  // past the opening quote
    while (p_ < end_ && *p_ != '"' && *p_ != '\\') ++p_;
    if (p_ >= end_) return Fail("Syntax error: xval, object or array expected.");
    if (*p_ == '"') {
      *text = std::string_view(start, static_cast<size_t>(p_ - start));
      ++p_;
      return true;
    }
    scratch_.assign(start, p_);
    for (;;) {
      // At a backslash.
      ++p_;
      if (p_ >= end_) return Fail("Empty escape sequence in string");
      char e = *p_++;
      switch (e) {
        case '"': scratch_.push_back('"'); break;
        case '/': scratch_.push_back('/'); break;
        case '\\': scratch_.push_back('\\'); break;
        case 'b': scratch_.push_back('\b'); break;
        case 'f': scratch_.push_back('\f'); break;
        case 'n': scratch_.push_back('\n'); break;
        case 'r': scratch_.push_back('\r'); break;
        case 't': scratch_.push_back('\t'); break;
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
          zev::AppendUtf8(cp, &scratch_);
          break;
        }
        default:
          return Fail("Bad escape sequence in string");
      }
      const char* run = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\') ++p_;
      scratch_.append(run, p_);
      if (p_ >= end_) return Fail("Syntax error: xval, object or array expected.");
      if (*p_ == '"') {
        ++p_;
        *text = scratch_;
        return true;
      }
    }
  }

  // Elements gather on the reader's stack and move into an array of their
  // exact size at the closing bracket.
  bool ParseArray(value_t* out, int depth) {
    ++p_;
    const size_t base = stack_.size();
    SkipSpace();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return MakeArray(base, out);
    }
    for (;;) {
      value_t element = {};
      if (!ParseValue(&element, depth + 1)) {
        DropFrom(base);
        return false;
      }
      stack_.push_back(element);
      SkipSpace();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ < end_ && *p_ == ']') {
        ++p_;
        return MakeArray(base, out);
      }
      DropFrom(base);
      return Fail("Missing ',' or ']' in array declaration");
    }
  }

  bool MakeArray(size_t base, value_t* out) {
    out->payload.p = builder_.Array(stack_.data() + base, stack_.size() - base);
    out->header = vtArray;
    stack_.resize(base);
    return true;
  }

  bool MakeObject(size_t base, value_t* out) {
    out->payload.p = builder_.Object(members_.data() + base, members_.size() - base);
    out->header = vtObject;
    members_.resize(base);
    return true;
  }

  void DropMembers(size_t base) {
    for (size_t i = base; i < members_.size(); ++i) ClearValue(&members_[i]->value);
    members_.resize(base);
  }

  void DropFrom(size_t base) {
    for (size_t i = base; i < stack_.size(); ++i) ClearValue(&stack_[i]);
    stack_.resize(base);
  }

  // Members gather on the reader's stack and make an object at the closing
  // brace, which puts them in name order.
  bool ParseObject(value_t* out, int depth) {
    ++p_;
    const size_t base = members_.size();
    SkipSpace();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return MakeObject(base, out);
    }
    for (;;) {
      SkipSpace();
      std::string_view name;
      if (p_ >= end_ || *p_ != '"' || !ParseString(&name) || name.empty() || name.size() > kMaxReaderName ||
          memchr(name.data(), 0, name.size()) != nullptr) {
        DropMembers(base);
        return Fail("Missing '}' or object member name");
      }
      SkipSpace();
      if (p_ >= end_ || *p_ != ':') {
        DropMembers(base);
        return Fail("Missing ':' after object member name");
      }
      ++p_;
      // A name of 255 bytes is read but cannot be stored: the value after
      // it decides the error. A later member of the same name replaces the
      // earlier one.
      if (name.size() == kMaxReaderName) {
        value_t member = {};
        bool parsed = ParseValue(&member, depth + 1);
        ClearValue(&member);
        DropMembers(base);
        return parsed ? Fail("Missing '}' or object member name") : false;
      }
      Member* member = builder_.NewMember(name);
      members_.push_back(member);
      if (!ParseValue(&member->value, depth + 1)) {
        DropMembers(base);
        return false;
      }
      SkipSpace();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ < end_ && *p_ == '}') {
        ++p_;
        return MakeObject(base, out);
      }
      DropMembers(base);
      return Fail("Missing ',' or '}' in object declaration");
    }
  }

  const char* p_;
  const char* const end_;
  std::string scratch_;
  std::vector<value_t> stack_;
  std::vector<Member*> members_;
  std::string error_;
  ArenaBuilder builder_;
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
