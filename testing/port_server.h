// A server program started for a test that prints the port it listens on as
// the first line of its standard output; stopped with SIGTERM at the end.
#ifndef ZEV_TESTING_PORT_SERVER_H_
#define ZEV_TESTING_PORT_SERVER_H_

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"

namespace zev {

class PortServer {
 public:
  explicit PortServer(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe(out) != 0) return;
    StartOptions options;
    options.stdout_fd = out[1];
    process_ = StartProcessArgv(argv, options);
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);
    port_ = atoi(line.c_str());
  }
  ~PortServer() {
    if (process_) {
      kill(process_->pid(), SIGTERM);
      process_->Wait(kInfinite);
    }
  }
  PortServer(const PortServer&) = delete;
  PortServer& operator=(const PortServer&) = delete;

  int port() const { return port_; }
  // scheme://127.0.0.1:port + path
  std::string Url(const std::string& scheme, const std::string& path = "") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string Base(const std::string& path = "") const { return Url("http", path); }

 private:
  std::unique_ptr<ProcessHandle> process_;
  int port_ = 0;
};

}  // namespace zev

#endif  // ZEV_TESTING_PORT_SERVER_H_
