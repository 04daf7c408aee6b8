// Reading the service's reply frames from a Unix socket, for tests and
// benchmarks (contract/pipe_frame.h).
#ifndef ZEV_TESTING_PIPE_CLIENT_H_
#define ZEV_TESTING_PIPE_CLIENT_H_

#include <string>

#include "contract/pipe_frame.h"
#include "platform/wait.h"

namespace zev {

// Reads from `fd` until `pending` holds a whole frame, and takes it out of
// `pending`. False on end of stream, a bad frame, or no whole frame within
// `timeout_ms` (-1: waits as long as it takes).
inline bool ReadFrameFrom(int fd, std::string* pending, Frame* frame, int timeout_ms = -1) {
  return ReadFrame(fd, pending, frame, DeadlineAfter(timeout_ms)) == FrameRead::kFrame;
}

}  // namespace zev

#endif  // ZEV_TESTING_PIPE_CLIENT_H_
