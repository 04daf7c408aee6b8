// zevctl events and metrics: what the service did (its event history in the
// data folder, readable by every user) and what it is doing (its counters,
// from "GET /metrics" on 127.0.0.1).
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "contract/event_history.h"
#include "contract/http_client.h"
#include "contract/names.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "tools/zevctl/zevctl.h"

namespace zev::ctl {

namespace {

// "2027-01-15 08:00:00.123 UTC".
std::string EventTime(int64_t millis) {
  const time_t seconds = static_cast<time_t>(millis / 1000);
  struct tm parts {};
  char text[48] = "?";
  if (gmtime_r(&seconds, &parts) != nullptr) strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
  char full[64];
  snprintf(full, sizeof(full), "%s.%03d UTC", text, static_cast<int>(millis % 1000));
  return full;
}

// A time in UTC ("2027-01-15", "2027-01-15 08:00", "2027-01-15T08:00:00")
// or an age before `now_ms` ("90s", "30m", "2h", "7d"); false for anything else.
bool ParseSinceTime(const std::string& text, int64_t now_ms, int64_t* millis) {
  if (text.empty()) return false;
  const char unit = text.back();
  const std::string digits = text.substr(0, text.size() - 1);
  const int64_t per_unit = unit == 's' ? 1000 : unit == 'm' ? 60000 : unit == 'h' ? 3600000 : unit == 'd' ? 86400000 : 0;
  if (per_unit != 0 && !digits.empty() && digits.size() <= 9 &&
      digits.find_first_not_of("0123456789") == std::string::npos) {
    *millis = now_ms - std::stoll(digits) * per_unit;
    return true;
  }
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M",
                             "%Y-%m-%d"}) {
    struct tm parts {};
    const char* end = strptime(text.c_str(), format, &parts);
    if (end == nullptr || *end != '\0') continue;
    *millis = static_cast<int64_t>(timegm(&parts)) * 1000;
    return true;
  }
  return false;
}

}  // namespace

int Events(const std::vector<std::string>& args) {
  zev::HistoryFilter filter;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i + 1 >= args.size()) return Usage();
    if (args[i] == "--since") {
      if (!ParseSinceTime(args[++i], static_cast<int64_t>(time(nullptr)) * 1000, &filter.since_ms)) {
        fprintf(stderr, "zevctl: --since takes a UTC time (2027-01-15 08:00) or an age (30m, 2h, 7d)\n");
        return 2;
      }
    } else if (args[i] == "--component") {
      filter.component = args[++i];
    } else {
      return Usage();
    }
  }
  const std::string dir = GetCommonDataDir();
  if (dir.empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return 1;
  }
  std::vector<zev::HistoryEvent> events;
  std::string error;
  if (!zev::ReadEventHistory(dir, filter, &events, &error)) {
    fprintf(stderr, "zevctl: %s\n", error.c_str());
    return 1;
  }
  for (const zev::HistoryEvent& e : events) {
    printf("%s  code %d  %s/%s %s%s\n", EventTime(e.time_ms).c_str(), e.code, OneLine(e.app).c_str(),
           OneLine(e.component).c_str(), OneLine(e.version).c_str(),
           e.message.empty() ? "" : ("  " + OneLine(e.message)).c_str());
  }
  return 0;
}

int Metrics(const std::vector<std::string>& args) {
  int port = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--port" || i + 1 >= args.size()) return Usage();
    port = atoi(args[++i].c_str());
  }
  if (port == 0) {
    std::string text;
    if (!RegReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &text)) {
      fprintf(stderr, "zevctl: no service port in the registry of %s (is the service running? or give --port)\n",
              GetCommonDataDir().c_str());
      return 1;
    }
    port = atoi(text.c_str());
  }
  HttpClient connection("127.0.0.1", port);
  HttpResponse response;
  std::string error;
  if (!connection.Request("GET", "/metrics", {{"Connection", "close"}}, "", 10000, &response, &error)) {
    fprintf(stderr, "zevctl: no answer from 127.0.0.1:%d (%s)\n", port, error.c_str());
    return 1;
  }
  if (response.status != 200) {
    fprintf(stderr, "zevctl: 127.0.0.1:%d answered %d\n", port, response.status);
    return 1;
  }
  fwrite(response.body.data(), 1, response.body.size(), stdout);
  return 0;
}

}  // namespace zev::ctl
