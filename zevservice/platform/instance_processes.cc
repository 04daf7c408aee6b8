#include "platform/instance_processes.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/file_modes.h"
#include "platform/paths.h"
#include "platform/process.h"

extern char** environ;

namespace zev {

namespace {

constexpr char kFolderVariable[] = "ZEV_COMMON_APPDATA";
constexpr char kTokenFile[] = "instance-id";
constexpr size_t kTokenLength = 32;

// The value of `name` in an environment block; empty when unset.
std::string VariableIn(const std::string& block, const std::string& name) {
  const std::string prefix = name + "=";
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();
    if (block.compare(start, prefix.size(), prefix) == 0 && end - start >= prefix.size()) {
      return block.substr(start + prefix.size(), end - start - prefix.size());
    }
    start = end + 1;
  }
  return std::string();
}

std::string OurFolder() {
  const char* ours = getenv(kFolderVariable);
  return ours != nullptr ? ours : "";
}

bool ValidToken(const std::string& text) {
  if (text.size() != kTokenLength) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Reads the token file without following a link; it must be a regular file
// of ours that nobody else can read or write. errno is ENOENT when missing.
bool ReadTokenFile(const std::string& path, std::string* token, std::string* why) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int saved = errno;
    *why = "cannot open " + path + ": " + strerror(saved);
    errno = saved;
    return false;
  }
  struct stat st;
  char buf[kTokenLength + 1];
  ssize_t n = 0;
  const bool private_file =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
  if (private_file) n = read(fd, buf, sizeof(buf));
  close(fd);
  errno = 0;
  const std::string text = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  if (!private_file || !ValidToken(text)) {
    *why = path + (private_file ? " holds no token" : " is not a private file of ours");
    return false;
  }
  *token = text;
  return true;
}

// Makes the token file: written whole into a private file of a name nobody
// else uses, then linked to its place, where the first one made wins.
bool MakeTokenFile(const std::string& path, std::string* why) {
  unsigned char bytes[kTokenLength / 2];
  if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) {
    *why = std::string("no random bytes: ") + strerror(errno);
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  const std::string temp = path + "." + token;
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) {
    *why = "cannot make " + temp + ": " + strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, token.data(), token.size()) && fsync(fd) == 0;
  close(fd);
  const bool linked = written && (link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST);
  if (!linked) *why = "cannot place " + path + ": " + strerror(errno);
  unlink(temp.c_str());
  return linked;
}

// Whether the two paths lead to the same object (the same device and inode).
bool SameObject(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string ExeBaseName(const std::string& proc) {
  char buf[PATH_MAX];
  const ssize_t n = readlink((proc + "/exe").c_str(), buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  std::string path(buf, static_cast<size_t>(n));
  static const std::string kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    path.resize(path.size() - kDeleted.size());
  }
  return path.substr(path.rfind('/') + 1);
}

// The environment a process started with. A process in the middle of exec
// already names its new program but shows an empty environment until the
// kernel has laid out the new one: read again for a moment. Empty when it
// stays empty or cannot be read.
std::string EnvironmentOf(const std::string& proc) {
  std::string block;
  bool readable = ReadFileToString(proc + "/environ", &block);
  for (int retry = 0; readable && block.empty() && retry < 50; ++retry) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    readable = ReadFileToString(proc + "/environ", &block);
  }
  return readable ? block : std::string();
}

bool BelongsTo(pid_t pid, const std::string& name, const InstanceIdentity& who) {
  const std::string proc = "/proc/" + std::to_string(pid);
  if (ExeBaseName(proc) != name) return false;
  if (!SameObject(proc + "/ns/pid", "/proc/self/ns/pid") || !SameObject(proc + "/root", "/proc/self/root")) {
    return false;
  }
  const std::string block = EnvironmentOf(proc);
  if (block.empty() || VariableIn(block, kFolderVariable) != who.folder) return false;
  if (!who.token.empty() && VariableIn(block, kInstanceTokenVariable) == who.token) return true;
  std::string cgroup;
  return !who.service_cgroup.empty() && ReadFileToString(proc + "/cgroup", &cgroup) &&
         ServiceCgroupIn(cgroup) == who.service_cgroup;
}

