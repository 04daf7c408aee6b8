// Round trips over the message bus (node A sends to node B, B's callback
// answers A, A's callback signals the waiting thread) beside a bare
// Unix-socket ping-pong of the same sizes (two threads, one connection:
// write n bytes, read n bytes back), measured in the same run. The library
// is loaded from the program's own folder, as the service loads it.
//   bus_bench [ROUNDS_1K] [ROUNDS_1M]
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bus/bus_abi.h"
#include "platform/paths.h"

namespace zev {

namespace {

using namespace pubsdk;

struct Result {
  int64_t p50 = 0, p99 = 0;
  double rate = 0;  // round trips per second
};

Result Summarize(std::vector<int64_t>& samples, int64_t total_ns) {
  Result r;
  r.rate = total_ns > 0 ? static_cast<double>(samples.size()) * 1e9 / static_cast<double>(total_ns) : 0;
  r.p50 = Quantile(samples, 0.5);
  r.p99 = Quantile(samples, 0.99);
  return r;
}

// Counts the replies that reached node A.
class Waiter {
 public:
  // Notifies after unlocking, so that the woken thread does not block on the
  // mutex straight away: that would add two switches to every round trip.
  void Signal() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++count_;
    }
    cv_.notify_one();
  }
  void WaitFor(uint64_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return count_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t count_ = 0;  // guarded by mu_
};

// A stack-owned callback: `on_message` runs on the library's dispatch thread.
class Callback : public IMessageCallBack {
 public:
  explicit Callback(std::function<void(IBusMessage*)> on_message) : on_message_(std::move(on_message)) {}
  HRESULT QueryInterface(const GUID&, void** out) override {
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  HRESULT OnMessage(IBusMessage* message) override {
    on_message_(message);
    return kS_OK;
  }

 private:
  std::function<void(IBusMessage*)> on_message_;
};

Result BusRoundTrips(IBusCallCenter* center, size_t size, int rounds) {
  Waiter waiter;
  IBusEndpoint* b = nullptr;
  Callback on_a([&](IBusMessage*) { waiter.Signal(); });
  Callback on_b([&](IBusMessage* m) {
    if (b->Send(m->GetSource(), 0, 0, m->GetData(), m->GetLength(), 10000) != kS_OK) std::abort();
  });
  IBusEndpoint* a = center->OpenEndpoint(1, 0, &on_a);
  b = center->OpenEndpoint(2, 0, &on_b);
  if (a == nullptr || b == nullptr) std::abort();
  std::vector<uint8_t> payload(size, 0x5A);
  std::vector<int64_t> samples;
  int warmup = rounds / 10 + 1;
  int64_t start = 0;
  for (int i = 0; i < warmup + rounds; ++i) {
    if (i == warmup) start = NowNanos();
    int64_t t0 = NowNanos();
    if (a->Send(2, 0, 0, payload.data(), static_cast<uint32_t>(size), 10000) != kS_OK) std::abort();
    waiter.WaitFor(static_cast<uint64_t>(i) + 1);
    if (i >= warmup) samples.push_back(NowNanos() - t0);
  }
  int64_t total = NowNanos() - start;
  center->ReleaseEndpoint(a);
  center->ReleaseEndpoint(b);
  return Summarize(samples, total);
}

bool WriteAllBytes(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAllBytes(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

Result BarePingPong(size_t size, int rounds) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  int warmup = rounds / 10 + 1;
  std::thread echo([&] {
    std::vector<uint8_t> buf(size);
    for (int i = 0; i < warmup + rounds; ++i) {
      if (!ReadAllBytes(fds[1], buf.data(), size) || !WriteAllBytes(fds[1], buf.data(), size)) std::abort();
    }
  });
  std::vector<uint8_t> out(size, 0x5A), in(size);
  std::vector<int64_t> samples;
  int64_t start = 0;
  for (int i = 0; i < warmup + rounds; ++i) {
    if (i == warmup) start = NowNanos();
    int64_t t0 = NowNanos();
    if (!WriteAllBytes(fds[0], out.data(), size) || !ReadAllBytes(fds[0], in.data(), size)) std::abort();
    if (i >= warmup) samples.push_back(NowNanos() - t0);
  }
  int64_t total = NowNanos() - start;
  echo.join();
  close(fds[0]);
  close(fds[1]);
  return Summarize(samples, total);
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  int rounds_small = argc > 1 ? std::atoi(argv[1]) : 5000;
  int rounds_large = argc > 2 ? std::atoi(argv[2]) : 300;
  std::string lib_path = GetModuleDir() + "libzevrpc.so";
  void* lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", lib_path.c_str(), dlerror());
    return 1;
  }
  auto initialize = reinterpret_cast<PUB_InitializeCallCenterFn>(dlsym(lib, "PUB_InitializeCallCenter"));
  auto uninitialize = reinterpret_cast<PUB_UninitializeCallCenterFn>(dlsym(lib, "PUB_UninitializeCallCenter"));
  std::string dir = (std::filesystem::temp_directory_path() / "busbench.XXXXXX").string();
  if (mkdtemp(&dir[0]) == nullptr) return 1;
  IBusCallCenter* center = initialize("bench", dir.c_str(), kBusAbiVersion);
  if (center == nullptr) return 1;

  std::printf("%-6s %10s %10s %12s | %10s %10s %12s | %s\n", "size", "bus p50", "bus p99", "bus rt/s", "bare p50",
              "bare p99", "bare rt/s", "p50 ratio");
  struct Case {
    const char* name;
    size_t size;
    int rounds;
  };
  for (const Case& c : {Case{"1KiB", 1024, rounds_small}, Case{"1MiB", 1024 * 1024, rounds_large}}) {
    Result bus = BusRoundTrips(center, c.size, c.rounds);
    Result bare = BarePingPong(c.size, c.rounds);
    std::printf("%-6s %8.1fus %8.1fus %12.0f | %8.1fus %8.1fus %12.0f | %.2fx\n", c.name, bus.p50 / 1e3,
                bus.p99 / 1e3, bus.rate, bare.p50 / 1e3, bare.p99 / 1e3, bare.rate,
                bare.p50 > 0 ? static_cast<double>(bus.p50) / static_cast<double>(bare.p50) : 0.0);
  }
  uninitialize(center);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
