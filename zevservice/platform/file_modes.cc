#include "platform/file_modes.h"

#include <sys/stat.h>

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>
#include <algorithm>

namespace zev {

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

namespace {

bool Fail(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

std::string OwnerMode(const struct stat& st) {
  char text[64];
  snprintf(text, sizeof(text), "owner %u, mode %04o", static_cast<unsigned>(st.st_uid),
           static_cast<unsigned>(st.st_mode & 07777));
  return text;
}

// Checks one folder of a resolved path (no links left in it); `last` is the
// folder asked about, which may not be writable by all even with the sticky
// bit.
bool TrustedStep(const std::string& dir, bool last, std::string* why) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return Fail(why, dir + ": " + strerror(errno));
  if (!S_ISDIR(st.st_mode)) return Fail(why, dir + " is not a folder");
  if (st.st_uid != 0 && st.st_uid != geteuid())
    return Fail(why, dir + " belongs to another user (" + OwnerMode(st) + ")");
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0)
    return Fail(why, dir + " is writable by its group (" + OwnerMode(st) + ")");
  if ((st.st_mode & S_IWOTH) != 0 && (last || st.st_uid != 0 || (st.st_mode & S_ISVTX) == 0))
    return Fail(why, dir + " is writable by others (" + OwnerMode(st) + ")");
  return true;
}

// Walks `path` from "/" one part at a time, as the kernel would, checking
// every folder it passes through and every link it follows: a link must
// belong to root or to us, or its owner could point it elsewhere at any
// time (in /tmp too, where the sticky bit keeps only others away). The
// folder the walk ends in is checked as the one asked about unless
// `sticky_ok` (a folder only to make a new folder in).
bool TrustedWalk(const std::string& path, bool sticky_ok, std::string* why) {
  std::vector<std::string> rest;  // parts still to walk, the next one last
  auto push_parts = [&rest](const std::string& text) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= text.size();) {
      size_t slash = text.find('/', start);
      if (slash == std::string::npos) slash = text.size();
      if (slash > start) parts.push_back(text.substr(start, slash - start));
      start = slash + 1;
    }
    rest.insert(rest.end(), parts.rbegin(), parts.rend());
  };
  push_parts(path);
  std::string at = "/";
  if (!TrustedStep(at, !sticky_ok && rest.empty(), why)) return false;
  for (int links = 0; !rest.empty();) {
    const std::string part = rest.back();
    rest.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      at = at == "/" ? at : at.substr(0, std::max<size_t>(1, at.rfind('/')));
      continue;  // a folder already passed
    }
    const std::string next = at == "/" ? "/" + part : at + "/" + part;
    struct stat st;
    if (lstat(next.c_str(), &st) != 0) return Fail(why, next + ": " + strerror(errno));
    if (S_ISLNK(st.st_mode)) {
      if (st.st_uid != 0 && st.st_uid != geteuid())
        return Fail(why, next + " is a link that belongs to another user (" + OwnerMode(st) + ")");
      if (++links > 40) return Fail(why, next + ": too many links");
      char target[PATH_MAX];
      const ssize_t n = readlink(next.c_str(), target, sizeof(target) - 1);
      if (n <= 0) return Fail(why, next + ": " + strerror(errno));
      target[n] = '\0';
      if (target[0] == '/') at = "/";
      push_parts(target);
      continue;
    }
    if (!TrustedStep(next, !sticky_ok && rest.empty(), why)) return false;
    at = next;
  }
  // A walk that ends on ".." or a link ends in a folder checked as one on
  // the way: check it again as the one asked about.
  return TrustedStep(at, !sticky_ok, why);
}

}  // namespace

bool IsTrustedFolder(const std::string& path, std::string* why) {
  if (path.empty() || path[0] != '/') return Fail(why, "\"" + path + "\" is not an absolute path");
  return TrustedWalk(path, false, why);
}

bool IsTrustedToCreateIn(const std::string& path, std::string* why) {
  if (path.empty() || path[0] != '/') return Fail(why, "\"" + path + "\" is not an absolute path");
  return TrustedWalk(path, true, why);
}

bool IsTrustedFile(const std::string& path, std::string* why) {
  const size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash == path.size() - 1)
    return Fail(why, "\"" + path + "\" is not an absolute file path");
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail(why, path + ": " + strerror(errno));
  if (S_ISLNK(st.st_mode)) return Fail(why, path + " is a link");
  if (!S_ISREG(st.st_mode)) return Fail(why, path + " is not a regular file");
  if (st.st_uid != 0 && st.st_uid != geteuid())
    return Fail(why, path + " belongs to another user (" + OwnerMode(st) + ")");
  if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0))
    return Fail(why, path + " is writable by others (" + OwnerMode(st) + ")");
  return IsTrustedFolder(slash == 0 ? "/" : path.substr(0, slash), why);
}

}  // namespace zev
