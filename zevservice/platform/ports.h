// Local TCP ports.
#ifndef ZEV_PLATFORM_PORTS_H_
#define ZEV_PLATFORM_PORTS_H_

#include <cstdint>
#include <string>

// False when any TCP socket of any state (TIME_WAIT included) on any local
// address has `port` as its local port (asked of the kernel's socket
// diagnostics, or read from /proc/net/tcp and tcp6 where those cannot be
// asked); otherwise whether a socket can be bound to 127.0.0.1:port.
bool IsPortAvailable(int port);

// Whether the kernel's socket diagnostics list a TCP socket (IPv4 or IPv6,
// any state) with local port `port`: 1 yes, 0 no, -1 they cannot be asked
// (exposed for tests).
int DiagListsLocalPort(int port);

// Whether the /proc/net/tcp-format `table` lists `port` as a local port
// (exposed for tests).
bool TcpTableHasLocalPort(const std::string& table, int port);

#endif  // ZEV_PLATFORM_PORTS_H_
