// The whole service as the service manager runs it, beside a minimal daemon
// measured the same way in the same run:
//  - exec to READY=1 of zevsvc in service mode (a datagram socket stands in
//    for systemd's notify socket; empty catalogue; real clock), less the
//    2000 ms pause every start begins with, beside a daemon that listens on
//    a TCP port and then sends READY=1 (this program, run with
//    --notify-daemon);
//  - SIGTERM to exit with no host, beside the same daemon, and with 10 hosts:
//    10 components in 10 process groups, packed with the real 7z, installed
//    by a first run on a clock 20 times faster, then started by runs on the
//    real clock from the recorded catalogue;
//  - resident size and threads of an idle zevsvc that runs the demo
//    component, after 1,000 and after 100,000 echo calls over HTTP.
//   service_bench [RUNS] [CALLS] [CLIENTS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/child_run.h"
#include "bench/sealed_echo.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace zev {

namespace {

namespace fs = std::filesystem;

const char kSettingsKey[] = "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\";
constexpr int64_t kStartPauseMs = 2000;
constexpr int kHosts = 10;

double Ms(int64_t nanos) { return static_cast<double>(nanos) / 1e6; }

// The daemon the service is set beside: a listening TCP socket, READY=1,
// and a clean exit on SIGTERM.
int NotifyDaemon() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 128) != 0) {
    return 1;
  }
  const char* path = getenv("NOTIFY_SOCKET");
  sockaddr_un notify = {};
  notify.sun_family = AF_UNIX;
  if (path == nullptr || strlen(path) >= sizeof(notify.sun_path)) return 1;
  strcpy(notify.sun_path, path);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const char ready[] = "READY=1";
  if (sendto(fd, ready, sizeof(ready) - 1, 0, reinterpret_cast<sockaddr*>(&notify), sizeof(notify)) < 0) return 1;
  close(fd);
  int sig = 0;
  sigwait(&stop, &sig);
  close(listener);
  return 0;
}

// A folder of the bench's own, removed at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "service_bench.XXXXXX").string();
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  // SERVICE_BENCH_KEEP=1 keeps it for a look at the services' logs.
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty() && getenv("SERVICE_BENCH_KEEP") == nullptr) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// systemd cannot run here as PID 1; this datagram socket is all that a
// Type=notify service talks to.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The time (NowNanos) a message holding `text` arrived; 0 when none did
  // within `timeout_ms`.
  int64_t WaitFor(const std::string& text, int timeout_ms) {
    const int64_t deadline = NowNanos() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (int64_t now = NowNanos(); now < deadline; now = NowNanos()) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>((deadline - now) / 1000000) + 1) <= 0) continue;
      char buf[1024];
      const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      const int64_t at = NowNanos();
      if (n > 0 && std::string(buf, static_cast<size_t>(n)).find(text) != std::string::npos) return at;
    }
    return 0;
  }
  // Drops what earlier runs left unread.
  void Drain() {
    char buf[1024];
    while (recv(fd_, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
  }

 private:
  const std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// One started service (or daemon): its handle and when it was started.
struct Started {
  std::unique_ptr<ProcessHandle> process;
  int64_t start_nanos = 0;
};

// Starts `argv` with NOTIFY_SOCKET and the data folder `common`; output to
// `output` (empty: /dev/null).
Started Launch(const std::vector<std::string>& argv, const NotifySocket& notify, const std::string& common,
               const std::string& output) {
  const int out = open(output.empty() ? "/dev/null" : output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                       0600);
  StartOptions options;
  options.stdout_fd = out;
  options.stderr_fd = out;
  options.pass_notify_socket = true;
  setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
  setenv("ZEV_COMMON_APPDATA", common.c_str(), 1);
  Started started;
  started.start_nanos = NowNanos();
  started.process = StartProcessArgv(argv, options);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("ZEV_COMMON_APPDATA");
  close(out);
  return started;
}

// Nanoseconds from SIGTERM to the end of the process; -1 when it outlived
// `timeout_ms` (it is killed then). *code gets its exit code.
int64_t StopTime(Started* started, int* code, int timeout_ms = 20000) {
  const int64_t sent = NowNanos();
  kill(started->process->pid(), SIGTERM);
  const bool ended = started->process->Wait(timeout_ms);
  const int64_t took = NowNanos() - sent;
  if (!ended) {
    started->process->Terminate();
    started->process->Wait(kInfinite);
  }
  *code = started->process->ExitCode();
  return ended ? took : -1;
}

// The reference strategy server on a free loopback port.
class StrategyServer {
 public:
  StrategyServer(const std::string& catalogue) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    StartOptions options;
    options.stdout_fd = out[1];
    process_ = StartProcessArgv({ZEV_STRATEGY_SERVER_PATH, "--listen", "127.0.0.1:0", "--catalogue", catalogue},
                                options);
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);
    port_ = atoi(line.c_str());
  }
  ~StrategyServer() {
    if (process_) {
      kill(process_->pid(), SIGTERM);
      process_->Wait(kInfinite);
    }
  }
  int port() const { return port_; }

 private:
  std::unique_ptr<ProcessHandle> process_;
  int port_ = 0;
};

