// Echo calls over the service's local socket with 1 and 16 concurrent
// clients, beside the HTTP echo of the same service (keep-alive clients)
// and beside a bare Unix-socket ping-pong of the same frame sizes
// without envelope or dispatch (the floor). The service must be running on
// the data folder that ZEV_COMMON_APPDATA names (bench/pipe_bench.sh does it).
// With the service's PID, the context switches of all its threads per call
// are printed too.
//   pipe_bench PORT [SECONDS] [SERVICE_PID]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <fstream>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/sealed_echo.h"
#include "contract/names.h"
#include "contract/pipe_frame.h"
#include "contract/sealed_call.h"
#include "platform/paths.h"
#include "testing/pipe_client.h"
#include "testing/unix_socket.h"

namespace zev {

namespace {

bool WriteAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

struct Result {
  double rate;
  int64_t p50, p99;
  double switches_per_call = -1;
};

// Voluntary and involuntary context switches of every thread of `pid`
// (0: not measured).
int64_t ContextSwitches(int pid) {
  if (pid <= 0) return 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  int64_t total = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream status(dir + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.find("ctxt_switches:") != std::string::npos) total += atoll(line.substr(line.find(':') + 1).c_str());
    }
  }
  closedir(d);
  return total;
}
int service_pid = 0;

// Runs `clients` threads, each doing calls with its own `make_call()` until
// the time is up.
Result Drive(int clients, double seconds, const std::function<std::function<bool()>()>& make_call) {
  std::vector<std::vector<int64_t>> samples(clients);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      auto call = make_call();
      while (!stop) {
        int64_t t0 = NowNanos();
        if (!call()) break;
        samples[c].push_back(NowNanos() - t0);
      }
    });
  }
  int64_t start = NowNanos();
  int64_t switches_before = ContextSwitches(service_pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  int64_t switches = ContextSwitches(service_pid) - switches_before;
  double elapsed = (NowNanos() - start) / 1e9;
  std::vector<int64_t> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  Result r{all.size() / elapsed, Quantile(all, 0.5), Quantile(all, 0.99)};
  if (service_pid > 0 && !all.empty()) r.switches_per_call = static_cast<double>(switches) / all.size();
  return r;
}

void Print(const char* name, int clients, const Result& r) {
  printf("%-34s c=%-2d %9.0f calls/s   median %7.1f us   p99 %8.1f us", name, clients, r.rate, r.p50 / 1e3,
         r.p99 / 1e3);
  if (r.switches_per_call >= 0) printf("   service switches/call %5.2f", r.switches_per_call);
  printf("\n");
}

// The floor: a Unix-socket server that answers each frame with a frame of the
// reply's size, with no envelope and no dispatch.
class PingPongServer {
 public:
  PingPongServer(const std::string& path, size_t reply_size) : path_(path), reply_(reply_size, 'r') {
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(fd_, 128);
    acceptor_ = std::thread([this] {
      for (;;) {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        workers_.emplace_back([this, c] {
          std::string in;
          Frame f;
          while (ReadFrameFrom(c, &in, &f)) {
            if (!WriteAll(c, EncodeFrame({f.tag, "", reply_}))) break;
          }
          close(c);
        });
      }
    });
  }
  ~PingPongServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    acceptor_.join();
    for (auto& w : workers_) w.join();
    unlink(path_.c_str());
  }

 private:
  std::string path_;
  std::string reply_;
  int fd_;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  if (argc < 2) {
    fprintf(stderr, "usage: pipe_bench PORT [SECONDS]\n");
    return 2;
  }
  int port = atoi(argv[1]);
  double seconds = argc > 2 ? atof(argv[2]) : 5;
  service_pid = argc > 3 ? atoi(argv[3]) : 0;
  const SealedCall call = SealedEcho("hello, benchmark");
  const std::string frame = EncodeFrame({"bench", "key:" + call.etag, call.body});
  // The service of the environment's data folder (ZEV_COMMON_APPDATA).
  const std::string path = PipeSocketPath(GetRuntimeDir(), kServicePipeName);

  // Size of the service's reply frame, for the floor.
  size_t reply_body_size = 0;
  {
    int fd = ConnectUnixSocket(path);
    std::string in;
    Frame f;
    if (fd < 0 || !WriteAll(fd, frame) || !ReadFrameFrom(fd, &in, &f)) {
      fprintf(stderr, "no service listening on %s\n", path.c_str());
      return 1;
    }
    reply_body_size = f.header.size() + f.body.size();
    close(fd);
  }
  std::string floor_path = path + ".pingpong";
  PingPongServer floor(floor_path, reply_body_size);

  // Each client thread calls over a connection of its own.
  const auto calls_over = [&call](auto channel) {
    return std::function<bool()>([channel, &call] {
      SealedReply reply;
      std::string error;
      return channel->Call(call, &reply, &error);
    });
  };
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("pipe_bench: request frame %zu bytes, reply payload %zu bytes, %.0f s per run\n", frame.size(),
         reply_body_size, seconds);
  for (int clients : {1, 16}) {
    const int pid = service_pid;
    service_pid = 0;  // the floor runs in this process
    Result floor_result = Drive(clients, seconds, [&] {
      return calls_over(std::make_shared<PipeCallChannel>(floor_path, -1, "bench"));
    });
    service_pid = pid;
    Print("bare Unix-socket ping-pong (floor)", clients, floor_result);
    Print("echo over the pipe", clients, Drive(clients, seconds, [&] {
      return calls_over(std::make_shared<PipeCallChannel>(path, -1, "bench"));
    }));
    Print("echo over HTTP (same service)", clients, Drive(clients, seconds, [&] {
      return calls_over(std::make_shared<HttpCallChannel>("127.0.0.1", port, -1));
    }));
  }
  return 0;
}
