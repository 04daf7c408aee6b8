// The sending half of the bus: one connection per message.
#ifndef ZEV_TOOLS_ZEVRPC_BUS_SENDER_H_
#define ZEV_TOOLS_ZEVRPC_BUS_SENDER_H_

#include <cstdint>
#include <string>

#include "bus/bus_abi.h"
#include "tools/zevrpc/bus_frame.h"

namespace zev::rpc {

// Connects to the listener at `socket_path`, writes the frame of `header`
// (whose length field gives the size of `data`) and waits for the
// receiver's acknowledgement, all within `timeout_ms` from the call.
// Answers kS_OK when the message is in the receiver's inbox; kBusErrNoNode
// at once when nothing listens there (no retry); kBusErrTimeout when the
// time ran out; the receiver's refusal (ResultForAck) otherwise, or
// kBusErrIo when the connection failed. kBusErrArgument for a path that
// does not fit a socket address. The length must already be checked
// against kBusMaxMessage. Never raises SIGPIPE. Thread-safe.
pubsdk::HRESULT SendFrame(const std::string& socket_path, const FrameHeader& header, const void* data,
                          uint32_t timeout_ms);

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_BUS_SENDER_H_