int PidfdSignal(int pidfd, int sig) { return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0)); }

// Calls `act(pid, pidfd)` for each process of `name` that belongs to `who`.
// The pidfd is taken before the facts are read and the process is checked
// to be alive after, so the facts are the process's own and not those of a
// later one that took its id. False when `act` failed for any.
bool ForEachInstanceProcess(const std::string& name, const InstanceIdentity& who,
                            const std::function<bool(pid_t, int)>& act) {
  bool ok = true;
  for (pid_t pid : FindProcessesByName(name)) {
    const int fd = PidfdOpen(pid);
    if (fd < 0) continue;
    if (BelongsTo(pid, name, who) && PidfdSignal(fd, 0) == 0 && !act(pid, fd)) ok = false;
    close(fd);
  }
  return ok;
}

}  // namespace

bool SameInstanceEnvironment(const std::string& environ_block) {
  return VariableIn(environ_block, kFolderVariable) == OurFolder();
}

std::string InstanceToken(std::string* why) {
  std::string ignored;
  if (why == nullptr) why = &ignored;
  // The token names the instance of this process's environment (as
  // SameInstanceEnvironment compares it), so it lies in that runtime folder.
  const std::string dir = GetRuntimeDir();
  if (dir.empty()) {
    *why = "no runtime folder";
    return std::string();
  }
  if (!IsTrustedFolder(dir, why)) return std::string();
  const std::string path = JoinPath(dir, kTokenFile);
  std::string token;
  if (ReadTokenFile(path, &token, why)) return token;
  if (errno == ENOENT && MakeTokenFile(path, why) && ReadTokenFile(path, &token, why)) return token;
  return std::string();
}

std::string ServiceCgroupIn(const std::string& cgroup_file) {
  size_t start = 0;
  while (start < cgroup_file.size()) {
    size_t end = cgroup_file.find('\n', start);
    if (end == std::string::npos) end = cgroup_file.size();
    const std::string line = cgroup_file.substr(start, end - start);
    start = end + 1;
    // "hierarchy:controllers:path"; the path itself may hold ':'.
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string hierarchy = line.substr(0, second);
    if (hierarchy != "0:" && hierarchy.compare(first, std::string::npos, ":name=systemd") != 0) continue;
    const std::string path = line.substr(second + 1);
    static const std::string kSuffix = ".service";
    if (path.size() > kSuffix.size() && path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
      return path;
    }
  }
  return std::string();
}

InstanceIdentity ThisInstance() {
  InstanceIdentity who;
  who.folder = OurFolder();
  who.token = InstanceToken();
  std::string cgroup;
  if (ReadFileToString("/proc/self/cgroup", &cgroup)) who.service_cgroup = ServiceCgroupIn(cgroup);
  return who;
}

std::vector<pid_t> FindInstanceProcesses(const std::string& name, const InstanceIdentity& who) {
  std::vector<pid_t> ours;
  ForEachInstanceProcess(name, who, [&ours](pid_t pid, int) {
    ours.push_back(pid);
    return true;
  });
  return ours;
}

std::vector<pid_t> FindInstanceProcesses(const std::string& name) {
  return FindInstanceProcesses(name, ThisInstance());
}

bool TerminateInstanceProcesses(const std::string& name) {
  return ForEachInstanceProcess(name, ThisInstance(),
                                [](pid_t, int fd) { return PidfdSignal(fd, SIGKILL) == 0 || errno == ESRCH; });
}

std::unique_ptr<ProcessHandle> StartInstanceProcess(const std::vector<std::string>& argv,
                                                    const StartOptions& options, std::string* error) {
  StartOptions with_token = options;
  const std::string token = InstanceToken();
  with_token.environment.push_back(token.empty() ? std::string(kInstanceTokenVariable)
                                                 : std::string(kInstanceTokenVariable) + "=" + token);
  return StartProcessArgv(argv, with_token, error);
}

}  // namespace zev
