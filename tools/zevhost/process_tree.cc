#include "tools/zevhost/process_tree.h"

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sstream>

#include "platform/paths.h"

namespace zev {

std::vector<ProcessFacts> ReadProcessTable() {
  std::vector<ProcessFacts> table;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return table;
  while (struct dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
    ProcessFacts facts;
    if (ReadProcessFacts(static_cast<pid_t>(pid), &facts)) table.push_back(facts);
  }
  closedir(proc);
  return table;
}

bool ReadProcessFacts(pid_t pid, ProcessFacts* facts) {
  std::string text;
  if (!ReadFileToString("/proc/" + std::to_string(pid) + "/stat", &text)) return false;
  // "pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt
  // majflt cmajflt utime stime cutime cstime priority nice threads
  // itrealvalue starttime ..."; comm may hold anything, even ')'.
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos) return false;
  std::istringstream rest(text.substr(paren + 1));
  std::string skip;
  facts->pid = pid;
  rest >> facts->state >> facts->ppid >> facts->pgid;
  for (int field = 6; field < 22 && rest; ++field) rest >> skip;
  rest >> facts->start;
  return static_cast<bool>(rest);
}

bool SignalSameProcess(pid_t pid, uint64_t start, int sig) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return false;
  // Read after the pidfd is held: while it names a live process, the id
  // cannot pass to another one.
  ProcessFacts facts;
  const bool same = ReadProcessFacts(pid, &facts) && facts.start == start &&
                    syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0;
  close(fd);
  return same;
}

std::string StartEnvironment(pid_t pid) {
  std::string block;
  if (!ReadFileToString("/proc/" + std::to_string(pid) + "/environ", &block)) block.clear();
  return block;
}

std::string EnvironmentValue(const std::string& block, const std::string& name) {
  const std::string prefix = name + "=";
  for (size_t start = 0; start < block.size();) {
    size_t end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();
    if (block.compare(start, prefix.size(), prefix) == 0) {
      return block.substr(start + prefix.size(), end - start - prefix.size());
    }
    start = end + 1;
  }
  return std::string();
}

}  // namespace zev
