#include "contract/host_status.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/paths.h"

namespace pubsdk {

const char kHostStatusFileName[] = "zevhost-status";
const char kHostStatusHeader[] = "group\tnode\tpid\trestarts\trefused\tcomponents";

namespace {

// The columns of the first version.
constexpr size_t kColumns = 6;

// What follows a componentID in the components field: marks, each after a
// kMark.
constexpr char kMark = '!';
constexpr char kRefusedMark[] = "refused";

std::string Field(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find(separator, start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

// A whole decimal number no greater than `max`.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* value) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || v > max) return false;
  *value = v;
  return true;
}

// The number of columns a header names, when it begins with those of the
// first version; 0 otherwise.
size_t HeaderColumns(const std::string& line) {
  const std::vector<std::string> names = Split(line, '\t');
  const std::vector<std::string> known = Split(kHostStatusHeader, '\t');
  if (names.size() < kColumns || !std::equal(known.begin(), known.end(), names.begin())) return 0;
  return names.size();
}

}  // namespace

std::string FormatHostStatusText(const std::vector<HostStatusEntry>& entries) {
  std::string text = std::string(kHostStatusHeader) + "\n";
  for (const HostStatusEntry& h : entries) {
    std::string components;
    for (const std::string& id : h.components) {
      std::string field = Field(id);
      std::replace(field.begin(), field.end(), ',', ' ');
      std::replace(field.begin(), field.end(), kMark, ' ');
      if (std::count(h.refused.begin(), h.refused.end(), id) > 0) field += std::string(1, kMark) + kRefusedMark;
      components += (components.empty() ? "" : ",") + field;
    }
    text += Field(h.group_name) + "\t" + Field(h.node_name) + "\t" + std::to_string(h.pid) + "\t" +
            std::to_string(h.restart_count) + "\t" + (h.restart_refused ? "1" : "0") + "\t" + components + "\n";
  }
  return text;
}

bool ParseHostStatusText(const std::string& text, std::vector<HostStatusEntry>* entries) {
  entries->clear();
  std::vector<HostStatusEntry> read;
  size_t columns = 0;  // 0 until the header is read
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) return false;  // a cut last line
    const std::string line = text.substr(start, nl - start);
    start = nl + 1;
    if (columns == 0) {
      columns = HeaderColumns(line);
      if (columns == 0) return false;
      continue;
    }
    std::vector<std::string> f = Split(line, '\t');
    unsigned long long pid = 0, restarts = 0, refused = 0;
    if (f.size() != columns || !ParseNumber(f[2], 0x7FFFFFFF, &pid) || !ParseNumber(f[3], 0xFFFFFFFF, &restarts) ||
        !ParseNumber(f[4], 1, &refused)) {
      return false;
    }
    HostStatusEntry entry;
    entry.group_name = f[0];
    entry.node_name = f[1];
    entry.pid = static_cast<pid_t>(pid);
    entry.restart_count = static_cast<uint32_t>(restarts);
    entry.restart_refused = refused == 1;
    if (!f[5].empty()) entry.components = Split(f[5], ',');
    for (std::string& id : entry.components) {
      const size_t mark = id.find(kMark);
      if (mark == std::string::npos) continue;
      const std::vector<std::string> marks = Split(id.substr(mark + 1), kMark);
      id.resize(mark);
      if (std::count(marks.begin(), marks.end(), kRefusedMark) > 0) entry.refused.push_back(id);
    }
    read.push_back(entry);
  }
  if (columns == 0) return false;
  entries->swap(read);
  return true;
}

bool ReadHostStatusFile(const std::string& path, std::vector<HostStatusEntry>* entries) {
  entries->clear();
  std::string text;
  return zev::ReadFileToString(path, &text) && ParseHostStatusText(text, entries);
}

}  // namespace pubsdk
