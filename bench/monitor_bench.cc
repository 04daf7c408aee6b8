// Time from SIGKILL of a host until the monitor has spawned its replacement
// (its process table shows a new pid), beside a bare baseline measured in
// the same run: pidfd_open and poll for a child's death, then posix_spawn of
// /bin/true. Hosts run from the program's own folder (zevhost and
// libzevrpc.so are placed beside it); the instance lives in a temporary
// common data folder of its own.
//   monitor_bench [KILLS]
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "hosting/monitor.h"
#include "platform/instance_processes.h"
#include "platform/paths.h"

extern char** environ;

namespace zev {

namespace {

using pubsdk::CZEVMonitor;
using pubsdk::MonitorHostInfo;

// Real time, except that every restart falls on a new UTC day, so that the
// restart budget never refuses one of the many kills.
class NewDayClock : public Clock {
 public:
  int64_t MonotonicMillis() override { return Clock::Real()->MonotonicMillis(); }
  int64_t WallMillis() override { return Clock::Real()->WallMillis() + days_.load() * 86400000; }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadline_ms,
                 const std::function<bool()>& done) override {
    return Clock::Real()->WaitUntil(lock, cv, deadline_ms, done);
  }
  void NextDay() { ++days_; }

 private:
  std::atomic<int64_t> days_{0};
};

void SleepMicros(long micros) {
  struct timespec t = {0, micros * 1000};
  nanosleep(&t, nullptr);
}

pid_t HostPid(CZEVMonitor* monitor) {
  std::vector<MonitorHostInfo> table = monitor->GetProcessTable();
  return table.empty() ? 0 : table[0].pid;
}

void Print(const char* what, std::vector<int64_t> samples) {
  const int64_t p50 = Quantile(samples, 0.5), p99 = Quantile(samples, 0.99);
  std::printf("%-34s median %8.3f ms   p99 %8.3f ms   (%zu samples)\n", what, p50 / 1e6, p99 / 1e6, samples.size());
}

// The bare floor: notice a child's death through its pidfd, reap it, spawn.
std::vector<int64_t> Baseline(int rounds) {
  std::vector<int64_t> samples;
  char sleep_arg0[] = "sleep", sleep_arg1[] = "1000", true_arg0[] = "true";
  char* sleep_argv[] = {sleep_arg0, sleep_arg1, nullptr};
  char* true_argv[] = {true_arg0, nullptr};
  for (int i = 0; i < rounds; ++i) {
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sleep", nullptr, nullptr, sleep_argv, environ) != 0) break;
    int fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    SleepMicros(2000);
    const int64_t start = NowNanos();
    kill(child, SIGKILL);
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, -1);
    waitpid(child, nullptr, 0);
    pid_t replacement = 0;
    posix_spawn(&replacement, "/bin/true", nullptr, nullptr, true_argv, environ);
    samples.push_back(NowNanos() - start);
    close(fd);
    waitpid(replacement, nullptr, 0);
  }
  return samples;
}

std::vector<int64_t> MonitorRestarts(int rounds) {
  std::vector<int64_t> samples;
  NewDayClock clock;
  pubsdk::MonitorOptions options;
  options.clock = &clock;
  options.event_sink = [](const EventElement&) {};
  auto* monitor = new CZEVMonitor(options);
  monitor->Init(0);
  monitor->Start();

  CZEVComponentContext context;
  context.set_appcode("bench");
  context.set_componentid("none");
  context.set_version("1.0");
  context.mutable_manifest()->mutable_params()->set_pgroup("bench");
  const std::string bytes = context.SerializeAsString();
  if (monitor->StartComponent(bytes.data(), static_cast<uint32_t>(bytes.size())) != pubsdk::kStartSent) {
    std::fprintf(stderr, "the first host did not come up\n");
  }
  for (int i = 0; i < rounds; ++i) {
    const pid_t old_pid = HostPid(monitor);
    if (old_pid == 0) break;
    // Let the host settle on the bus before it is killed again.
    SleepMicros(20000);
    clock.NextDay();
    const int64_t start = NowNanos();
    kill(old_pid, SIGKILL);
    pid_t now_pid;
    while ((now_pid = HostPid(monitor)) == old_pid || now_pid == 0) SleepMicros(20);
    samples.push_back(NowNanos() - start);
  }
  monitor->StopAll();
  monitor->Stop();
  monitor->Uninit();
  monitor->Release();
  return samples;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
  char pattern[] = "/tmp/zev-monitor-bench.XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) return 1;
  setenv("ZEV_COMMON_APPDATA", dir, 1);

  std::vector<int64_t> base = Baseline(rounds);
  std::vector<int64_t> ours = MonitorRestarts(rounds);
  TerminateInstanceProcesses(pubsdk::kHostExecutable);

  std::printf("host restart after SIGKILL, %d kills\n", rounds);
  Print("baseline (pidfd poll + spawn true)", base);
  Print("monitor (kill -> new pid in table)", ours);
  std::vector<int64_t> b = base, o = ours;
  const double b50 = Quantile(b, 0.5) / 1e6, o50 = Quantile(o, 0.5) / 1e6;
  const double b99 = Quantile(b, 0.99) / 1e6, o99 = Quantile(o, 0.99) / 1e6;
  std::printf("ratio median %.2fx, p99 %.2fx; aim (2x baseline + 5 ms): median %s, p99 %s\n", o50 / b50, o99 / b99,
              o50 <= 2 * b50 + 5 ? "met" : "missed", o99 <= 2 * b99 + 5 ? "met" : "missed");

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ours.size() == static_cast<size_t>(rounds) ? 0 : 1;
}
