#include "platform/ports.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/paths.h"

namespace zev {

bool TcpTableListsListener(const std::string& table, int port) {
  std::istringstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state) || state != "0A") continue;  // 0A: TCP_LISTEN
    size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    char* end = nullptr;
    long p = strtol(local.c_str() + colon + 1, &end, 16);
    if (end != local.c_str() + colon + 1 && p == port) return true;
  }
  return false;
}

namespace {

// Asks the kernel (sock_diag) for the listening TCP sockets of `family` whose
// local port is `port`: 1 when there is one, 0 when there is none, -1 when
// the question cannot be asked. The kernel filters, so the answer costs
// the same whether the machine has ten sockets or a hundred thousand (the
// text tables in /proc/net cost milliseconds per ten thousand).
int DiagFamilyListsPort(int fd, uint8_t family, int port) {
  struct Request {
    struct nlmsghdr header;
    struct inet_diag_req_v2 request;
    struct nlattr filter_header;
    // Local port >= port, then local port <= port. Each condition jumps to
    // the next on success and past the end (rejecting) on failure.
    struct inet_diag_bc_op filter[4];
  } message;
  memset(&message, 0, sizeof(message));
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.request.sdiag_family = family;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = 1u << TCP_LISTEN;
  message.filter_header.nla_len = sizeof(message.filter_header) + sizeof(message.filter);
  message.filter_header.nla_type = INET_DIAG_REQ_BYTECODE;
  message.filter[0] = {INET_DIAG_BC_S_GE, 8, 20};
  message.filter[1] = {0, 0, static_cast<unsigned short>(port)};
  message.filter[2] = {INET_DIAG_BC_S_LE, 8, 12};
  message.filter[3] = {0, 0, static_cast<unsigned short>(port)};
  struct sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &message, sizeof(message), 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof(kernel)) !=
      static_cast<ssize_t>(sizeof(message))) {
    return -1;
  }
  alignas(struct nlmsghdr) char buffer[8192];
  int found = 0;
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<struct nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return found;
      if (h->nlmsg_type == NLMSG_ERROR) return -1;
      if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
        const auto* socket_info = static_cast<const struct inet_diag_msg*>(NLMSG_DATA(h));
        if (ntohs(socket_info->id.idiag_sport) == port) found = 1;
      }
    }
  }
}

}  // namespace

int DiagListsListener(int port) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return -1;
  int answer = 0;
  for (uint8_t family : {static_cast<uint8_t>(AF_INET), static_cast<uint8_t>(AF_INET6)}) {
    const int listed = DiagFamilyListsPort(fd, family, port);
    if (listed != 0) {
      answer = listed;
      break;
    }
  }
  close(fd);
  return answer;
}

bool IsPortAvailable(int port) {
  if (port <= 0 || port > 65535) return false;
  int listed = DiagListsListener(port);
  if (listed < 0) {
    listed = 0;
    for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::string table;
      if (ReadFileToString(file, &table) && TcpTableListsListener(table, port)) listed = 1;
    }
  }
  if (listed != 0) return false;
  // Bound as the HTTP endpoint binds, with SO_REUSEADDR: the connections an
  // earlier endpoint on this port left closing (TIME_WAIT, FIN_WAIT2) do not
  // keep it from binding again, while a socket that allows no reuse does.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int reuse = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) {
    close(fd);
    return false;
  }
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

namespace {

// An IPv4 address mapped into IPv6 (::ffff:a.b.c.d), as an IPv4 address.
bool UnmapV4(const struct sockaddr_in6* address, struct sockaddr_in* v4) {
  if (!IN6_IS_ADDR_V4MAPPED(&address->sin6_addr)) return false;
  memset(v4, 0, sizeof(*v4));
  v4->sin_family = AF_INET;
  v4->sin_port = address->sin6_port;
  memcpy(&v4->sin_addr, address->sin6_addr.s6_addr + 12, 4);
  return true;
}

}  // namespace

bool IsLoopbackAddress(const struct sockaddr* address) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET) {
    return (ntohl(reinterpret_cast<const struct sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family != AF_INET6) return false;
  const auto* v6 = reinterpret_cast<const struct sockaddr_in6*>(address);
  struct sockaddr_in v4;
  if (UnmapV4(v6, &v4)) return IsLoopbackAddress(reinterpret_cast<const struct sockaddr*>(&v4));
  return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
}

bool LoopbackPeerUid(const struct sockaddr* peer, const struct sockaddr* local, uid_t* uid) {
  if (!IsLoopbackAddress(peer) || local == nullptr) return false;
  // Both ends as the client's socket sees them: its own address first. A
  // peer seen through an IPv6 socket in its IPv4-mapped form is an IPv4
  // socket on its side.
  struct sockaddr_in peer4, local4;
  if (peer->sa_family == AF_INET6 && local->sa_family == AF_INET6 &&
      UnmapV4(reinterpret_cast<const struct sockaddr_in6*>(peer), &peer4) &&
      UnmapV4(reinterpret_cast<const struct sockaddr_in6*>(local), &local4)) {
    peer = reinterpret_cast<const struct sockaddr*>(&peer4);
    local = reinterpret_cast<const struct sockaddr*>(&local4);
  }
  if (peer->sa_family != local->sa_family) return false;

  struct Request {
    struct nlmsghdr header;
    struct inet_diag_req_v2 request;
  } message;
  memset(&message, 0, sizeof(message));
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // one socket, named exactly
  message.request.sdiag_family = static_cast<uint8_t>(peer->sa_family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  inet_diag_sockid& id = message.request.id;
  if (peer->sa_family == AF_INET) {
    const auto* p = reinterpret_cast<const struct sockaddr_in*>(peer);
    const auto* l = reinterpret_cast<const struct sockaddr_in*>(local);
    id.idiag_sport = p->sin_port;
    id.idiag_dport = l->sin_port;
    memcpy(id.idiag_src, &p->sin_addr, 4);
    memcpy(id.idiag_dst, &l->sin_addr, 4);
  } else {
    const auto* p = reinterpret_cast<const struct sockaddr_in6*>(peer);
    const auto* l = reinterpret_cast<const struct sockaddr_in6*>(local);
    id.idiag_sport = p->sin6_port;
    id.idiag_dport = l->sin6_port;
    memcpy(id.idiag_src, &p->sin6_addr, 16);
    memcpy(id.idiag_dst, &l->sin6_addr, 16);
  }
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  struct timeval wait = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
  struct sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  bool found = false;
  if (sendto(fd, &message, sizeof(message), 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof(kernel)) ==
      static_cast<ssize_t>(sizeof(message))) {
    alignas(struct nlmsghdr) char buffer[8192];
    ssize_t n;
    do {
      n = recv(fd, buffer, sizeof(buffer), 0);
    } while (n < 0 && errno == EINTR);
    int left = n > 0 ? static_cast<int>(n) : 0;
    for (auto* h = reinterpret_cast<struct nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) break;  // an error: no such socket
      const auto* info = static_cast<const struct inet_diag_msg*>(NLMSG_DATA(h));
      // Time-wait and orphaned ends have no inode, and the kernel reports
      // uid 0 for the former: only a socket a process still holds counts.
      if (info->id.idiag_sport == id.idiag_sport && info->id.idiag_dport == id.idiag_dport &&
          info->idiag_inode != 0) {
        *uid = info->idiag_uid;
        found = true;
      }
      break;
    }
  }
  close(fd);
  return found;
}

}  // namespace zev
