#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_modes.h"
#include "platform/paths.h"

std::string NamedMutexFileName(const std::string& name) {
  std::string file = name;
  for (char& c : file) {
    if (c == '\\' || c == '/') c = '_';
  }
  if (file == "." || file == "..") file = "_" + file;
  return file;
}

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, bool* already_exists) {
  return CreateIn(GetRuntimeDir(), name, already_exists);
}

std::unique_ptr<NamedMutex> NamedMutex::CreateIn(const std::string& dir, const std::string& name,
                                                 bool* already_exists) {
  if (already_exists) *already_exists = false;
  if (name.empty() || dir.empty() || !CreateDirectoryWithMode(dir, kRuntimeDirMode)) return nullptr;
  std::string path = JoinPath(dir, NamedMutexFileName(name));
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);  // someone else's file: flock needs no write
  if (fd < 0) return nullptr;
  // A file that earlier versions left 0666 is narrowed as well; another
  // owner's file is left as it is.
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) != kPrivateFileMode) {
    fchmod(fd, kPrivateFileMode);
  }
  std::unique_ptr<NamedMutex> mutex(new NamedMutex(fd, path));
  if (!mutex->TryAcquire() && already_exists) *already_exists = true;
  return mutex;
}

NamedMutex::~NamedMutex() {
  if (owned_) flock(fd_, LOCK_UN);
  close(fd_);
}

bool NamedMutex::TryAcquire() {
  if (owned_) return true;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      owned_ = true;
      return true;
    }
    if (errno != EINTR) return false;
  }
}
