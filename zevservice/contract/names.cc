#include "contract/names.h"

#include "platform/named_mutex.h"
#include "platform/paths.h"

namespace zev {

const char kInstanceMutexName[] = "Global\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}";
const char kPortKeyWow64[] = "WOW6432Node\\CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port";
const char kPortKey[] = "CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port";
const char kPortValueName[] = "zevservicePort";
const char kServicePipeName[] = "\\\\.\\pipe\\Global_{2E9594A4-7A4E-4D15-B904-80F9D424DE5B}";
const char kControlServerId[] = "{823DB335-3818-5796-80C4-0A8E90361C5A}";
const char kEchoServerId[] = "{56BFCC2A-7009-4287-93B0-4B857963F151}";
const char kEndpointAliveText[] = "It is working.";
const char kPortMutexPrefix[] = "Global\\{A83804EB-0F71-49BA-B27F-A42348E854F0}_";

std::string PipeSocketPath(const std::string& dir, const std::string& pipe_name) {
  static const char kPrefix[] = "\\\\.\\pipe\\";
  std::string name = pipe_name;
  if (name.compare(0, sizeof(kPrefix) - 1, kPrefix) == 0) name = name.substr(sizeof(kPrefix) - 1);
  for (char& c : name) {
    if (c == '\\' || c == '/') c = '_';
  }
  return dir.empty() || name.empty() ? std::string() : JoinPath(dir, name);
}

std::string PortMutexName(int32_t port) { return kPortMutexPrefix + std::to_string(port); }

bool PortMutexIsHeld(int32_t port, const std::string& run_dir) {
  if (run_dir.empty()) return false;
  return NamedMutexIsHeld(JoinPath(run_dir, NamedMutexFileName(PortMutexName(port))));
}

}  // namespace zev
