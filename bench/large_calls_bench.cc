// Many sealed echo calls that open to a large payload, sent at once, half
// over the local socket and half over HTTP: how many are answered, how many
// refused for memory, and the service's peak resident memory. The service
// must be running on the data folder that ZEV_COMMON_APPDATA names
// (bench/large_calls_bench.sh does it).
//   large_calls_bench PORT SERVICE_PID [CALLS] [MIB]
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
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
#include "crypto/payload_envelope.h"
#include "rpc/echo_server.h"
#include "platform/paths.h"
#include "rpc/ipc_server.h"
#include "testing/pipe_client.h"
#include "testing/unix_socket.h"

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

// The exr flag of one call over the socket: '0', '1', or 0 on a transport failure.
char PipeCall(const std::string& path, const std::string& frame) {
  int fd = ConnectUnixSocket(path);
  if (fd < 0) return 0;
  char exr = 0;
  std::string in;
  Frame reply;
  if (WriteAll(fd, frame.data(), frame.size()) && ReadFrameFrom(fd, &in, &reply)) {
    size_t at = reply.header.find("exr:");
    if (at != std::string::npos && at + 4 < reply.header.size()) exr = reply.header[at + 4];
  }
  close(fd);
  return exr;
}

char HttpCall(int port, const std::string& body, const std::string& etag) {
  try {
    Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port));
    session.setTimeout(Poco::Timespan(120, 0));
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, "/rpc?key=" + etag, "HTTP/1.1");
    request.setContentLength64(static_cast<int64_t>(body.size()));
    session.sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    std::string out;
    Poco::StreamCopier::copyToString(session.receiveResponse(response), out);
    std::string exr = response.get("exr", "");
    return exr.empty() ? 0 : exr[0];
  } catch (...) {
    return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: large_calls_bench PORT SERVICE_PID [CALLS] [MIB]\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const int pid = atoi(argv[2]);
  const int calls = argc > 3 ? atoi(argv[3]) : 26;
  const size_t mib = argc > 4 ? static_cast<size_t>(atol(argv[4])) : 60;

  std::string etag;
  const std::string body = SealedEcho(std::string(mib << 20, '\0'), &etag);
  const std::string frame = EncodeFrame({"large", "key:" + etag, body});
  const std::string path = PipeSocketPath(kServicePipeName);

  long rss_before = StatusKiB(pid, "VmRSS:");
  std::atomic<int> answered{0}, refused{0}, failed{0};
  int64_t start = NowNanos();
  std::vector<std::thread> threads;
  for (int i = 0; i < calls; ++i) {
    threads.emplace_back([&, i] {
      char exr = i % 2 == 0 ? PipeCall(path, frame) : HttpCall(port, body, etag);
      if (exr == '0') ++answered;
      else if (exr == '1') ++refused;
      else ++failed;
    });
  }
  for (auto& t : threads) t.join();
  double seconds = (NowNanos() - start) / 1e9;
  printf("large_calls_bench: %d calls at once, each %zu bytes sealed opening to %zu MiB (half socket, half HTTP)\n",
         calls, body.size(), mib);
  printf("answered %d, refused (exr 1) %d, transport failures %d, in %.2f s\n", answered.load(), refused.load(),
         failed.load(), seconds);
  printf("service RSS before %.1f MiB, after %.1f MiB, peak %.1f MiB\n", rss_before / 1024.0,
         StatusKiB(pid, "VmRSS:") / 1024.0, StatusKiB(pid, "VmHWM:") / 1024.0);
  return 0;
}
