// Text helpers: code-page conversion, replacement, URL encoding, formatting.
//
// Inside the service text is held in the "ANSI code page", which on Linux is
// UTF-8. None of these functions throws or logs; failures show as an empty
// result or false. All are safe to call from any thread.
#ifndef ZEV_PLATFORM_TEXT_H_
#define ZEV_PLATFORM_TEXT_H_

#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>

namespace zev {

// Code pages understood by ToWide/FromWide. 0 (ANSI) and 65001 are UTF-8;
// any other number n is handed to iconv as "CP<n>" (936 is GBK).
constexpr unsigned kCodePageAnsi = 0;
constexpr unsigned kCodePageUtf8 = 65001;

// Converts text in the given code page to UTF-16. Empty on invalid input or an
// unknown code page.
std::u16string ToWide(const std::string& text, unsigned code_page = kCodePageAnsi);
// Converts UTF-16 to the given code page. Empty when the UTF-16 is malformed
// (a lone surrogate) or a character has no mapping in the code page.
std::string FromWide(const std::u16string& text, unsigned code_page = kCodePageAnsi);

// ANSI -> UTF-8 and back. Both code pages are UTF-8 here, so these validate:
// text that is not valid UTF-8 converts to empty, as a failed conversion does.
std::string AnsiToUtf8(const std::string& text);
std::string Utf8ToAnsi(const std::string& text);

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool IsValidUtf8(const std::string& text);
// Length of the longest prefix of `text` (at most `max_bytes` long) that ends
// on a character boundary; used to cut UTF-8 text without splitting a character.
size_t Utf8CutLength(const std::string& text, size_t max_bytes);
// Replaces every ill-formed sequence by U+FFFD so that the result is valid UTF-8.
std::string SanitizeUtf8(const std::string& text);

// Replaces every occurrence of `from` by `to`, searching again after each
// replacement so that occurrences formed by a replacement are replaced too.
// When `to` contains `from` a single left-to-right pass is made instead (the
// repeated search would never end). An empty text or an empty `from` is left alone.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);

// The text without its last character when that is '\n' or '\r' (one only).
std::string TrimLineEnd(const std::string& text);

// Letters, digits and "-_.~" unchanged, ' ' -> '+', every other byte "%XX"
// with upper-case hex digits.
std::string UrlEncode(const std::string& text);

// printf into a string sized exactly for the result; empty on a format error.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* format, va_list args);
// printf into a 1000-byte buffer: results longer than 999 bytes are cut.
std::string FormatTextShort(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "1024 B", "1.5 KB", "1.0 MB", "2.0 GB" (thresholds: up to 1024 bytes plain,
// above 1 MiB in MB, above 1 GiB in GB, KB otherwise; one decimal).
std::string SizeToText(uint64_t bytes);

// Splits `text` at every `separator`, then each piece at its first ':' into
// name and value (a piece without ":" is skipped), and
// stores them in `out` (a later name overwrites an earlier one). False for an
// empty text or an empty separator.
bool ParseKeyValueList(const std::string& text, const std::string& separator,
                       std::map<std::string, std::string>* out);

// ASCII lower case of every byte (the C library's tolower in the "C" locale).
std::string ToLowerAscii(const std::string& text);

}  // namespace zev

#endif  // ZEV_PLATFORM_TEXT_H_
