// Many keep-alive HTTP clients at once against the running service, each
// making sealed echo calls one after another: the calls that failed, the
// latency median, 99th percentile and maximum, and the service's resident
// memory before and after the load. The service must be running (bash
// bench/http_load_bench.sh starts one on a scratch data folder).
//   http_load_bench PORT SERVICE_PID [CLIENTS] [CALLS_PER_CLIENT]
// A call fails when it gets no answer within 30 s, an HTTP status other
// than 200, or an answer other than the echo; the client then opens a new
// connection for its next call.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/sealed_echo.h"
#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/sealed_call.h"

namespace zev {

namespace {

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when unreadable.
long StatusKiB(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// One client: `calls` calls in a row over one kept-alive connection
// (a new one after a failure). Records each call's latency in ns.
void RunClient(int port, int id, int calls, std::vector<int64_t>* latencies, std::atomic<int64_t>* failures) {
  const std::string text = "hello from client " + std::to_string(id);
  const SealedCall call = SealedEcho(text);
  latencies->reserve(static_cast<size_t>(calls));
  // A connection that failed is replaced at the next call.
  HttpCallChannel channel("127.0.0.1", port, 30000);
  for (int i = 0; i < calls; ++i) {
    const int64_t start = NowNanos();
    SealedReply reply;
    std::string error;
    bool ok = channel.Call(call, &reply, &error) && reply.exr == "0";
    // Opening every answer would make the clients compete with the service
    // for the CPU; every 64th is checked in full.
    if (ok && i % 64 == 0) {
      std::string plain;
      CZEVEchoResponse echo;
      ok = OpenReply(reply, &plain) && echo.ParseFromString(plain) && echo.response() == text;
    }
    latencies->push_back(NowNanos() - start);
    if (!ok) ++*failures;
  }
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  if (argc < 3) {
    fprintf(stderr, "usage: http_load_bench PORT SERVICE_PID [CLIENTS] [CALLS_PER_CLIENT]\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const int pid = atoi(argv[2]);
  const int clients = argc > 3 ? atoi(argv[3]) : 64;
  const int calls = argc > 4 ? atoi(argv[4]) : 20000;
  if (port <= 0 || pid <= 0 || clients <= 0 || calls <= 0) {
    fprintf(stderr, "http_load_bench: PORT, SERVICE_PID, CLIENTS and CALLS_PER_CLIENT must be positive\n");
    return 2;
  }
  const long rss_start = StatusKiB(pid, "VmRSS");
  printf("http_load_bench: %d keep-alive clients x %d echo calls on port %d (service pid %d)\n", clients, calls,
         port, pid);

  std::vector<std::vector<int64_t>> latencies(static_cast<size_t>(clients));
  std::atomic<int64_t> failures{0};
  const int64_t start = NowNanos();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back(RunClient, port, c, calls, &latencies[static_cast<size_t>(c)], &failures);
  }
  for (auto& t : threads) t.join();
  const double elapsed = static_cast<double>(NowNanos() - start) / 1e9;

  const long rss_end = StatusKiB(pid, "VmRSS");
  const long rss_peak = StatusKiB(pid, "VmHWM");
  std::vector<int64_t> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  const int64_t p50 = Quantile(all, 0.5);
  const int64_t p99 = Quantile(all, 0.99);
  const int64_t max = all.empty() ? 0 : all.back();  // Quantile sorted them
  printf("calls %zu   failures %lld   %.1f s   %.0f calls/s\n", all.size(), static_cast<long long>(failures.load()),
         elapsed, static_cast<double>(all.size()) / elapsed);
  printf("latency   p50 %.2f ms   p99 %.2f ms   max %.2f ms\n", p50 / 1e6, p99 / 1e6, max / 1e6);
  printf("service RSS   start %.1f MiB   end %.1f MiB   peak %.1f MiB\n", rss_start / 1024.0, rss_end / 1024.0,
         rss_peak / 1024.0);
  return failures.load() == 0 ? 0 : 1;
}
