// A client connection to a Unix stream socket, for tests and benchmarks.
#ifndef ZEV_TESTING_UNIX_SOCKET_H_
#define ZEV_TESTING_UNIX_SOCKET_H_

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace zev {

// A connected descriptor (close-on-exec), or -1.
inline int ConnectUnixSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace zev

#endif  // ZEV_TESTING_UNIX_SOCKET_H_
