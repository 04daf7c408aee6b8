// zevctl status, hosts and strategy: what an operator asks first, from the
// service's lock, registry values, endpoints, records and systemd.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/bind_address.h"
#include "contract/host_status.h"
#include "contract/http_client.h"
#include "contract/names.h"
#include "contract/strategy_status.h"
#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "platform/wait.h"
#include "tools/zevctl/zevctl.h"

namespace zev::ctl {

namespace {

// Whether a service instance holds the instance lock, as the text of the
// status line; *held when it does.
// *readable: whether this user may open the lock file at all (the service
// keeps it private; other users learn from the port mutex instead).
std::string InstanceLockState(bool* held, bool* readable) {
  *held = false;
  *readable = true;
  const std::string path =
      JoinPath(JoinPath(GetCommonDataDir(), "run"), NamedMutexFileName(kInstanceMutexName));
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return "free (no service instance runs)";
  if (fd < 0) {
    *readable = errno != EACCES;
    return "unknown (" + path + ": " + strerror(errno) + ")";
  }
  // The service holds the lock exclusively, so a shared one is refused
  // exactly while it runs. Closing the file drops the shared lock at once; a
  // service that tries to start in that instant takes the lock at its next
  // attempt.
  int rc;
  do {
    rc = flock(fd, LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  const int error = errno;
  close(fd);
  if (rc == 0) return "free (no service instance runs)";
  if (error != EWOULDBLOCK) return "unknown (" + path + ": " + strerror(error) + ")";
  *held = true;
  return "held (a service instance runs)";
}

// The monitor's view of its hosts, from the status file it rewrites on every
// change.
enum class HostTable { kRead, kNoFile, kUnreadable };
HostTable ReadHostTable(std::vector<pubsdk::HostStatusEntry>* hosts, std::string* path) {
  *path = JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName);
  if (!FileExists(*path)) return HostTable::kNoFile;
  return pubsdk::ReadHostStatusFile(*path, hosts) ? HostTable::kRead : HostTable::kUnreadable;
}

std::string HostLine(const pubsdk::HostStatusEntry& host) {
  const std::string pid = host.pid > 0 ? std::to_string(host.pid) : "none";
  std::string components, refused;
  for (const std::string& id : host.components) components += (components.empty() ? "" : " ") + id;
  for (const std::string& id : host.refused) refused += " " + id;
  return "group " + host.group_name + ": node " + host.node_name + ", pid " + pid + ", restarts " +
         std::to_string(host.restart_count) +
         (host.restart_refused ? ", restarts refused until tomorrow (UTC)" : "") +
         (components.empty() ? std::string() : ", components " + components) +
         (refused.empty() ? std::string() : ", " + std::to_string(host.refused.size()) + " refused:" + refused);
}

}  // namespace

// One line per process group.
int Hosts(const std::vector<std::string>& args) {
  if (!args.empty()) return Usage();
  if (GetRuntimeDir().empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return 1;
  }
  std::vector<pubsdk::HostStatusEntry> hosts;
  std::string path;
  switch (ReadHostTable(&hosts, &path)) {
    case HostTable::kNoFile:
      printf("no hosts (%s does not exist: the service runs no components)\n", path.c_str());
      return 0;
    case HostTable::kUnreadable:
      fprintf(stderr, "zevctl: %s cannot be read or is not a host status file\n", path.c_str());
      return 1;
    case HostTable::kRead:
      break;
  }
  if (hosts.empty()) printf("no hosts\n");
  for (const pubsdk::HostStatusEntry& host : hosts) printf("%s\n", HostLine(host).c_str());
  return 0;
}

namespace {

std::string UtcText(int64_t millis) {
  const time_t seconds = static_cast<time_t>(millis / 1000);
  struct tm parts {};
  char text[64] = "?";
  if (gmtime_r(&seconds, &parts) != nullptr) strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

// The record that the server strategy leaves in the registry after every
// pass.
enum class StrategyRecord { kRead, kNone, kUnreadable };
StrategyRecord ReadLastPass(StrategyStatus* status) {
  std::string text;
  if (!RegReadString(RegRoot::kLocalMachine, kStrategyStatusKey, "", &text)) return StrategyRecord::kNone;
  return ParseStrategyStatus(text, status) ? StrategyRecord::kRead : StrategyRecord::kUnreadable;
}

// "2027-01-15 08:00:00 UTC, catalogue from the server"
std::string PassText(const StrategyStatus& status) {
  return UtcText(status.time_ms) + ", catalogue from " + (status.result == "server" ? "the server" : status.result);
}

std::string CountsText(const StrategyStatus& status) {
  return "listed " + std::to_string(status.listed) + ", installed " + std::to_string(status.installed) +
         ", failed " + std::to_string(status.failed);
}

}  // namespace

int Strategy(const std::vector<std::string>& args) {
  if (!args.empty()) return Usage();
  StrategyStatus status;
  switch (ReadLastPass(&status)) {
    case StrategyRecord::kNone:
      printf("no strategy pass yet\n");
      return 0;
    case StrategyRecord::kUnreadable:
      fprintf(stderr, "zevctl: the strategy status in the registry is not readable\n");
      return 1;
    case StrategyRecord::kRead:
      break;
  }
  if (status.time_ms == 0) {
    printf("no strategy pass yet\n");
  } else {
    printf("last pass: %s\n", PassText(status).c_str());
    printf("%s\n", CountsText(status).c_str());
    if (!status.error.empty()) printf("server error: %s\n", status.error.c_str());
    if (status.next_pass_ms > 0) printf("next pass: %s\n", UtcText(status.next_pass_ms).c_str());
  }
  if (status.rollback_time_ms > 0) {
    printf("last rollback: %s, %s\n", UtcText(status.rollback_time_ms).c_str(), OneLine(status.rollback).c_str());
  }
  return 0;
}

namespace {

// How long each probe of the status command may take.
constexpr int kProbeLimitMs = 2000;

double MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// What "/" answers on 127.0.0.1:port within limit_ms; *alive when it
// answered as a working endpoint does.
std::string ProbeRoot(int port, int limit_ms, bool* alive) {
  *alive = false;
  const std::string where = "127.0.0.1:" + std::to_string(port);
  HttpClient connection("127.0.0.1", port);
  HttpResponse response;
  std::string error;
  if (!connection.Request("GET", "/", {{"Connection", "close"}}, "", limit_ms, &response, &error)) {
    return "no answer from " + where + " (" + error + ")";
  }
  std::string body = response.body;
  if (body.size() > 200) body = body.substr(0, 200) + "...";
  *alive = response.status == 200 && body == kEndpointAliveText;
  return std::to_string(response.status) + " \"" + OneLine(body) + "\" from " + where;
}

// An echo over the service's local socket within limit_ms; *ok when the text
// came back.
std::string ProbePipeEcho(int limit_ms, bool* ok) {
  *ok = false;
  const std::string text = "zevctl status " + std::to_string(getpid());
  CZEVEchoRequest request;
  request.set_request(text);
  CallOptions options;
  options.pipe = true;
  options.limit_ms = limit_ms;
  std::string exr, answer, error;
  const auto start = std::chrono::steady_clock::now();
  if (!PostCall(options, kEchoServerId, "echo", request.SerializeAsString(), &exr, &answer, &error)) {
    return "failed (" + error + ")";
  }
  const double elapsed_ms = MillisSince(start);
  if (exr != "0") {
    CZEVRPCExceptionResponse e;
    if (!e.ParseFromString(answer)) return "failed (undecodable exception response)";
    return "failed (exception " + OneLine(e.code()) + ": " + OneLine(e.message()) + ")";
  }
  CZEVEchoResponse response;
  if (!response.ParseFromString(answer)) return "failed (the answer does not parse)";
  if (response.response() != text) return "failed (the answer \"" + OneLine(response.response()) + "\" is not the text sent)";
  *ok = true;
  char line[64];
  snprintf(line, sizeof(line), "ok (%.1f ms round trip)", elapsed_ms);
  return line;
}

// Runs argv with standard output and error into *output, for at most
// limit_ms; a program still running then is killed. kEnded with *exit_code,
// or the failure with the reason in *error.
enum class RunResult { kEnded, kNotStarted, kTimedOut };
RunResult RunWithLimit(const std::vector<std::string>& argv, int limit_ms, std::string* output, int* exit_code,
                       std::string* error) {
  const int64_t deadline = DeadlineAfter(limit_ms);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("no pipe: ") + strerror(errno);
    return RunResult::kNotStarted;
  }
  StartOptions options;
  options.stdout_fd = fds[1];
  options.stderr_fd = fds[1];
  std::unique_ptr<ProcessHandle> process = StartProcessArgv(argv, options, error);
  close(fds[1]);
  if (!process) {
    close(fds[0]);
    return RunResult::kNotStarted;
  }
  // Until the end of the output, which a child of the program may hold open
  // after the program itself has ended: the deadline still bounds it.
  char buf[4096];
  for (;;) {
    pollfd readable = {fds[0], POLLIN, 0};
    if (PollUntil(&readable, 1, deadline) <= 0) break;
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output->size() < 65536) output->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  const int64_t left = deadline - MonotonicMillis();
  if (!process->Wait(static_cast<int>(std::max<int64_t>(left, 0)))) {
    process->Terminate();
    process->Wait(1000);
    *error = "no answer within " + std::to_string(limit_ms) + " ms";
    return RunResult::kTimedOut;
  }
  *exit_code = process->ExitCode();
  return RunResult::kEnded;
}

// systemd's view of the service's unit, when systemd runs this machine.
std::string SystemdState(int limit_ms) {
  // Tests point the marker elsewhere: here systemd is not the init process.
  const char* run_dir = getenv("ZEV_SYSTEMD_RUN_DIR");
  const std::string marker = run_dir != nullptr && *run_dir != '\0' ? run_dir : "/run/systemd/system";
  struct stat info;
  if (stat(marker.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "not running here (no " + marker + ")";
  }
  const char* named = getenv("ZEV_SYSTEMCTL");
  const std::string program = named != nullptr && *named != '\0' ? named : "systemctl";
  std::string output, error;
  int exit_code = 0;
  const RunResult run = RunWithLimit({program, "show", "zevsvc.service", "-p", "ActiveState", "-p", "SubState",
                                      "-p", "MainPID", "-p", "StatusText"},
                                     limit_ms, &output, &exit_code, &error);
  if (run == RunResult::kNotStarted) return "not running here (" + error + ")";
  if (run == RunResult::kTimedOut) return program + " show: " + error;
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < output.size();) {
    size_t end = output.find('\n', begin);
    if (end == std::string::npos) end = output.size();
    if (end > begin) lines.push_back(OneLine(output.substr(begin, end - begin)));
    begin = end + 1;
  }
  std::string joined;
  for (const std::string& line : lines) joined += (joined.empty() ? "" : ", ") + line;
  if (exit_code != 0) {
    return program + " show failed with exit status " + std::to_string(exit_code) +
           (joined.empty() ? "" : ": " + joined);
  }
  return joined.empty() ? program + " show printed nothing" : joined;
}

}  // namespace

// Everything an operator asks first, one fact a line. Exit status 0 when the
// service holds its instance lock, "/" answers and an echo over the local
// socket comes back. "--test-probe-ms N" gives each probe N ms instead, for
// tests that see a probe give up without waiting seconds.
int Status(const std::vector<std::string>& args) {
  int limit_ms = kProbeLimitMs;
  if (args.size() == 2 && args[0] == "--test-probe-ms") {
    int32_t ms = 0;
    if (!ParseInt32(args[1], &ms) || ms < 1) return Usage();
    limit_ms = ms;
  } else if (!args.empty()) {
    return Usage();
  }
  if (GetCommonDataDir().empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return 1;
  }
  bool lock_held = false;
  bool lock_readable = true;
  printf("instance lock: %s\n", InstanceLockState(&lock_held, &lock_readable).c_str());

  // The store is the service's user's alone: another user cannot tell the
  // settings or the last pass, and says so rather than show defaults.
  const std::string store = RegistryDatabasePath();
  const bool store_private = access(store.c_str(), F_OK) == 0 && access(store.c_str(), R_OK) != 0;
  const std::string private_store = "unknown (" + store + " is for the service's user only)";
  if (store_private) {
    printf("http address: %s\n", private_store.c_str());
  } else {
    std::string unrecognised;
    const std::string address = ReadHttpBindAddress(&RegistryStore::Default(), &unrecognised);
    std::string detail = address == "127.0.0.1" ? "loopback only" : "all interfaces";
    if (!unrecognised.empty()) {
      detail += "; " + std::string(kBindAddressValueName) + " \"" + unrecognised + "\" is not honoured";
    }
    printf("http address: %s (%s)\n", address.c_str(), detail.c_str());
  }

  std::string port_text;
  int port = 0;
  if (RegReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &port_text)) {
    printf("http port: %s\n", port_text.c_str());
    int32_t number = 0;
    if (ParseInt32(port_text, &number) && number > 0 && number < 65536) port = number;
  } else {
    printf("http port: none published\n");
  }
  bool root_alive = false;
  bool port_mutex_held = false;
  if (port > 0) {
    port_mutex_held = PortMutexIsHeld(port, JoinPath(GetCommonDataDir(), "run"));
    printf("port mutex: %s\n", port_mutex_held ? "held (the endpoint answered its guard's last check)"
                                               : "not held (the endpoint did not answer, or no guard runs)");
    printf("http \"/\": %s\n", ProbeRoot(port, limit_ms, &root_alive).c_str());
  } else {
    const char* why = port_text.empty() ? "no port published" : "the published port is not a port number";
    printf("port mutex: not held (%s)\n", why);
    printf("http \"/\": not asked (%s)\n", why);
  }

