// Modes of the files and folders that belong to the service's user.
//
// On Linux whoever can open a lock file can hold its lock, and whoever can
// read the log can read what callers sent; so the service's lock files and
// logs are for its own user alone, and the folders that hold them are
// writable by that user only.
#ifndef ZEV_PLATFORM_FILE_MODES_H_
#define ZEV_PLATFORM_FILE_MODES_H_

#include <sys/types.h>

#include <string>

namespace zev {

// Lock files and log files: read and write for the owner only.
constexpr mode_t kPrivateFileMode = 0600;
// Lock files whose state every user may test (the port mutex).
constexpr mode_t kPublicLockFileMode = 0644;
// The log folder: the owner only.
constexpr mode_t kPrivateDirMode = 0700;
// The runtime folder: only the owner may write or list it; others may still
// reach the sockets in it by their names (the pipe socket is for every
// local user).
constexpr mode_t kRuntimeDirMode = 0711;

// Creates `path` and every missing parent. Parents get the usual 0755 (less
// the umask); the last folder, when this call creates it, gets exactly
// `mode`, whatever the umask. A folder that already exists keeps its mode.
// True when `path` is a folder at the end; false otherwise, with errno
// saying why (ENOTDIR when a part of the path is a file). Empty path: false
// with ENOENT.
bool CreateDirectoryWithMode(const std::string& path, mode_t mode);

// Whether root may act on what lies below `path` without another user being
// able to swap it: `path` is a folder, and it and every folder the kernel
// passes through to reach it (the targets of links included) belong to root
// or to this process's user, and no other user can write them; so does
// every link on the way. A folder writable by its group counts only when
// that group is root's. A folder writable by all counts only above the last
// part, when it is root's and has the sticky bit (/tmp): there nobody else
// may rename or remove what we made in it. The rule OpenSSH applies to its
// key files. False with *why (when given) naming the first part that fails
// and why.
bool IsTrustedFolder(const std::string& path, std::string* why = nullptr);

// The same for a folder that is only to hold a new folder that root makes
// and then checks with IsTrustedFolder: root's sticky /tmp qualifies too.
bool IsTrustedToCreateIn(const std::string& path, std::string* why = nullptr);

// The same rule for a file: it is a regular file (not reached through a
// link at its last part), belongs to root or this process's user, nobody
// else can write it, and its folder passes IsTrustedFolder.
bool IsTrustedFile(const std::string& path, std::string* why = nullptr);

}  // namespace zev

#endif  // ZEV_PLATFORM_FILE_MODES_H_
