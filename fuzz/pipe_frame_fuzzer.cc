// Arbitrary bytes as a connection's stream through the frame decoder, taken
// the way the pipe server takes them: every complete frame in order, then
// the rest kept for the next read. Every frame found must encode back to the
// bytes it came from, and the header items must split without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rpc/ipc_server.h"
#include "rpc/pipe_processor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  const char* bytes = reinterpret_cast<const char*>(data);
  // The stream arrives in two reads, split where the first byte says.
  size_t split = size == 0 ? 0 : data[0] % (size + 1);
  std::string buffer;
  for (int read = 0; read < 2; ++read) {
    if (read == 0) buffer.append(bytes, split);
    else buffer.append(bytes + split, size - split);
    size_t offset = 0;
    for (;;) {
      Frame frame;
      size_t consumed = 0;
      FrameStatus status = DecodeFrame(buffer.data() + offset, buffer.size() - offset, &frame, &consumed);
      if (status == FrameStatus::kNeedMore) break;
      if (status == FrameStatus::kBad) return 0;  // the connection would be closed
      if (consumed < kFrameFixedSize || consumed > buffer.size() - offset) abort();
      if (EncodeFrame(frame) != buffer.substr(offset, consumed)) abort();
      SplitExtend(frame.header);
      offset += consumed;
    }
    buffer.erase(0, offset);
  }
  return 0;
}
