// getComponentData (qPort) calls per second beside echo calls on the same
// server and transport, measured in the same run: an HTTP endpoint on
// loopback and the pipe server on a scratch folder, both on one registry that
// holds echo and the control methods, with the log on as in the service.
// Rounds of the two methods alternate so that both see the same machine
// state; each line prints both rates and their ratio.
//   control_bench [SECONDS] [CLIENTS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "bench/bench_util.h"
#include "contract/sealed_call.h"
#include "platform/paths.h"
#include "rpc/control_server.h"
#include "rpc/echo_server.h"
#include "rpc/http_server.h"
#include "rpc/ipc_server.h"
#include "rpc/pipe_processor.h"
#include "testing/rpc_test_util.h"
#include "testing/test_util.h"

namespace zev {

namespace {

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// Returns a caller that sends `call` over its own connection and answers
// whether the reply came back with exr "0".
using CallMaker = std::function<std::function<bool()>(const SealedCall& call)>;

CallMaker HttpCalls(int port) {
  return [port](const SealedCall& call) -> std::function<bool()> {
    auto channel = std::make_shared<HttpCallChannel>("127.0.0.1", port, 10000);
    return [channel, call]() {
      SealedReply reply;
      std::string error;
      return channel->Call(call, &reply, &error) && reply.exr == "0";
    };
  };
}

CallMaker PipeCalls(const std::string& path) {
  return [path](const SealedCall& call) -> std::function<bool()> {
    auto channel = std::make_shared<PipeCallChannel>(path, 10000, "bench");
    return [channel, call]() {
      SealedReply reply;
      std::string error;
      return channel->Call(call, &reply, &error) && reply.exr == "0";
    };
  };
}

// Calls per second of `clients` threads that each repeat `call` for
// `seconds`; negative when a call failed.
double Rate(int clients, double seconds, const CallMaker& make, const SealedCall& call) {
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::atomic<int64_t> calls{0};
  std::vector<std::thread> threads;
  const int64_t start = NowNanos();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      std::function<bool()> one = make(call);
      int64_t mine = 0;
      while (!stop) {
        if (!one()) {
          failed = true;
          break;
        }
        ++mine;
      }
      calls += mine;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  const double elapsed = (NowNanos() - start) / 1e9;
  return failed ? -1 : calls / elapsed;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  const double seconds = argc > 1 ? atof(argv[1]) : 4;
  const int clients = argc > 2 ? atoi(argv[2]) : 1;
  ScopedTempDir scratch;
  if (!LogInit(scratch.path(), "control_bench")) {
    fprintf(stderr, "control_bench: cannot open the log in %s\n", scratch.path().c_str());
    return 1;
  }
  CZEVMethodRegistry methods;
  RegisterEchoMethods(methods);
  auto loaded = std::make_shared<const LoadedComponentMap>();
  RegisterControlMethods(&methods, [loaded]() -> LoadedComponentsSnapshot { return loaded; }, Clock::Real());

  CZEVHttpServer http(&methods);
  const int port = FreePort();
  http.setIp("127.0.0.1");
  http.setPort(port);
  CZEVIPCServer ipc(Clock::Real());
  ipc.setRuntimeDir(scratch.path());
  CZEVPipeServerImpl pipe(&ipc, &methods);
  if (!http.start() || !pipe.start()) {
    fprintf(stderr, "control_bench: cannot start the front ends\n");
    return 1;
  }

  // A store of a realistic size: a thousand components with ports.
  for (int i = 0; i < 1000; ++i) {
    CZEVRegisterPortRequest r;
    r.mutable_context()->set_componentid("{component-" + std::to_string(i) + "}");
    r.mutable_context()->set_version("1.0." + std::to_string(i));
    r.set_port(20000 + i);
    if (!PipeCalls(ipc.socket_path())(SealCall(kControlServerId, "registerPort", r.SerializeAsString()))()) {
      fprintf(stderr, "control_bench: registration %d failed\n", i);
      return 1;
    }
  }
  const SealedCall echo = SealCall(kEchoServerId, "echo", EchoRequestBytes("{component-500}"));
  CZEVGetComponentDataRequest q;
  q.set_datatype(qPort);
  q.set_componentid("{component-500}");
  q.set_bits(64);
  const SealedCall get = SealCall(kControlServerId, "getComponentData", q.SerializeAsString());

  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("getComponentData (qPort) beside echo, %d client(s), %.1f s each, rounds alternating\n", clients, seconds);
  const int kRounds = 4;
  const std::pair<const char*, CallMaker> transports[] = {{"http", HttpCalls(port)},
                                                          {"pipe", PipeCalls(ipc.socket_path())}};
  int status = 0;
  for (const auto& t : transports) {
    double echo_total = 0, get_total = 0;
    for (int round = 0; round < kRounds; ++round) {
      // Which method goes first alternates too.
      const bool echo_first = round % 2 == 0;
      double a = Rate(clients, seconds / (2 * kRounds), t.second, echo_first ? echo : get);
      double b = Rate(clients, seconds / (2 * kRounds), t.second, echo_first ? get : echo);
      double echo_rate = echo_first ? a : b;
      double get_rate = echo_first ? b : a;
      if (echo_rate < 0 || get_rate < 0) {
        fprintf(stderr, "control_bench: a call over %s failed\n", t.first);
        status = 1;
        break;
      }
      echo_total += echo_rate;
      get_total += get_rate;
    }
    if (status != 0) break;
    const double echo_rate = echo_total / kRounds;
    const double get_rate = get_total / kRounds;
    printf("%-5s echo %9.0f calls/s   getComponentData %9.0f calls/s   ratio %.3f (aim >= 0.9)\n", t.first,
           echo_rate, get_rate, get_rate / echo_rate);
  }
  http.stop();
  pipe.stop();
  return status;
}
