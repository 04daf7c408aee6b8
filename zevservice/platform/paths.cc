#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/file_modes.h"

#ifndef ZEV_VERSION_TEXT
#define ZEV_VERSION_TEXT "2.0.0.0"
#endif

namespace zev {

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

namespace {

std::mutex& CommonDirMutex() {
  static std::mutex mu;
  return mu;
}
std::string& CommonDirCache() {  // guarded by CommonDirMutex()
  static std::string dir;
  return dir;
}

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? std::string(v) : std::string();
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool Usable(const std::string& dir) { return !dir.empty() && CreateDirectories(dir); }

std::string LookUpCommonDataDir() {
  std::string v = Env("ZEV_COMMON_APPDATA");
  if (!v.empty()) return StripTrailingSlashes(v);
  if (Usable("/var/lib/zev")) return "/var/lib/zev";
  // Root never falls back to a user's or the shared temporary folder: whoever
  // made that folder first would choose what root installs and runs.
  if (geteuid() == 0) return std::string();
  std::string xdg = Env("XDG_DATA_HOME");
  if (xdg.empty() && !Env("HOME").empty()) xdg = JoinPath(Env("HOME"), ".local/share");
  if (!xdg.empty() && Usable(JoinPath(xdg, "zev"))) return StripTrailingSlashes(JoinPath(xdg, "zev"));
  std::string tmp = Env("TMPDIR");
  if (tmp.empty()) tmp = "/tmp";
  if (Usable(JoinPath(tmp, "zev"))) return StripTrailingSlashes(JoinPath(tmp, "zev"));
  return std::string();
}

std::string TempNameBeside(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  return target + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
         std::to_string(rd());
}

// Copies `source` into a new temporary file beside `target`, then either
// renames it over the target or links it in place only when the target does
// not exist. The temporary file is removed on every failure.
bool CopyFileImpl(const std::string& source, const std::string& target, bool overwrite) {
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  std::string tmp = TempNameBeside(target);
  int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  std::string buf(1 << 20, '\0');
  for (;;) {
    ssize_t n = read(in, &buf[0], buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  close(in);
  if (ok && fsync(out) != 0) ok = false;
  if (close(out) != 0) ok = false;
  if (ok) {
    if (overwrite) {
      ok = rename(tmp.c_str(), target.c_str()) == 0;
    } else {
      ok = link(tmp.c_str(), target.c_str()) == 0;
    }
  }
  unlink(tmp.c_str());  // after a rename this is a no-op that fails harmlessly
  return ok;
}

}  // namespace

std::string GetCommonDataDir() {
  std::lock_guard<std::mutex> lock(CommonDirMutex());
  std::string& cache = CommonDirCache();
  if (cache.empty()) cache = LookUpCommonDataDir();
  return cache;
}

void ForgetCommonDataDir() {
  std::lock_guard<std::mutex> lock(CommonDirMutex());
  CommonDirCache().clear();
}

std::string GetRuntimeDir() {
  std::string common = GetCommonDataDir();
  if (common.empty()) return std::string();
  std::string dir = JoinPath(common, "run");
  if (!CreateDirectoryWithMode(dir, kRuntimeDirMode)) return std::string();
  return dir;
}

std::string GetModulePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string GetModuleDir() {
  std::string path = GetModulePath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

std::string GetProgramVersion() { return ZEV_VERSION_TEXT; }

std::string GetFileVersionText(const std::string& path) {
  if (path.empty()) return std::string();
  struct stat a, b;
  if (stat(path.c_str(), &a) != 0 || stat("/proc/self/exe", &b) != 0) return std::string();
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return GetProgramVersion();
  return std::string();
}

bool GetFileName(const std::string& path, std::string* name) {
  size_t sep = path.find_last_of("/\\");
  if (sep == std::string::npos) {
    *name = path;
    return false;
  }
  *name = path.substr(sep + 1);
  return true;
}

std::string GetUrlFileName(const std::string& text) {
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? std::string() : text.substr(slash + 1);
}

std::string GetUrlDir(const std::string& text) {
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

bool SameUrlFileName(const std::string& a, const std::string& b) {
  size_t sa = a.rfind('/');
  size_t sb = b.rfind('/');
  std::string na = sa == std::string::npos ? a : a.substr(sa + 1);
  std::string nb = sb == std::string::npos ? b : b.substr(sb + 1);
  return na == nb;
}

bool getRawname(const std::string& name, std::string* stem) {
  if (name.empty()) return false;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot <= 1) return false;
  *stem = name.substr(0, dot);
  return true;
}

bool FileExists(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string p = StripTrailingSlashes(path);
  if (DirectoryExists(p)) return true;
  size_t slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (!CreateDirectories(p.substr(0, slash))) return false;
  }
  // Another process may create it between the check and mkdir; EEXIST for a
  // folder is success.
  if (mkdir(p.c_str(), 0755) == 0) return true;
  return DirectoryExists(p);
}

bool CopyDirectoryTree(const std::string& source, const std::string& target) {
  if (!CreateDirectories(target)) return false;
  DIR* dir = opendir(source.c_str());
  if (dir == nullptr) return false;
  bool ok = true;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string from = JoinPath(source, name);
    std::string to = JoinPath(target, name);
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) {
      ok = false;
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!CopyDirectoryTree(from, to)) {
        ok = false;
        break;
      }
    } else if (S_ISREG(st.st_mode)) {
      struct stat existing;
      if (lstat(to.c_str(), &existing) == 0) continue;  // existing files stay
      if (!CopyFileImpl(from, to, /*overwrite=*/false)) {
        // A file that appeared meanwhile counts as existing.
        if (lstat(to.c_str(), &existing) == 0) continue;
        ok = false;
        break;
      }
    }
    // Other kinds (links, sockets, devices) are not copied.
  }
  closedir(dir);
  return ok;
}

bool CopyFileTo(const std::string& source, const std::string& target) {
  return CopyFileImpl(source, target, /*overwrite=*/true);
}

bool WriteFileAtomically(const std::string& path, const std::string& data, bool durable) {
  std::string tmp = TempNameBeside(path);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data.data(), data.size()) && (!durable || fsync(fd) == 0);
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

bool ReadFileToString(const std::string& path, std::string* data) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  data->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (n == 0) break;
    data->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  bool a_slash = a.back() == '/';
  bool b_slash = b.front() == '/';
  if (a_slash && b_slash) return a + b.substr(1);
  if (a_slash || b_slash) return a + b;
  return a + "/" + b;
}

}  // namespace zev
