// The sealed echo call that clients send over HTTP or the socket, for the
// benchmark programs (contract/sealed_call.h).
#ifndef ZEV_BENCH_SEALED_ECHO_H_
#define ZEV_BENCH_SEALED_ECHO_H_

#include <string>

#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/names.h"
#include "contract/sealed_call.h"

namespace zev {

// Seals an echo call of `text`.
inline SealedCall SealedEcho(const std::string& text) {
  CZEVEchoRequest request;
  request.set_request(text);
  return SealCall(kEchoServerId, "echo", request.SerializeAsString());
}

}  // namespace zev

#endif  // ZEV_BENCH_SEALED_ECHO_H_
