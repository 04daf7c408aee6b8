#include "download/version_gc.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "base/annotated_mutex.h"
#include "base/log.h"
#include "platform/file_modes.h"
#include "model/catalogue.h"

namespace zev {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deeper trees are left alone rather than walked without end.
constexpr int kMaxDepth = 128;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string Errno(const std::string& what) { return what + ": " + strerror(errno); }

// Calls `each` with the name and the lstat of every entry of the folder
// `dir` (but "." and ".."). False when it cannot be read.
bool ForEachEntry(int dir, const std::function<void(const std::string&, const struct stat&)>& each) {
  const int copy = dup(dir);
  if (copy < 0) return false;
  DIR* stream = fdopendir(copy);
  if (stream == nullptr) {
    close(copy);
    return false;
  }
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* entry = readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const bool ok = errno == 0;
  closedir(stream);
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) each(name, st);
  }
  return ok;
}

uint64_t SizeBelow(int dir, int depth) {
  uint64_t bytes = 0;
  if (depth > kMaxDepth) return 0;
  ForEachEntry(dir, [&](const std::string& name, const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
      bytes += static_cast<uint64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
      Fd child(openat(dir, name.c_str(), kDirFlags));
      if (child.get() >= 0) bytes += SizeBelow(child.get(), depth + 1);
    }
  });
  return bytes;
}

// The real folders of `dir`, opened.
void ForEachFolder(int dir, const std::function<void(const std::string&, int)>& each) {
  ForEachEntry(dir, [&](const std::string& name, const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return;
    Fd child(openat(dir, name.c_str(), kDirFlags));
    if (child.get() >= 0) each(name, child.get());
  });
}

bool RemoveAt(int parent, const std::string& name, int depth, std::string* why) {
  Fd dir(openat(parent, name.c_str(), kDirFlags));
  if (dir.get() < 0) {
    // Not a folder (a file, a link): it goes as it is.
    if ((errno == ENOTDIR || errno == ELOOP) && unlinkat(parent, name.c_str(), 0) == 0) return true;
    *why = Errno("cannot open " + name);
    return false;
  }
  if (depth > kMaxDepth) {
    *why = "too deep below " + name;
    return false;
  }
  bool ok = true;
  const bool listed = ForEachEntry(dir.get(), [&](const std::string& child, const struct stat& st) {
    if (!ok) return;
    if (S_ISDIR(st.st_mode)) {
      ok = RemoveAt(dir.get(), child, depth + 1, why);
    } else if (unlinkat(dir.get(), child.c_str(), 0) != 0) {
      *why = Errno("cannot remove " + child);
      ok = false;
    }
  });
  if (!listed && ok) {
    *why = Errno("cannot list " + name);
    ok = false;
  }
  if (ok && unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
    *why = Errno("cannot remove " + name);
    ok = false;
  }
  return ok;
}

bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string Describe(const GcVersion& v) {
  return EscapeControlCharacters(std::get<0>(v) + "/" + std::get<1>(v) + "/" + std::get<2>(v));
}

}  // namespace

std::vector<GcVersion> VersionsToCollect(const std::vector<GcVersion>& found, const GcKeep& keep) {
  // The newest `keep.newest` distinct versions of each component.
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> by_component;
  for (const GcVersion& v : found) by_component[{std::get<0>(v), std::get<1>(v)}].push_back(std::get<2>(v));
  std::set<GcVersion> newest;
  for (auto& component : by_component) {
    std::vector<std::string>& versions = component.second;
    std::sort(versions.begin(), versions.end(),
              [](const std::string& a, const std::string& b) { return CompareVersion(a, b) > 0; });
    size_t distinct = 0;
    for (size_t i = 0; i < versions.size(); ++i) {
      if (i == 0 || CompareVersion(versions[i], versions[i - 1]) != 0) ++distinct;
      if (distinct > keep.newest) break;
      newest.emplace(component.first.first, component.first.second, versions[i]);
    }
  }
  std::vector<GcVersion> collect;
  for (const GcVersion& v : found) {
    if (newest.count(v) || keep.recorded.count(v) || keep.loaded.count(v) || keep.held.count(v)) continue;
    collect.push_back(v);
  }
  return collect;
}

bool ScanDownloadFolder(const std::string& root, std::vector<FoundVersion>* found, std::string* why) {
  Fd top(open(root.c_str(), kDirFlags));
  if (top.get() < 0) {
    *why = Errno("cannot open " + root);
    return false;
  }
  ForEachFolder(top.get(), [&](const std::string& app, int app_dir) {
    ForEachFolder(app_dir, [&](const std::string& component, int component_dir) {
      ForEachFolder(component_dir, [&](const std::string& version, int version_dir) {
        FoundVersion item;
        item.version = GcVersion(app, component, version);
        item.bytes = SizeBelow(version_dir, 0);
        found->push_back(item);
      });
    });
  });
  std::sort(found->begin(), found->end(),
            [](const FoundVersion& a, const FoundVersion& b) { return a.version < b.version; });
  return true;
}

bool RemoveVersionFolder(const std::string& root, const GcVersion& version, std::string* why) {
  const std::string& app = std::get<0>(version);
  const std::string& component = std::get<1>(version);
  const std::string& name = std::get<2>(version);
  if (!PlainName(app) || !PlainName(component) || !PlainName(name)) {
    *why = "not a plain name: " + Describe(version);
    return false;
  }
  Fd top(open(root.c_str(), kDirFlags));
  Fd app_dir(top.get() < 0 ? -1 : openat(top.get(), app.c_str(), kDirFlags));
  Fd component_dir(app_dir.get() < 0 ? -1 : openat(app_dir.get(), component.c_str(), kDirFlags));
  if (component_dir.get() < 0) {
    *why = Errno("cannot open the folder of " + Describe(version));
    return false;
  }
  return RemoveAt(component_dir.get(), name, 0, why);
}

GcResult CollectVersions(const std::string& root, const GcKeep& keep, bool dry_run) {
  // One collection at a time (after a pass and at an operator's request).
  static Mutex* const running = new Mutex;
  MutexLock lock(running);
  GcResult result;
  if (!dry_run && !IsTrustedFolder(root, &result.error)) {
    result.ok = false;
    LogWrite(kLogWarning, "Old versions are not removed from %s: %s", EscapeControlCharacters(root).c_str(),
             EscapeControlCharacters(result.error).c_str());
    return result;
  }
  std::vector<FoundVersion> found;
  if (!ScanDownloadFolder(root, &found, &result.error)) {
    result.ok = false;
    LogWrite(kLogWarning, "Old versions are not collected: %s", EscapeControlCharacters(result.error).c_str());
    return result;
  }
  std::vector<GcVersion> versions;
  for (const FoundVersion& item : found) versions.push_back(item.version);
  const std::vector<GcVersion> collect = VersionsToCollect(versions, keep);
  for (const FoundVersion& item : found) {
    if (std::find(collect.begin(), collect.end(), item.version) == collect.end()) continue;
    if (!dry_run) {
      std::string why;
      if (!RemoveVersionFolder(root, item.version, &why)) {
        LogWrite(kLogWarning, "The old version %s could not be removed: %s", Describe(item.version).c_str(),
                 EscapeControlCharacters(why).c_str());
        if (result.ok) result.error = why;
        result.ok = false;
        continue;
      }
      LogWrite(kLogInfo, "Removed the old version %s (%llu bytes).", Describe(item.version).c_str(),
               static_cast<unsigned long long>(item.bytes));
    }
    result.items.push_back(item);
    result.bytes += item.bytes;
  }
  return result;
}

}  // namespace zev
