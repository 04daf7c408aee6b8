#include "download/extract_sink.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"

namespace zev {

namespace {

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i) path += '/';
    path += parts[i];
  }
  return path;
}

}  // namespace

DirectorySink::DirectorySink(const std::string& root) : root_(root) {}

DirectorySink::~DirectorySink() {
  AbortFile();
  if (root_fd_ >= 0) close(root_fd_);
}

bool DirectorySink::Open() {
  if (root_fd_ >= 0) return true;
  root_fd_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) error_ = "Can not open output folder " + root_;
  return root_fd_ >= 0;
}

int DirectorySink::OpenParent(const std::vector<std::string>& parts) {
  int dir_fd = root_fd_;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (mkdirat(dir_fd, parts[i].c_str(), 0755) != 0 && errno != EEXIST) {
      error_ = "Can not create folder " + JoinPath(root_, JoinParts(parts, i + 1));
      if (dir_fd != root_fd_) close(dir_fd);
      return -1;
    }
    // O_NOFOLLOW: a link in the way (planted by an earlier item or found on
    // disk) fails here instead of leading outside the folder.
    int next = openat(dir_fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd != root_fd_) close(dir_fd);
    if (next < 0) {
      error_ = "Can not open folder " + JoinPath(root_, JoinParts(parts, i + 1));
      return -1;
    }
    dir_fd = next;
  }
  return dir_fd;
}

bool DirectorySink::RemoveExisting(int dir_fd, const std::string& name, const std::string& shown) {
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode) || unlinkat(dir_fd, name.c_str(), 0) != 0) {
    error_ = "Error: Can not delete output file " + shown;
    return false;
  }
  return true;
}

bool DirectorySink::MakeDirectory(const std::vector<std::string>& parts, mode_t mode) {
  if (root_fd_ < 0 || parts.empty()) return false;
  int parent = OpenParent(parts);
  if (parent < 0) return false;
  const std::string& name = parts.back();
  bool ok = mkdirat(parent, name.c_str(), mode) == 0;
  if (!ok && errno == EEXIST) {
    // An existing folder is fine; a file or link there is not.
    struct stat st;
    ok = fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
  }
  if (ok) {
    // mkdirat is subject to the umask; the folder gets the mode asked for.
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ok = fd >= 0 && fchmod(fd, mode) == 0;
    if (fd >= 0) close(fd);
  }
  if (!ok) error_ = "Can not create folder " + JoinPath(root_, JoinParts(parts, parts.size()));
  if (parent != root_fd_) close(parent);
  return ok;
}

bool DirectorySink::MakeSymlink(const std::vector<std::string>& parts, const std::string& target) {
  if (root_fd_ < 0 || parts.empty()) return false;
  int parent = OpenParent(parts);
  if (parent < 0) return false;
  std::string shown = JoinPath(root_, JoinParts(parts, parts.size()));
  bool ok = RemoveExisting(parent, parts.back(), shown);
  if (ok && symlinkat(target.c_str(), parent, parts.back().c_str()) != 0) {
    error_ = "Can not create link " + shown;
    ok = false;
  }
  if (parent != root_fd_) close(parent);
  return ok;
}

bool DirectorySink::OpenFile(const std::vector<std::string>& parts) {
  AbortFile();
  if (root_fd_ < 0 || parts.empty()) return false;
  int parent = OpenParent(parts);
  if (parent < 0) return false;
  file_path_ = JoinPath(root_, JoinParts(parts, parts.size()));
  // The item replaces what is there; O_EXCL then guarantees that the file
  // written is the one just made, not a link or a file someone else holds.
  if (RemoveExisting(parent, parts.back(), file_path_)) {
    file_fd_ = openat(parent, parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file_fd_ < 0) error_ = "Error: Can not open output file " + file_path_;
  }
  if (parent != root_fd_) close(parent);
  return file_fd_ >= 0;
}