  bool echo_ok = false;
  printf("pipe echo: %s\n", ProbePipeEcho(limit_ms, &echo_ok).c_str());

  StrategyStatus pass;
  const StrategyRecord record = ReadLastPass(&pass);
  bool strategy_stalled = false;
  if (record == StrategyRecord::kRead && pass.time_ms == 0) {
    printf("strategy: no pass yet\n");
  } else if (record == StrategyRecord::kRead) {
    printf("strategy: last pass %s; %s%s\n", PassText(pass).c_str(), CountsText(pass).c_str(),
           pass.next_pass_ms > 0 ? ("; next pass " + UtcText(pass.next_pass_ms)).c_str() : "");
    if (!pass.error.empty()) printf("strategy server error: %s\n", OneLine(pass.error).c_str());
    const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
    strategy_stalled =
        lock_held && StrategyStalled(pass, ReadIntervalSetting(&RegistryStore::Default()) * 1000, now_ms);
    if (strategy_stalled) {
      printf("strategy health: no pass for two intervals; the update thread is stuck or gone (see the log)\n");
    }
  } else if (store_private) {
    printf("strategy: %s\n", private_store.c_str());
  } else {
    printf("strategy: %s\n", record == StrategyRecord::kNone ? "no pass yet" : "the record in the registry is not readable");
  }
  if (record == StrategyRecord::kRead && pass.rollback_time_ms > 0) {
    printf("rollback: %s, %s\n", UtcText(pass.rollback_time_ms).c_str(), OneLine(pass.rollback).c_str());
  }

