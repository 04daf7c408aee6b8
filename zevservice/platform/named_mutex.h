// System-wide named mutexes ("Global\..."), held as lock files in the runtime
// folder: the name with "\" and "/" turned into "_". Whoever can open a lock
// file can hold its lock, so a lock file is readable and writable by the
// service's user only (mode 0600) and lies in a folder only that user can
// write. The kernel drops the lock when its holder dies.
//
// A mutex whose state every user may see (kReadableByAll) has a lock file of
// mode 0644 and is held with an open file description write lock (fcntl
// F_OFD_SETLK) instead: others can open the file only for reading, so they
// can test the lock (NamedMutexIsHeld) but never hold it in write mode, and
// a read lock that someone takes to stand in the way is left behind with
// the old file, which the holder replaces.
#ifndef ZEV_PLATFORM_NAMED_MUTEX_H_
#define ZEV_PLATFORM_NAMED_MUTEX_H_

#include <memory>
#include <string>

namespace zev {

enum class LockFileAccess { kPrivate, kReadableByAll };

class NamedMutex {
 public:
  // Creates or opens the mutex, its lock file in `dir` (the runtime folder,
  // <common>/run, for the service's mutexes), and tries to take it without
  // waiting. *already_exists is set when another open holder (in this or
  // another process) has it; the returned handle then does not own it. Null
  // when the lock file cannot be opened (no folder, no permission). A
  // missing `dir` is created with mode 0711 (kRuntimeDirMode); an existing
  // one keeps its mode. A lock file this user owns is set to 0600, also one
  // that an earlier version left more open.
  static std::unique_ptr<NamedMutex> CreateIn(const std::string& dir, const std::string& name,
                                              bool* already_exists,
                                              LockFileAccess access = LockFileAccess::kPrivate);

  ~NamedMutex();  // releases the mutex if owned
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  bool owned() const { return owned_; }
  // Tries again to take a mutex that another holder had. True when owned.
  bool TryAcquire();
  const std::string& path() const { return path_; }

 private:
  NamedMutex(int fd, std::string path, LockFileAccess access) : fd_(fd), path_(std::move(path)), access_(access) {}
  // Puts a new lock file, already held, in place of one that a reader holds
  // a read lock on. True when owned.
  bool ReplaceBlockedFile();

  int fd_;
  const std::string path_;
  const LockFileAccess access_;
  bool owned_ = false;
};

// Whether some process holds the kReadableByAll mutex whose lock file is
// `path`; any user may ask, and nothing is taken or created. False when the
// file is missing or cannot be opened, and when only read locks are on it.
bool NamedMutexIsHeld(const std::string& path);

// The lock file's name for a mutex name.
std::string NamedMutexFileName(const std::string& name);

}  // namespace zev

#endif  // ZEV_PLATFORM_NAMED_MUTEX_H_
