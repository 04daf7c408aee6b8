// Free TCP ports for a test's own servers: one the kernel hands out, or a
// run of them looked for from `first` up to 61000 (below the service's own
// default range), where tests that may run at the same time start their
// search at different places. A port counts as free when a listener with
// SO_REUSEADDR (as the service's endpoint) could bind it: the closing ends a
// server left there do not take it, a client's do (for a minute). These
// lie in the kernel's default range for outgoing connections
// (32768-60999), so one may rarely be taken between the search and the bind.
#ifndef ZEV_TESTING_FREE_PORTS_H_
#define ZEV_TESTING_FREE_PORTS_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/ports.h"

namespace zev {

// A loopback port the kernel gave out just now and is free again.
inline int FreePort() {
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

// The first port of `count` consecutive available ones; 0 when none is.
inline int FreePortRange(int count, int first) {
  for (int start = first; start + count <= 61000; start += count) {
    bool all = true;
    for (int p = start; p < start + count && all; ++p) all = IsPortAvailable(p);
    if (all) return start;
  }
  return 0;
}

}  // namespace zev

#endif  // ZEV_TESTING_FREE_PORTS_H_
