// The names by which clients find the service: the instance lock, the
// registry value that publishes the HTTP port and the port's mutex, the
// local socket, the servers every client calls and the endpoint's answer on
// "/". The service and its clients (zevctl, the tests, the benchmarks) take
// them from here, so that both sides always agree.
#ifndef ZEV_CONTRACT_NAMES_H_
#define ZEV_CONTRACT_NAMES_H_

#include <cstdint>
#include <string>

namespace zev {

// The mutex that one running service instance holds.
extern const char kInstanceMutexName[];  // "Global\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}"
// HKCR keys whose kPortValueName holds the HTTP port the service serves on.
extern const char kPortKeyWow64[];   // "WOW6432Node\CLSID\{B3B39D20-...}\Port"
extern const char kPortKey[];        // "CLSID\{B3B39D20-...}\Port"
extern const char kPortValueName[];  // "zevservicePort"

// The service's pipe: a Unix stream socket in the runtime folder.
extern const char kServicePipeName[];  // "\\.\pipe\Global_{2E9594A4-7A4E-4D15-B904-80F9D424DE5B}"

// The servers that answer on both transports.
extern const char kControlServerId[];  // "{823DB335-3818-5796-80C4-0A8E90361C5A}"
extern const char kEchoServerId[];     // "{56BFCC2A-7009-4287-93B0-4B857963F151}"

// The body that the endpoint answers on "/" while it works.
extern const char kEndpointAliveText[];  // "It is working."

// The socket path of a pipe name: the part after "\\.\pipe\" (or the whole
// name) inside `dir` (the runtime folder, <common>/run). Empty without a
// folder.
std::string PipeSocketPath(const std::string& dir, const std::string& pipe_name);

// The port's mutex: kPortMutexPrefix followed by the port in decimal.
extern const char kPortMutexPrefix[];  // "Global\{A83804EB-0F71-49BA-B27F-A42348E854F0}_"
std::string PortMutexName(int32_t port);

// True when some process holds the port mutex of `port` in `run_dir` (the
// runtime folder, <common>/run). A client's liveness test that any user may run: it
// asks the kernel whether a write lock is on the lock file (readable by
// all), and takes and creates nothing. False when the lock file is missing
// or cannot be opened.
bool PortMutexIsHeld(int32_t port, const std::string& run_dir);

}  // namespace zev

#endif  // ZEV_CONTRACT_NAMES_H_
