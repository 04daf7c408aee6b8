#include "platform/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/paths.h"

bool TcpTableHasLocalPort(const std::string& table, int port) {
  std::istringstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    if (!(fields >> slot >> local)) continue;
    size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    char* end = nullptr;
    long p = strtol(local.c_str() + colon + 1, &end, 16);
    if (end != local.c_str() + colon + 1 && p == port) return true;
  }
  return false;
}

bool IsPortAvailable(int port) {
  if (port <= 0 || port > 65535) return false;
  for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::string table;
    if (ReadFileToString(file, &table) && TcpTableHasLocalPort(table, port)) return false;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}
