#include "platform/instance_processes.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "platform/paths.h"
#include "platform/process.h"

namespace {

constexpr char kInstanceVariable[] = "ZEV_COMMON_APPDATA=";

// The value of ZEV_COMMON_APPDATA in an environment block; empty when unset.
std::string InstanceFolderIn(const std::string& block) {
  const size_t prefix = sizeof(kInstanceVariable) - 1;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();
    if (block.compare(start, prefix, kInstanceVariable) == 0 && end - start >= prefix) {
      return block.substr(start + prefix, end - start - prefix);
    }
    start = end + 1;
  }
  return std::string();
}

}  // namespace

bool SameInstanceEnvironment(const std::string& environ_block) {
  const char* ours = getenv("ZEV_COMMON_APPDATA");
  return InstanceFolderIn(environ_block) == (ours != nullptr ? ours : "");
}

std::vector<pid_t> FindInstanceProcesses(const std::string& name) {
  std::vector<pid_t> ours;
  for (pid_t pid : FindProcessesByName(name)) {
    // A process in the middle of exec already names its new program but
    // shows an empty environment until the kernel has laid out the new one.
    // Read again for a moment; a block that stays empty tells nothing about
    // the owner, and an empty one would otherwise match an instance that has
    // no folder set.
    const std::string path = "/proc/" + std::to_string(pid) + "/environ";
    std::string block;
    bool readable = ReadFileToString(path, &block);
    for (int retry = 0; readable && block.empty() && retry < 50; ++retry) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      readable = ReadFileToString(path, &block);
    }
    if (!readable || block.empty()) continue;
    if (SameInstanceEnvironment(block)) ours.push_back(pid);
  }
  return ours;
}

bool TerminateInstanceProcesses(const std::string& name) {
  bool ok = true;
  for (pid_t pid : FindInstanceProcesses(name)) {
    if (kill(pid, SIGKILL) != 0 && errno != ESRCH) ok = false;
  }
  return ok;
}