  std::vector<pubsdk::HostStatusEntry> hosts;
  std::string hosts_path;
  switch (ReadHostTable(&hosts, &hosts_path)) {
    case HostTable::kNoFile:
      printf("hosts: 0 hosts, 0 components (no host status file)\n");
      break;
    case HostTable::kUnreadable:
      printf("hosts: unknown (%s cannot be read or is not a host status file)\n", hosts_path.c_str());
      break;
    case HostTable::kRead: {
      size_t running = 0, components = 0, refused = 0;
      for (const pubsdk::HostStatusEntry& host : hosts) {
        if (host.pid > 0) ++running;
        components += host.components.size();
        refused += host.refused.size();
      }
      printf("hosts: %zu hosts (%zu running), %zu components%s\n", hosts.size(), running, components,
             refused > 0 ? (", " + std::to_string(refused) + " refused").c_str() : "");
      for (const pubsdk::HostStatusEntry& host : hosts) printf("%s\n", HostLine(host).c_str());
      break;
    }
  }

  printf("systemd: %s\n", SystemdState(limit_ms).c_str());
  // A user who may not open the private instance lock has the port mutex,
  // which only a running service holds, to go by.
  const bool instance_runs = lock_held || (!lock_readable && port_mutex_held);
  return instance_runs && root_alive && echo_ok && !strategy_stalled ? 0 : 1;
}

}  // namespace zev::ctl
