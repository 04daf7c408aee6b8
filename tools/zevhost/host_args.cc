#include "tools/zevhost/host_args.h"

namespace zev {

const char kHostNodePrefix[] = "zevhost-6D0D8672-16C9-41E7-BE4F-B88DEBB4D15B-";

namespace {
constexpr char kIndexMarker[] = "--nodeindex";
}  // namespace

bool ParseHostArgument(const std::string& argument, HostArgument* out, std::string* why) {
  const size_t marker = argument.rfind(kIndexMarker);
  if (marker == std::string::npos) {
    *why = "no --nodeindex in the argument";
    return false;
  }
  if (marker == 0 || argument[marker - 1] != ':') {
    *why = "no ':' before the last --nodeindex";
    return false;
  }
  const size_t colon = marker - 1;
  out->node_name = argument.substr(0, colon) + argument.substr(marker);
  std::string head = argument.substr(0, colon);
  const std::string prefix = kHostNodePrefix;
  if (head.compare(0, prefix.size(), prefix) == 0) head.erase(0, prefix.size());
  out->process_group = head;
  return true;
}

}  // namespace zev
