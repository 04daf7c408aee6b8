// Reading the service's reply frames from a Unix socket, for tests and
// benchmarks.
#ifndef ZEV_TESTING_PIPE_CLIENT_H_
#define ZEV_TESTING_PIPE_CLIENT_H_

#include <poll.h>
#include <unistd.h>

#include <string>

#include "rpc/ipc_server.h"

// Reads from `fd` until `pending` holds a whole frame, and takes it out of
// `pending`. False on end of stream, a bad frame, or no byte for
// `timeout_ms` (-1: waits as long as it takes).
inline bool ReadFrameFrom(int fd, std::string* pending, Frame* frame, int timeout_ms = -1) {
  char buf[65536];
  for (;;) {
    size_t used = 0;
    FrameStatus status = DecodeFrame(pending->data(), pending->size(), frame, &used);
    if (status == FrameStatus::kComplete) {
      pending->erase(0, used);
      return true;
    }
    if (status == FrameStatus::kBad) return false;
    struct pollfd p = {fd, POLLIN, 0};
    if (timeout_ms >= 0 && poll(&p, 1, timeout_ms) <= 0) return false;
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) return false;
    pending->append(buf, static_cast<size_t>(n));
  }
}

#endif  // ZEV_TESTING_PIPE_CLIENT_H_
