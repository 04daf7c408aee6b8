// Helpers for tests that make RPC calls: sealed call envelopes (as the
// clients seal them) and running a command to read its output.
#ifndef ZEV_TESTING_RPC_TEST_UTIL_H_
#define ZEV_TESTING_RPC_TEST_UTIL_H_

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/sealed_call.h"

namespace zev {

// Seals a CZEVRPCCommandData for server.method with `request` bytes
// (contract/sealed_call.h); returns the body and sets *etag.
inline std::string SealCall(const std::string& server, const std::string& method, const std::string& request,
                            std::string* etag) {
  SealedCall call = SealCall(server, method, request);
  *etag = call.etag;
  return call.body;
}

inline std::string EchoRequestBytes(const std::string& text) {
  CZEVEchoRequest r;
  r.set_request(text);
  return r.SerializeAsString();
}

// Seals an echo call of `text` to `server`.
inline std::string SealEcho(const std::string& text, const std::string& server, std::string* etag) {
  return SealCall(server, "echo", EchoRequestBytes(text), etag);
}

// Runs a shell command and returns what it wrote (standard error included);
// its exit status (-1 when it did not exit) into *status when given.
inline std::string RunAndRead(const std::string& command, int* status = nullptr) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

}  // namespace zev

#endif  // ZEV_TESTING_RPC_TEST_UTIL_H_
