// Many sealed echo calls that open to a large payload, sent at once, half
// over the local socket and half over HTTP: how many are answered, how many
// refused for memory, and the service's peak resident memory. The service
// must be running on the data folder that ZEV_COMMON_APPDATA names
// (bench/large_calls_bench.sh does it).
//   large_calls_bench PORT SERVICE_PID [CALLS] [MIB]
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/sealed_echo.h"
#include "contract/names.h"
#include "contract/sealed_call.h"
#include "platform/paths.h"

namespace zev {

namespace {

// A field of /proc/PID/status in KiB ("VmHWM", "VmRSS").
long StatusKiB(int pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field) + 1);
  }
  return -1;
}

// The exr flag of one call over a connection of its own: '0', '1', or 0 on a
// transport failure.
template <typename Channel>
char ExrOf(Channel&& channel, const SealedCall& call) {
  SealedReply reply;
  std::string error;
  if (!channel.Call(call, &reply, &error) || reply.exr.empty()) return 0;
  return reply.exr[0];
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  if (argc < 3) {
    fprintf(stderr, "usage: large_calls_bench PORT SERVICE_PID [CALLS] [MIB]\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const int pid = atoi(argv[2]);
  const int calls = argc > 3 ? atoi(argv[3]) : 26;
  const size_t mib = argc > 4 ? static_cast<size_t>(atol(argv[4])) : 60;

  const SealedCall call = SealedEcho(std::string(mib << 20, '\0'));
  const std::string path = PipeSocketPath(GetRuntimeDir(), kServicePipeName);  // the environment's service

  long rss_before = StatusKiB(pid, "VmRSS:");
  std::atomic<int> answered{0}, refused{0}, failed{0};
  int64_t start = NowNanos();
  std::vector<std::thread> threads;
  for (int i = 0; i < calls; ++i) {
    threads.emplace_back([&, i] {
      char exr = i % 2 == 0 ? ExrOf(PipeCallChannel(path, 120000, "large"), call)
                            : ExrOf(HttpCallChannel("127.0.0.1", port, 120000, /*keep_alive=*/false), call);
      if (exr == '0') ++answered;
      else if (exr == '1') ++refused;
      else ++failed;
    });
  }
  for (auto& t : threads) t.join();
  double seconds = (NowNanos() - start) / 1e9;
  printf("large_calls_bench: %d calls at once, each %zu bytes sealed opening to %zu MiB (half socket, half HTTP)\n",
         calls, call.body.size(), mib);
  printf("answered %d, refused (exr 1) %d, transport failures %d, in %.2f s\n", answered.load(), refused.load(),
         failed.load(), seconds);
  printf("service RSS before %.1f MiB, after %.1f MiB, peak %.1f MiB\n", rss_before / 1024.0,
         StatusKiB(pid, "VmRSS:") / 1024.0, StatusKiB(pid, "VmHWM:") / 1024.0);
  return 0;
}
