#include "platform/file_modes.h"

#include <sys/stat.h>

#include <cerrno>

namespace {

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// 0 when `path` is a folder, else the errno that explains why not.
int FolderError(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Creates `path` with `mode` (less the umask) after its parents with 0755.
int MakeFolders(const std::string& path, mode_t mode, bool* created) {
  int error = FolderError(path);
  if (error == 0) return 0;
  if (error != ENOENT) return error;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    bool parent_created = false;
    int parent = MakeFolders(path.substr(0, slash), 0755, &parent_created);
    if (parent != 0) return parent;
  }
  if (mkdir(path.c_str(), mode) == 0) {
    *created = true;
    return 0;
  }
  error = errno;
  // Another process may have made it between the look and mkdir.
  return error == EEXIST ? FolderError(path) : error;
}

}  // namespace

bool CreateDirectoryWithMode(const std::string& path, mode_t mode) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string p = StripTrailingSlashes(path);
  bool created = false;
  int error = MakeFolders(p, mode, &created);
  if (error != 0) {
    errno = error;
    return false;
  }
  // mkdir applied the umask; the folder must have the mode itself. It is
  // still ours alone here, since the umask only takes bits away.
  if (created && chmod(p.c_str(), mode) != 0) return false;
  return true;
}
