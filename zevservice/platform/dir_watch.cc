#include "platform/dir_watch.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/paths.h"

namespace zev {

namespace {

constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF;

std::string Child(const std::string& dir, const char* name) { return dir.empty() ? name : dir + "/" + name; }

}  // namespace

std::unique_ptr<DirectoryWatch> DirectoryWatch::Open(const std::string& root, bool subtree, std::string* error) {
  if (!DirectoryExists(root)) {
    if (error) *error = "Could not open: " + root;
    return nullptr;
  }
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    if (error) *error = std::string("inotify_init1 failed: ") + strerror(errno);
    return nullptr;
  }
  std::unique_ptr<DirectoryWatch> watch(new DirectoryWatch(fd, root, subtree));
  std::vector<DirChange> ignored;  // what already exists is no change
  if (!watch->AddWatch("", &ignored)) {
    if (error) *error = std::string("inotify_add_watch failed: ") + strerror(errno);
    return nullptr;
  }
  return watch;
}

DirectoryWatch::~DirectoryWatch() { close(fd_); }

bool DirectoryWatch::AddWatch(const std::string& relative, std::vector<DirChange>* found) {
  std::string path = relative.empty() ? root_ : JoinPath(root_, relative);
  int wd = inotify_add_watch(fd_, path.c_str(), kMask | IN_ONLYDIR);
  if (wd < 0) return false;
  dirs_[wd] = relative;
  if (!subtree_) return true;
  // Directories below, and anything created in them before their watch existed.
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return true;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    std::string child = Child(relative, entry->d_name);
    struct stat st;
    if (lstat(JoinPath(root_, child).c_str(), &st) != 0) continue;
    found->push_back({kDirAdded, child, 0});
    if (S_ISDIR(st.st_mode)) AddWatch(child, found);
  }
  closedir(dir);
  return true;
}

bool DirectoryWatch::ReadChanges(std::vector<DirChange>* changes) {
  alignas(struct inotify_event) char buf[64 * 1024];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN;
    }
    if (n == 0) return true;
    for (char* p = buf; p < buf + n;) {
      auto* event = reinterpret_cast<struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + event->len;
      auto dir = dirs_.find(event->wd);
      if (event->mask & IN_IGNORED) {
        if (dir != dirs_.end()) dirs_.erase(dir);
        continue;
      }
      if (dir == dirs_.end() || event->len == 0) continue;  // IN_DELETE_SELF and overflow carry no name
      std::string path = Child(dir->second, event->name);
      const bool is_dir = event->mask & IN_ISDIR;
      if (event->mask & IN_CREATE) {
        changes->push_back({kDirAdded, path, 0});
        if (is_dir && subtree_) AddWatch(path, changes);
      } else if (event->mask & IN_DELETE) {
        changes->push_back({kDirRemoved, path, 0});
      } else if (event->mask & IN_MODIFY) {
        changes->push_back({kDirModified, path, 0});
      } else if (event->mask & IN_MOVED_FROM) {
        changes->push_back({kDirRenamedOld, path, event->cookie});
        if (is_dir) {
          // The subtree moved away: its watches now name stale paths.
          for (auto it = dirs_.begin(); it != dirs_.end();) {
            if (it->second == path || it->second.rfind(path + "/", 0) == 0) {
              inotify_rm_watch(fd_, it->first);
              it = dirs_.erase(it);
            } else {
              ++it;
            }
          }
        }
      } else if (event->mask & IN_MOVED_TO) {
        changes->push_back({kDirRenamedNew, path, event->cookie});
        if (is_dir && subtree_) AddWatch(path, changes);
      }
    }
  }
}

}  // namespace zev