// Points the service of `common` at the strategy server on `port` and at
// loopback for its own endpoint. First (1 s) and Interval (6 s) are for
// --test-timings, which lets them go that low; the service's own delays
// raise them to 30 s and 120 s.
bool Configure(const std::string& common, int port) {
  RegistryStore registry(common);
  return registry.WriteString(RegRoot::kLocalMachine, std::string(kSettingsKey) + "Url", "",
                              "http://127.0.0.1:" + std::to_string(port)) &&
         registry.WriteString(RegRoot::kLocalMachine, std::string(kSettingsKey) + "First", "", "1") &&
         registry.WriteString(RegRoot::kLocalMachine, std::string(kSettingsKey) + "Interval", "", "6") &&
         registry.WriteString(RegRoot::kLocalMachine, "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}",
                              "BindAddress", "127.0.0.1");
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const int64_t deadline = NowNanos() + static_cast<int64_t>(timeout_ms) * 1000000;
  while (!done()) {
    if (NowNanos() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string ReadText(const std::string& path) {
  std::string text;
  ReadFileToString(path, &text);
  return text;
}

// A field of /proc/PID/status as a number ("VmRSS" in KiB, "Threads").
long StatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// The process's threads counted by name ("Poco::Threa x8, zevsvc x3").
std::string ThreadNames(pid_t pid) {
  std::map<std::string, int> names;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::string name = ReadText(task.path().string() + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    ++names[name];
  }
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n.first + " x" + std::to_string(n.second);
  return text;
}

bool Alive(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// ---- The catalogue of 10 components in 10 process groups ----

// Each component writes its host's pid to "started" in its install folder
// and stays up.
const char kComponentScript[] = "#!/bin/sh\necho \"$PPID\" > started\nexec sleep 100000\n";

std::string InstallDir(const std::string& common, int i) {
  return common + "/Varnel/ZEV/download/bench/comp" + std::to_string(i) + "/1.0.0/x64";
}

// Packs run.sh with the real 7z into `out`/compI.7z for each component and
// writes the catalogue that lists them (the strategy server serves the
// packages over HTTP beside it); its path, or empty on failure. A
// package is named after the file it holds with ".7z" added: the unpacked
// file is checked under the name without it.
std::string MakeHostsCatalogue(const std::string& out) {
  std::string components;
  for (int i = 0; i < kHosts; ++i) {
    const std::string stage = out + "/stage" + std::to_string(i);
    const std::string package = out + "/comp" + std::to_string(i) + ".7z";
    fs::create_directories(stage);
    if (!WriteFileAtomically(stage + "/run.sh", kComponentScript)) return "";
    chmod((stage + "/run.sh").c_str(), 0755);
    if (!RunQuiet({"/usr/bin/7z", "a", "-t7z", package, "run.sh"}, stage)) return "";
    const std::string bytes = ReadText(package);
    const std::string n = std::to_string(i);
    components += std::string(i ? "," : "") + "{\"libraryId\": \"comp" + n +
                  "\", \"name\": \"C\", \"description\": \"c\", \"version\": {\"version\": \"1.0.0\", "
                  "\"manifest\": {\"loadMode\": 2, \"runMode\": 3, \"entryPoint\": \"run.sh\", \"updateTime\": 1, "
                  "\"execParams\": {\"pgroup\": \"g" + n + "\"}, "
                  "\"resources\": [{\"name\": \"run.sh.7z\", \"path\": \"@SERVER@/files/comp" + n + ".7z" +
                  "\", \"size\": " + std::to_string(bytes.size()) +
                  ", \"hash\": \"" + Sha256Hex(bytes.data(), bytes.size()) +
                  "\", \"originalHash\": \"" + Sha256Hex(kComponentScript, strlen(kComponentScript)) +
                  "\", \"directory\": \"\"}]}}}";
  }
  const std::string catalogue = out + "/catalogue.json";
  const std::string text = "[{\"code\": \"bench\", \"name\": \"Bench\", \"description\": \"d\", \"components\": [" +
                           components + "]}]";
  return WriteFileAtomically(catalogue, text) ? catalogue : "";
}

// The hosts' pids the components wrote, once all 10 did; empty otherwise.
std::vector<pid_t> StartedHosts(const std::string& common) {
  std::vector<pid_t> hosts;
  for (int i = 0; i < kHosts; ++i) {
    const pid_t host = atoi(ReadText(InstallDir(common, i) + "/started").c_str());
    if (host <= 0) return {};
    hosts.push_back(host);
  }
  return hosts;
}

void ForgetStarts(const std::string& common) {
  for (int i = 0; i < kHosts; ++i) unlink((InstallDir(common, i) + "/started").c_str());
}

// ---- Echo calls over HTTP ----

// `calls` echo calls spread over `clients` keep-alive connections; the
// number that failed.
int64_t EchoCalls(int port, int64_t calls, int clients) {
  std::atomic<int64_t> failures{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    const int64_t mine = calls / clients + (c < calls % clients ? 1 : 0);
    threads.emplace_back([port, mine, c, &failures] {
      const SealedCall call = SealedEcho("bench " + std::to_string(c));
      // A connection that failed is replaced at the next call.
      HttpCallChannel channel("127.0.0.1", port, 60000);
      for (int64_t i = 0; i < mine; ++i) {
        SealedReply reply;
        std::string error;
        if (!channel.Call(call, &reply, &error) || reply.exr != "0") ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  return failures.load();
}

// ---- The table ----

struct Figures {
  std::vector<int64_t> nanos;  // one per run; -1: failed
  std::string Text() {
    if (nanos.empty()) return "-";
    for (int64_t n : nanos) {
      if (n < 0) return "failed";
    }
    const int64_t median = Quantile(nanos, 0.5);
    char text[64];
    snprintf(text, sizeof(text), "%.1f / %.1f ms", Ms(median), Ms(nanos.back()));
    return text;
  }
};

void Row(const std::string& what, const std::string& service, const std::string& daemon, const std::string& aim) {
  printf("%-40s %-22s %-22s %s\n", what.c_str(), service.c_str(), daemon.c_str(), aim.c_str());
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  if (argc > 1 && strcmp(argv[1], "--notify-daemon") == 0) return NotifyDaemon();
  const int runs = argc > 1 ? atoi(argv[1]) : 5;
  const int64_t calls = argc > 2 ? atoll(argv[2]) : 100000;
  const int clients = argc > 3 ? atoi(argv[3]) : 8;
  if (runs <= 0 || calls < 1000 || clients <= 0) {
    fprintf(stderr, "usage: service_bench [RUNS] [CALLS >= 1000] [CLIENTS]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  ScratchDir scratch;
  NotifySocket notify(scratch.Sub("notify"));
  if (scratch.path().empty() || !notify.bound()) {
    fprintf(stderr, "service_bench: no scratch folder or notify socket\n");
    return 1;
  }
  const std::string self = GetModulePath();
  bool ok = true;

  // Start and stop with nothing to host: one warm-up run each, not counted.
  Figures ready, stop, daemon_ready, daemon_stop;
  {
    const std::string empty = scratch.Sub("empty.json");
    WriteFileAtomically(empty, "[]");
    StrategyServer server(empty);
    const std::string common = scratch.Sub("idle");
    fs::create_directories(common);
    if (server.port() == 0 || !Configure(common, server.port())) {
      fprintf(stderr, "service_bench: the strategy server or the registry failed\n");
      return 1;
    }
    for (int run = 0; run <= runs; ++run) {
      notify.Drain();
      Started svc = Launch({ZEVSVC_PATH, "-service"}, notify, common, scratch.Sub("idle.out"));
      const int64_t at = notify.WaitFor("READY=1", 30000);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle
      int code = -1;
      const int64_t took = StopTime(&svc, &code);
      if (at == 0 || code != 0) ok = false;
      if (run > 0) {
        ready.nanos.push_back(at ? at - svc.start_nanos - kStartPauseMs * 1000000 : -1);
        stop.nanos.push_back(code == 0 ? took : -1);
      }

      notify.Drain();
      Started daemon = Launch({self, "--notify-daemon"}, notify, common, "");
      const int64_t daemon_at = notify.WaitFor("READY=1", 30000);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const int64_t daemon_took = StopTime(&daemon, &code);
      if (run > 0) {
        daemon_ready.nanos.push_back(daemon_at ? daemon_at - daemon.start_nanos : -1);
        daemon_stop.nanos.push_back(code == 0 ? daemon_took : -1);
      }
    }
  }

  // Stop with 10 hosts: installed once with the short test delays, then started from
  // the recorded catalogue with the service's own delays.
  Figures stop_hosts;
  int hosts_left = 0;
  {
    const std::string common = scratch.Sub("hosts");
    fs::create_directories(common);
    const std::string catalogue = MakeHostsCatalogue(scratch.Sub("packages"));
    bool installed = false;
    if (!catalogue.empty()) {
      StrategyServer server(catalogue);
      if (server.port() != 0 && Configure(common, server.port())) {
        Started svc = Launch({ZEVSVC_PATH, "-service", "--test-timings"}, notify, common, scratch.Sub("hosts.out"));
        installed = WaitUntil([&] { return !StartedHosts(common).empty(); }, 60000);
        int code = -1;
        StopTime(&svc, &code);
        installed = installed && code == 0;
      }
    }
    if (!installed) {
      fprintf(stderr, "service_bench: the 10 components were not installed (see %s)\n", scratch.path().c_str());
      ok = false;
    }
    for (int run = 0; installed && run < runs; ++run) {
      ForgetStarts(common);
      notify.Drain();
      Started svc = Launch({ZEVSVC_PATH, "-service"}, notify, common, scratch.Sub("hosts.out"));
      std::vector<pid_t> hosts;
      const bool up = notify.WaitFor("READY=1", 30000) != 0 &&
                      WaitUntil([&] { return !(hosts = StartedHosts(common)).empty(); }, 30000);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      int code = -1;
      const int64_t took = StopTime(&svc, &code);
      stop_hosts.nanos.push_back(up && code == 0 ? took : -1);
      for (pid_t host : hosts) hosts_left += Alive(host) ? 1 : 0;
      if (!up) ok = false;
    }
  }

  // Idle resident size and threads with the demo component running.
  long rss[3] = {-1, -1, -1}, threads[3] = {-1, -1, -1};
  std::string thread_names;
  int64_t failures = -1;
  double calls_per_second = 0;
  {
    const std::string common = scratch.Sub("demo");
    fs::create_directories(common);
    StrategyServer server(ZEV_DEMO_CATALOGUE);
    const std::string output = scratch.Sub("demo.out");
    const auto demo_runs = [&] { return ReadText(output).find("demo-clock 1.0.0 (pid "); };
    bool installed = false;
    if (server.port() != 0 && Configure(common, server.port())) {
      Started svc = Launch({ZEVSVC_PATH, "-service", "--test-timings"}, notify, common, output);
      installed = WaitUntil([&] { return demo_runs() != std::string::npos; }, 60000);
      int code = -1;
      StopTime(&svc, &code);
      installed = installed && code == 0;
    }
    unlink(output.c_str());
    notify.Drain();
    Started svc = Launch({ZEVSVC_PATH, "-service"}, notify, common, output);
    std::string port;
    const bool up = installed && notify.WaitFor("READY=1", 30000) != 0 &&
                    WaitUntil([&] { return demo_runs() != std::string::npos; }, 30000) &&
                    RegistryStore(common).ReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &port);
    if (up) {
      const pid_t pid = svc.process->pid();
      // Idle: the endpoint lets its extra workers go 10 s after its last
      // connection ended; the port guard's first check, 5 s after the
      // start, is a connection too.
      const auto idle = [&](int at) {
        std::this_thread::sleep_for(std::chrono::seconds(at == 0 ? 2 : 16));
        rss[at] = StatusField(pid, "VmRSS");
        threads[at] = StatusField(pid, "Threads");
      };
      idle(0);
      failures = EchoCalls(atoi(port.c_str()), 1000, clients);
      idle(1);
      const int64_t start = NowNanos();
      failures += EchoCalls(atoi(port.c_str()), calls - 1000, clients);
      calls_per_second = static_cast<double>(calls - 1000) / (static_cast<double>(NowNanos() - start) / 1e9);
      idle(2);
      thread_names = ThreadNames(pid);
    } else {
      fprintf(stderr, "service_bench: the demo component did not run (see %s)\n", scratch.path().c_str());
      ok = false;
    }
    int code = -1;
    StopTime(&svc, &code);
  }

  printf("service_bench: %d runs each, median / max; machine: %u cores\n", runs,
         std::thread::hardware_concurrency());
  Row("", "zevsvc", "minimal notify daemon", "aim");
  Row("exec to READY=1 (less the 2000 ms pause)", ready.Text(), daemon_ready.Text(), "<= 50 ms");
  Row("SIGTERM to exit, no host", stop.Text(), daemon_stop.Text(), "<= 300 ms");
  Row("SIGTERM to exit, 10 hosts", stop_hosts.Text(), "-", "<= 1000 ms");
  Row("  hosts still running after the exit", std::to_string(hosts_left), "-", "0");
  const auto mib = [](long kib) {
    char text[32];
    snprintf(text, sizeof(text), kib < 0 ? "-" : "%.1f MiB", static_cast<double>(kib) / 1024.0);
    return std::string(text);
  };
  Row("idle RSS, demo running, before calls", mib(rss[0]), "-", "");
  Row("idle RSS after 1,000 echo calls", mib(rss[1]), "-", "<= 20 MiB");
  Row("idle RSS after " + std::to_string(calls) + " echo calls", mib(rss[2]), "-", "<= 20 MiB, flat");
  Row("threads before / after 1,000 / after all",
      std::to_string(threads[0]) + " / " + std::to_string(threads[1]) + " / " + std::to_string(threads[2]), "-",
      "<= 32, flat");
  printf("threads at the end: %s\n", thread_names.c_str());
  printf("echo calls: %lld failed; %.0f calls/s over %d keep-alive clients\n", static_cast<long long>(failures),
         calls_per_second, clients);
  return ok && failures == 0 ? 0 : 1;
}