bool DirectorySink::Write(const void* data, size_t size) {
  if (file_fd_ < 0) return false;
  if (!WriteAll(file_fd_, static_cast<const char*>(data), size)) {
    error_ = "Can not write output file " + file_path_ + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool DirectorySink::CloseFile(mode_t mode) {
  if (file_fd_ < 0) return false;
  bool ok = fchmod(file_fd_, mode) == 0;
  ok = close(file_fd_) == 0 && ok;
  file_fd_ = -1;
  if (!ok) error_ = "Can not close output file " + file_path_;
  return ok;
}

void DirectorySink::AbortFile() {
  if (file_fd_ >= 0) close(file_fd_);
  file_fd_ = -1;
}

bool DirectorySink::SetFileTime(const struct timespec& mtime) {
  if (file_fd_ < 0) return false;
  const struct timespec times[2] = {{0, UTIME_OMIT}, mtime};
  if (futimens(file_fd_, times) == 0) return true;
  error_ = "Can not set the time of output file " + file_path_ + ": " + strerror(errno);
  return false;
}

bool DirectorySink::SetFolderTime(const std::vector<std::string>& parts, const struct timespec& mtime) {
  if (root_fd_ < 0 || parts.empty()) return false;
  int parent = OpenParent(parts);
  if (parent < 0) return false;
  const struct timespec times[2] = {{0, UTIME_OMIT}, mtime};
  // AT_SYMLINK_NOFOLLOW: a link put in the folder's place gets the time, not what it names.
  const bool ok = utimensat(parent, parts.back().c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  if (!ok) {
    error_ = "Can not set the time of folder " + JoinPath(root_, JoinParts(parts, parts.size())) + ": " +
             strerror(errno);
  }
  if (parent != root_fd_) close(parent);
  return ok;
}

namespace {

// A path may only pass through folders of the sink (or folders it makes).
bool ParentsAreFolders(const std::map<std::string, MemorySink::Item>& items,
                       const std::vector<std::string>& parts) {
  for (size_t i = 1; i < parts.size(); ++i) {
    auto it = items.find(JoinParts(parts, i));
    if (it != items.end() && it->second.kind != 'd') return false;
  }
  return true;
}

}  // namespace

bool MemorySink::MakeDirectory(const std::vector<std::string>& parts, mode_t mode) {
  if (parts.empty() || !ParentsAreFolders(items_, parts)) return false;
  std::string path = JoinParts(parts, parts.size());
  auto it = items_.find(path);
  if (it != items_.end() && it->second.kind != 'd') {
    error_ = "Can not create folder " + path;
    return false;
  }
  items_[path] = Item{'d', mode, std::string()};
  return true;
}

bool MemorySink::MakeSymlink(const std::vector<std::string>& parts, const std::string& target) {
  if (parts.empty() || !ParentsAreFolders(items_, parts)) return false;
  std::string path = JoinParts(parts, parts.size());
  auto it = items_.find(path);
  if (it != items_.end() && it->second.kind == 'd') {
    error_ = "Error: Can not delete output file " + path;
    return false;
  }
  items_[path] = Item{'l', 0777, target};
  return true;
}

bool MemorySink::OpenFile(const std::vector<std::string>& parts) {
  file_open_ = false;
  if (parts.empty() || !ParentsAreFolders(items_, parts)) {
    error_ = "Error: Can not open output file " + JoinParts(parts, parts.size());
    return false;
  }
  open_path_ = JoinParts(parts, parts.size());
  auto it = items_.find(open_path_);
  if (it != items_.end() && it->second.kind == 'd') {
    error_ = "Error: Can not delete output file " + open_path_;
    return false;
  }
  items_[open_path_] = Item{'f', 0600, std::string()};
  file_open_ = true;
  return true;
}

bool MemorySink::Write(const void* data, size_t size) {
  if (!file_open_) return false;
  if (size > max_bytes_ - total_bytes_) {
    error_ = "Can not write output file " + open_path_ + ": no room";
    return false;
  }
  total_bytes_ += size;
  items_[open_path_].content.append(static_cast<const char*>(data), size);
  return true;
}

bool MemorySink::CloseFile(mode_t mode) {
  if (!file_open_) return false;
  items_[open_path_].mode = mode;
  file_open_ = false;
  return true;
}

void MemorySink::AbortFile() { file_open_ = false; }

}  // namespace zev
