#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file_modes.h"
#include "platform/paths.h"

namespace zev {

std::string NamedMutexFileName(const std::string& name) {
  std::string file = name;
  for (char& c : file) {
    if (c == '\\' || c == '/') c = '_';
  }
  if (file == "." || file == "..") file = "_" + file;
  return file;
}

std::unique_ptr<NamedMutex> NamedMutex::CreateIn(const std::string& dir, const std::string& name,
                                                 bool* already_exists, LockFileAccess access) {
  if (already_exists) *already_exists = false;
  if (name.empty() || dir.empty() || !CreateDirectoryWithMode(dir, kRuntimeDirMode)) return nullptr;
  std::string path = JoinPath(dir, NamedMutexFileName(name));
  const mode_t mode = access == LockFileAccess::kReadableByAll ? kPublicLockFileMode : kPrivateFileMode;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0 && access == LockFileAccess::kPrivate) {
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);  // someone else's file: flock needs no write
  }
  if (fd < 0) return nullptr;
  // A file that earlier versions left 0666 is narrowed as well; another
  // owner's file is left as it is.
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) != mode) fchmod(fd, mode);
  std::unique_ptr<NamedMutex> mutex(new NamedMutex(fd, path, access));
  if (!mutex->TryAcquire() && already_exists) *already_exists = true;
  return mutex;
}

NamedMutex::~NamedMutex() {
  if (owned_ && access_ == LockFileAccess::kPrivate) flock(fd_, LOCK_UN);
  close(fd_);  // drops an open file description lock with the last reference
}

namespace {

struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

int SetLock(int fd, short type) {
  struct flock lock = WholeFile(type);
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// The type of the lock that stands in the way of a write lock (F_UNLCK
// when none does); -1 when the kernel cannot say.
int BlockingLockType(int fd) {
  struct flock lock = WholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return -1;
  return lock.l_type;
}

}  // namespace

bool NamedMutex::ReplaceBlockedFile() {
  std::string temp = path_ + ".XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) return false;
  // Held before the file can be seen under the mutex's name, so no reader
  // can ever put a read lock on it first.
  if (SetLock(fd, F_WRLCK) != 0 || fchmod(fd, kPublicLockFileMode) != 0 || rename(temp.c_str(), path_.c_str()) != 0) {
    unlink(temp.c_str());
    close(fd);
    return false;
  }
  close(fd_);
  fd_ = fd;
  owned_ = true;
  return true;
}

bool NamedMutex::TryAcquire() {
  if (owned_) return true;
  if (access_ == LockFileAccess::kReadableByAll) {
    if (SetLock(fd_, F_WRLCK) == 0) {
      owned_ = true;
      return true;
    }
    // Only the service's user can open the file for writing, so only a
    // holder of the mutex has a write lock; a read lock is somebody in the way.
    return BlockingLockType(fd_) == F_RDLCK && ReplaceBlockedFile();
  }
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      owned_ = true;
      return true;
    }
    if (errno != EINTR) return false;
  }
}

bool NamedMutexIsHeld(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = BlockingLockType(fd) == F_WRLCK;
  close(fd);
  return held;
}

}  // namespace zev
