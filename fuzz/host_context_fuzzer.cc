// The host program's message path without starting anything: arbitrary
// bytes as the envelope text a host receives (or, by the first byte's
// choice, as the payload of a well-formed "start" envelope), through the
// message checks, the component context, and the install folder and entry
// point resolution. A resolved entry point must lie inside the real install
// folder; the argument parser must give back a node name one ':' shorter.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "bus/envelope.h"
#include "tools/zevhost/component_launch.h"
#include "tools/zevhost/host_args.h"
#include "tools/zevhost/host_message.h"

namespace zev {

namespace {

const char kNode[] = "zevhost-6D0D8672-16C9-41E7-BE4F-B88DEBB4D15B-grp--nodeindex0";

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  free(resolved);
  return result;
}

void CheckArgument(const std::string& text) {
  HostArgument argument;
  std::string why;
  if (!ParseHostArgument(text, &argument, &why)) return;
  if (argument.node_name.size() + 1 != text.size()) abort();
  if (argument.process_group.size() > argument.node_name.size()) abort();
}

}  // namespace

}  // namespace zev

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckArgument(rest);
  const std::string text = (data[0] & 1) ? pubsdk::BuildEnvelope("monitor", kNode, "start", rest, 1) : rest;

  HostMessage message;
  std::string why;
  if (!CheckHostMessage(text.data(), text.size(), kNode, &message, &why)) {
    if (why.empty()) abort();  // every drop is logged with its reason
    return 0;
  }
  if (message.command == HostCommand::kStopAll) return 0;
  // A folder that does not exist: nothing below it resolves, but every
  // check before the file system's answer runs.
  const std::string common = "/nonexistent-zev-fuzz";
  std::string dir;
  if (!FindInstallDir(message.context, common, &dir, &why)) {
    dir = InstallDirFor(message.context, ArchitectureOrder().front(), common);
  }
  std::string path;
  if (ResolveEntryPoint(dir, message.context.manifest().entrypoint(), &path, &why)) {
    const std::string root = RealPath(dir);
    if (root.empty() || path.compare(0, root.size() + 1, root + "/") != 0) abort();
  }
  // Relative to the working folder, whose files a fuzz run may well reach.
  if (ResolveEntryPoint(".", message.context.manifest().entrypoint(), &path, &why)) {
    const std::string root = RealPath(".");
    if (path.compare(0, root.size() + 1, root + "/") != 0 && root != "/") abort();
  }
  return 0;
}
