#include "platform/text.h"

#include "platform/bytes.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zev {

namespace {

// Decodes one UTF-8 character at text[*pos]; advances *pos past it. Returns
// false (and advances by one byte) on an ill-formed sequence.
bool DecodeUtf8(const std::string& text, size_t* pos, char32_t* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  size_t i = *pos;
  unsigned char c = s[i];
  if (c < 0x80) {
    *out = c;
    *pos = i + 1;
    return true;
  }
  int extra;
  char32_t cp;
  char32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3, cp = c & 0x07, min = 0x10000;
  } else {
    *pos = i + 1;
    return false;
  }
  if (n - i <= static_cast<size_t>(extra)) {
    *pos = i + 1;
    return false;
  }
  for (int k = 1; k <= extra; ++k) {
    unsigned char cc = s[i + k];
    if ((cc & 0xC0) != 0x80) {
      *pos = i + 1;
      return false;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *pos = i + 1;
    return false;
  }
  *out = cp;
  *pos = i + extra + 1;
  return true;
}

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  out->reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    if (!DecodeUtf8(text, &pos, &cp)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

bool Utf16ToUtf8(const std::u16string& text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    AppendUtf8(c, out);
  }
  return true;
}

bool IsUtf8CodePage(unsigned code_page) {
  return code_page == kCodePageAnsi || code_page == kCodePageUtf8;
}

// Runs iconv over the whole input; false on any conversion error.
bool IconvAll(const char* to, const char* from, const char* in, size_t in_len, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->clear();
  std::vector<char> buf(in_len * 4 + 16);
  char* in_ptr = const_cast<char*>(in);
  size_t in_left = in_len;
  bool ok = true;
  while (in_left > 0) {
    char* out_ptr = buf.data();
    size_t out_left = buf.size();
    size_t r = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    out->append(buf.data(), buf.size() - out_left);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      ok = false;
      break;
    }
    if (r > 0) {  // irreversible conversions count as failures
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

std::string CodePageName(unsigned code_page) { return "CP" + std::to_string(code_page); }

}  // namespace

std::u16string ToWide(const std::string& text, unsigned code_page) {
  std::u16string out;
  if (IsUtf8CodePage(code_page)) {
    if (!Utf8ToUtf16(text, &out)) out.clear();
    return out;
  }
  std::string bytes;
  if (!IconvAll("UTF-16LE", CodePageName(code_page).c_str(), text.data(), text.size(), &bytes)) {
    return out;
  }
  out.resize(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::string FromWide(const std::u16string& text, unsigned code_page) {
  std::string out;
  if (IsUtf8CodePage(code_page)) {
    if (!Utf16ToUtf8(text, &out)) out.clear();
    return out;
  }
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  if (!IconvAll(CodePageName(code_page).c_str(), "UTF-16LE", bytes.data(), bytes.size(), &out)) {
    out.clear();
  }
  return out;
}

bool IsValidUtf8(const std::string& text) {
  size_t pos = 0;
  char32_t cp;
  while (pos < text.size()) {
    if (!DecodeUtf8(text, &pos, &cp)) return false;
  }
  return true;
}

size_t Utf8CutLength(const std::string& text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  size_t cut = max_bytes;
  // Step back over continuation bytes to the start of the character at `cut`.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

std::string SanitizeUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    char32_t cp;
    if (DecodeUtf8(text, &pos, &cp)) {
      out.append(text, start, pos - start);
    } else {
      out.append("\xEF\xBF\xBD");
    }
  }
  return out;
}

std::string AnsiToUtf8(const std::string& text) {
  if (text.empty() || !IsValidUtf8(text)) return std::string();
  return text;
}

std::string Utf8ToAnsi(const std::string& text) {
  if (text.empty() || !IsValidUtf8(text)) return std::string();
  return text;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (text.empty() || from.empty()) return;
  if (to.find(from) != std::string::npos) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
      text.replace(pos, from.size(), to);
      pos += to.size();
    }
    return;
  }
  // No occurrence starts before the one just replaced, so a new one formed by
  // the replacement starts at most from.size()-1 bytes earlier.
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos = pos >= from.size() - 1 ? pos - (from.size() - 1) : 0;
  }
}

std::string TrimLineEnd(const std::string& text) {
  if (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    return text.substr(0, text.size() - 1);
  }
  return text;
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::string FormatTextV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&out[0], out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatTextV(format, args);
  va_end(args);
  return out;
}

std::string FormatTextShort(const char* format, ...) {
  if (format == nullptr) return std::string();
  char buf[1000];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof(buf) - 1));
}

std::string SizeToText(uint64_t bytes) {
  char buf[64];
  if (bytes > 1073741824ULL) {
    snprintf(buf, sizeof(buf), "%.1f GB", static_cast<double>(bytes) / 1073741824.0);
  } else if (bytes > 1048576ULL) {
    snprintf(buf, sizeof(buf), "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  } else if (bytes <= 1024) {
    snprintf(buf, sizeof(buf), "%llu B", static_cast<unsigned long long>(bytes));
  } else {
    snprintf(buf, sizeof(buf), "%.1f KB", static_cast<double>(bytes) / 1024.0);
  }
  return buf;
}

bool ParseKeyValueList(const std::string& text, const std::string& separator,
                       std::map<std::string, std::string>* out) {
  if (text.empty() || separator.empty()) return false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    std::string piece = text.substr(start, end - start);
    size_t colon = piece.find(':');
    if (colon != std::string::npos) (*out)[piece.substr(0, colon)] = piece.substr(colon + 1);
    start = end + separator.size();
  }
  return true;
}

std::string ToLowerAscii(const std::string& text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace zev
