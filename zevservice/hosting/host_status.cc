#include "hosting/host_status.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/paths.h"

namespace pubsdk {

const char kHostStatusFileName[] = "zevhost-status";
const char kHostStatusHeader[] = "group\tnode\tpid\trestarts\trefused\tcomponents";

namespace {

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

}  // namespace

std::string FormatHostStatus(const std::vector<MonitorHostInfo>& hosts) {
  std::string text = std::string(kHostStatusHeader) + "\n";
  for (const MonitorHostInfo& h : hosts) {
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

bool WriteHostStatus(const std::string& path, const std::vector<MonitorHostInfo>& hosts) {
  // Rewritten on every change of the hosts: a reader needs it whole, not
  // on disk before the next change.
  return WriteFileAtomically(path, FormatHostStatus(hosts), /*durable=*/false);
}

bool ReadHostStatus(const std::string& path, std::vector<MonitorHostInfo>* hosts) {
  hosts->clear();
  std::string text;
  if (!ReadFileToString(path, &text)) return false;
  std::vector<MonitorHostInfo> read;
  size_t start = 0;
  bool header = true;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) return false;  // a cut last line
    const std::string line = text.substr(start, nl - start);
    start = nl + 1;
    if (header) {
      if (line != kHostStatusHeader) return false;
      header = false;
      continue;
    }
    std::vector<std::string> f = Split(line, '\t');
    unsigned long long pid = 0, restarts = 0, refused = 0;
    if (f.size() != 6 || !ParseNumber(f[2], 0x7FFFFFFF, &pid) || !ParseNumber(f[3], 0xFFFFFFFF, &restarts) ||
        !ParseNumber(f[4], 1, &refused)) {
      return false;
    }
    MonitorHostInfo info;
    info.group_name = f[0];
    info.node_name = f[1];
    info.pid = static_cast<pid_t>(pid);
    info.restart_count = static_cast<uint32_t>(restarts);
    info.restart_refused = refused == 1;
    if (!f[5].empty()) info.components = Split(f[5], ',');
    for (std::string& id : info.components) {
      const size_t mark = id.find(kMark);
      if (mark == std::string::npos) continue;
      const std::vector<std::string> marks = Split(id.substr(mark + 1), kMark);
      id.resize(mark);
      if (std::count(marks.begin(), marks.end(), kRefusedMark) > 0) info.refused.push_back(id);
    }
    read.push_back(info);
  }
  if (header) return false;
  hosts->swap(read);
  return true;
}

}  // namespace pubsdk
