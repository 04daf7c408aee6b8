#include "contract/event_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>

#include <json/json.h>

#include "contract/strict_json.h"
#include "platform/paths.h"

namespace zev {

const char kEventHistoryFileName[] = "events.log";

namespace {

std::string EventLine(const HistoryEvent& e) {
  Json::Value item(Json::objectValue);
  item["time"] = static_cast<Json::Int64>(e.time_ms);
  item["code"] = e.code;
  item["app"] = e.app;
  item["component"] = e.component;
  item["version"] = e.version;
  item["message"] = e.message;
  return WriteCompactJson(item, /*utf8=*/true) + "\n";
}

bool ParseEventLine(const std::string& line, HistoryEvent* e) {
  Json::Value item;
  if (!ParseStrictJson(line, &item) || !item.isObject()) return false;
  const Json::Value& time = item["time"];
  const Json::Value& code = item["code"];
  if (!time.isInt64() || !code.isInt()) return false;
  e->time_ms = time.asInt64();
  e->code = code.asInt();
  const std::pair<const char*, std::string*> texts[] = {
      {"app", &e->app}, {"component", &e->component}, {"version", &e->version}, {"message", &e->message}};
  for (const auto& [name, field] : texts) {
    const Json::Value& value = item[name];
    *field = value.isString() ? value.asString() : std::string();
  }
  return true;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

EventHistoryWriter::EventHistoryWriter(std::string dir, size_t kept)
    : path_(dir.empty() ? std::string() : JoinPath(dir, kEventHistoryFileName)), kept_(std::max<size_t>(kept, 1)) {}

EventHistoryWriter::~EventHistoryWriter() {
  MutexLock lock(&mu_);
  CloseLocked();
}

void EventHistoryWriter::CloseLocked() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool EventHistoryWriter::OpenLocked() {
  if (fd_ >= 0) return true;
  if (path_.empty()) return false;
  // The data folder is the service's own; a link or another user's file
  // planted there is not written through.
  int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    return false;
  }
  // Readable by every user whatever the umask: `zevctl events` is for all.
  if ((st.st_mode & 07777) != 0644) fchmod(fd, 0644);
  std::string text;
  ReadFileToString(path_, &text);
  lines_ = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  // A line cut by a crash would join the next one: end it.
  if (!text.empty() && text.back() != '\n') WriteAll(fd, "\n");
  fd_ = fd;
  return true;
}

bool EventHistoryWriter::Append(const std::vector<HistoryEvent>& events) {
  MutexLock lock(&mu_);
  for (const HistoryEvent& e : events) {
    if (!OpenLocked()) return false;
    if (!WriteAll(fd_, EventLine(e))) {
      CloseLocked();
      return false;
    }
    if (++lines_ >= kept_) {
      CloseLocked();
      if (rename(path_.c_str(), (path_ + ".1").c_str()) != 0) return false;
      lines_ = 0;
    }
  }
  return true;
}

bool ReadEventHistory(const std::string& dir, const HistoryFilter& filter, std::vector<HistoryEvent>* events,
                      std::string* error, size_t kept) {
  events->clear();
  const std::string path = JoinPath(dir, kEventHistoryFileName);
  std::deque<HistoryEvent> last;
  for (const std::string& file : {path + ".1", path}) {
    if (!FileExists(file)) continue;
    std::string text;
    if (!ReadFileToString(file, &text)) {
      *error = file + ": " + strerror(errno);
      return false;
    }
    size_t begin = 0;
    while (begin < text.size()) {
      size_t end = text.find('\n', begin);
      if (end == std::string::npos) end = text.size();
      HistoryEvent e;
      if (ParseEventLine(text.substr(begin, end - begin), &e)) {
        last.push_back(std::move(e));
        if (last.size() > kept) last.pop_front();
      }
      begin = end + 1;
    }
  }
  for (HistoryEvent& e : last) {
    if (e.time_ms < filter.since_ms) continue;
    if (!filter.component.empty() && e.component != filter.component) continue;
    events->push_back(std::move(e));
  }
  return true;
}

}  // namespace zev
