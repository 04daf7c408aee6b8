#include "tools/zevrpc/bus_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <utility>

#include "platform/file_modes.h"

namespace zev::rpc {
namespace {

constexpr char kLockSuffix[] = ".lock";

// A lister takes a dead node's lock for a moment to remove its files; an
// opener that meets it there tries again a few times before it calls the id
// taken.
constexpr int kLockAttempts = 4;
constexpr int kLockRetryWaitMs = 1;

bool ParseNodeName(const char* name, uint32_t* node_id) {
  size_t len = std::strlen(name);
  size_t suffix = sizeof(kLockSuffix) - 1;
  if (len != 8 + suffix || std::strcmp(name + 8, kLockSuffix) != 0) return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    char c = name[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
    else return false;
    value = value << 4 | digit;
  }
  *node_id = value;
  return true;
}

pid_t ReadPid(int fd) {
  char buf[32];
  ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
  if (n <= 0) return 0;
  buf[n] = '\0';
  char* end = nullptr;
  long value = std::strtol(buf, &end, 10);
  if (end == buf || value <= 0 || value > 0x7fffffff) return 0;
  return static_cast<pid_t>(value);
}

std::mutex& RegistryMutex() {
  static std::mutex mu;
  return mu;
}

std::set<std::pair<std::string, uint32_t>>& Registry() {
  static std::set<std::pair<std::string, uint32_t>> ids;  // guarded by RegistryMutex()
  return ids;
}

}  // namespace

size_t MaxSocketPathLength() { return sizeof(sockaddr_un{}.sun_path) - 1; }

std::string PrepareBusFolder(const std::string& data_dir) {
  if (data_dir.empty()) return std::string();
  std::string run = data_dir + "/run";
  if (!CreateDirectoryWithMode(run, kRuntimeDirMode)) return std::string();
  std::string folder = run + "/bus";
  if (!CreateDirectoryWithMode(folder, kPrivateDirMode)) return std::string();
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return std::string();
  if ((st.st_mode & 0777) != kPrivateDirMode && chmod(folder.c_str(), kPrivateDirMode) != 0) return std::string();
  return folder;
}

std::string NodeName(uint32_t node_id) {
  char buf[9];
  std::snprintf(buf, sizeof(buf), "%08X", node_id);
  return buf;
}

std::string LockPath(const std::string& folder, uint32_t node_id) {
  return folder + "/" + NodeName(node_id) + kLockSuffix;
}

std::string SocketPath(const std::string& folder, uint32_t node_id) {
  return folder + "/" + NodeName(node_id) + ".sock";
}

int TakeNodeLock(const std::string& folder, uint32_t node_id) {
  std::string path = LockPath(folder, node_id);
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (attempt > 0) poll(nullptr, 0, kLockRetryWaitMs);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      if (errno == EWOULDBLOCK) continue;
      return -1;
    }
    // The previous holder unlinks its lock file while it still holds it; if
    // we opened that file just before, our lock is on an orphan. Only the
    // file still at the path counts.
    struct stat held, named;
    if (fstat(fd, &held) != 0 || stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
        held.st_dev != named.st_dev) {
      close(fd);
      continue;
    }
    char pid_text[24];
    int len = std::snprintf(pid_text, sizeof(pid_text), "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid_text, static_cast<size_t>(len), 0) != len) {
      close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

bool ListLiveNodes(const std::string& folder, uint32_t own_id, std::vector<LiveNode>* nodes) {
  nodes->clear();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (dirent* entry = readdir(dir)) {
    uint32_t id = 0;
    if (!ParseNodeName(entry->d_name, &id)) continue;
    if (id == own_id) continue;
    int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Nobody held it: a dead node's leftover. Holding its lock now, the
      // lister removes its files as the node would have on close, unless an
      // opener has put a new lock file at the name meanwhile. Otherwise
      // every host that dies would leave two files behind for good.
      struct stat held, named;
      if (fstat(fd, &held) == 0 && fstatat(dirfd(dir), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
        unlinkat(dirfd(dir), (NodeName(id) + ".sock").c_str(), 0);
        unlinkat(dirfd(dir), entry->d_name, 0);
      }
      close(fd);
      continue;
    }
    if (errno == EWOULDBLOCK) nodes->push_back(LiveNode{id, ReadPid(fd)});
    close(fd);
  }
  closedir(dir);
  nodes->push_back(LiveNode{own_id, getpid()});
  std::sort(nodes->begin(), nodes->end(),
            [](const LiveNode& a, const LiveNode& b) { return a.node_id < b.node_id; });
  return true;
}

bool ClaimIdInProcess(const std::string& folder, uint32_t node_id) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return Registry().emplace(folder, node_id).second;
}

void ForgetIdInProcess(const std::string& folder, uint32_t node_id) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry().erase(std::make_pair(folder, node_id));
}

}  // namespace zev::rpc
