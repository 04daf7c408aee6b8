// Local TCP ports.
#ifndef ZEV_PLATFORM_PORTS_H_
#define ZEV_PLATFORM_PORTS_H_

#include <cstdint>
#include <string>

// False when any TCP socket of any state (TIME_WAIT included) on any local
// address has `port` as its local port (/proc/net/tcp and tcp6); otherwise
// whether a socket can be bound to 127.0.0.1:port.
bool IsPortAvailable(int port);

// Whether the /proc/net/tcp-format `table` lists `port` as a local port
// (exposed for tests).
bool TcpTableHasLocalPort(const std::string& table, int port);

#endif  // ZEV_PLATFORM_PORTS_H_
