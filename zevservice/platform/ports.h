// Local TCP ports.
#ifndef ZEV_PLATFORM_PORTS_H_
#define ZEV_PLATFORM_PORTS_H_

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace zev {

// False when a TCP socket listens on `port` on any local address (asked of
// the kernel's socket diagnostics, or read from /proc/net/tcp and tcp6 where
// those cannot be asked); otherwise whether a socket with SO_REUSEADDR, as
// the HTTP endpoint binds, can be bound to 127.0.0.1:port. Connections left
// closing (TIME_WAIT) by an endpoint that listened there do not take the
// port.
bool IsPortAvailable(int port);

// Whether the kernel's socket diagnostics list a listening TCP socket (IPv4
// or IPv6) with local port `port`: 1 yes, 0 no, -1 they cannot be asked
// (exposed for tests).
int DiagListsListener(int port);

// Whether the /proc/net/tcp-format `table` lists a listening socket with
// local port `port` (exposed for tests).
bool TcpTableListsListener(const std::string& table, int port);

// Whether `address` (IPv4 or IPv6) lies in 127.0.0.0/8, is ::1, or is an
// IPv4 loopback address mapped into IPv6.
bool IsLoopbackAddress(const struct sockaddr* address);

// The uid that owns the client end of the TCP connection whose client end is
// `peer` and whose server end (ours) is `local`, asked of the kernel's
// socket diagnostics: the uid of whoever made that socket. Only for loopback
// peers, whose socket lives on this machine. False when `peer` is no
// loopback address, the kernel cannot be asked, or it lists no socket still
// held by a process (an orphaned or closed end tells nothing of its maker).
bool LoopbackPeerUid(const struct sockaddr* peer, const struct sockaddr* local, uid_t* uid);

}  // namespace zev

#endif  // ZEV_PLATFORM_PORTS_H_
