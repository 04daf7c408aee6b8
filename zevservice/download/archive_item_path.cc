#include "download/archive_item_path.h"

namespace zev {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// "C:" at the start reads as a drive on Windows; refusing it keeps a package
// meaning the same on both systems.
bool StartsWithDrive(const std::string& text) {
  if (text.size() < 2 || text[1] != ':') return false;
  char c = text[0];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Splits a relative path; false on "..", a leading separator, a drive or NUL.
bool SplitRelative(const std::string& text, std::vector<std::string>* parts) {
  parts->clear();
  if (text.empty() || IsSeparator(text[0]) || StartsWithDrive(text)) return false;
  if (text.find('\0') != std::string::npos) return false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    std::string part = text.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(part);
    start = end + 1;
  }
  return true;
}

}  // namespace

bool SplitArchiveItemPath(const std::string& name, std::vector<std::string>* parts) {
  return SplitRelative(name, parts) && !parts->empty();
}

bool IsSafeLinkTarget(const std::string& target) {
  std::vector<std::string> parts;
  return SplitRelative(target, &parts) && !parts.empty();
}

}  // namespace zev
