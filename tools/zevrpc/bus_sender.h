// The sending half of the bus: the connections one node keeps to the nodes
// it sends to.
#ifndef ZEV_TOOLS_ZEVRPC_BUS_SENDER_H_
#define ZEV_TOOLS_ZEVRPC_BUS_SENDER_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "bus/bus_abi.h"
#include "tools/zevrpc/bus_frame.h"

namespace zev::rpc {

// At most this many connections are kept per sending node (the least
// recently used one goes first), and one is closed when it has not carried a
// message for kKeptConnectionIdle (noticed at the node's next send).
constexpr size_t kMaxKeptConnections = 16;
constexpr std::chrono::seconds kKeptConnectionIdle{30};

// Sends frames to the nodes of one bus folder, keeping one connection per
// destination between messages. A connection carries one message at a time:
// a send takes the kept connection out while it uses it, so that a second
// thread sending to the same node at that moment opens a connection of its
// own (which is closed afterwards when one is already kept). The listener's
// credentials are checked once, when a connection is made: a socket whose
// listener runs as another user (root excepted) is not the named node's.
// A node that leaves or restarts closes its side; the next send finds that
// out, opens a new connection (checked anew) and sends the message there,
// which is safe because the old node had not taken any of it.
// Thread-safe.
class FrameSender {
 public:
  explicit FrameSender(std::string folder);
  ~FrameSender();  // closes the kept connections
  FrameSender(const FrameSender&) = delete;
  FrameSender& operator=(const FrameSender&) = delete;

  // Writes the frame of `header` (whose length field gives the size of
  // `data`) to its destination's socket and waits for the receiver's
  // acknowledgement, all within `timeout_ms` from the call. Answers kS_OK
  // when the message is in the receiver's inbox; kBusErrNoNode at once when
  // nothing listens there or a stranger does (no retry); kBusErrTimeout
  // when the time ran out; the receiver's refusal (ResultForAck) otherwise,
  // or kBusErrIo when the connection failed. kBusErrArgument for a socket
  // path that does not fit an address. The length must already be checked
  // against kBusMaxMessage. Never raises SIGPIPE.
  pubsdk::HRESULT Send(const FrameHeader& header, const void* data, uint32_t timeout_ms) EXCLUDES(mu_);

  // Closes the kept connections; later sends use a connection each.
  void Close() EXCLUDES(mu_);

  // One connection to a node: its descriptor (-1 for none) and the bound
  // last set on its blocking reads (0: none yet).
  struct Link {
    int fd = -1;
    int receive_limit_ms = 0;
  };

 private:
  using SteadyClock = std::chrono::steady_clock;
  struct Kept {
    uint32_t node;
    Link link;
    SteadyClock::time_point last_used;
  };

  // The kept connection to `node`, taken out (fd -1 when there is none).
  Link TakeKept(uint32_t node) EXCLUDES(mu_);
  // Keeps `link` for `node`, or closes it when one is kept already or the
  // sender was closed.
  void PutBack(uint32_t node, Link link) EXCLUDES(mu_);

  const std::string folder_;
  const uid_t own_uid_;
  Mutex mu_;
  std::vector<Kept> kept_ GUARDED_BY(mu_);  // one per node
  bool closed_ GUARDED_BY(mu_) = false;
};

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_BUS_SENDER_H_
