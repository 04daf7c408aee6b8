// Change notifications for a directory and, optionally, its whole subtree,
// on inotify: one kernel watch per directory, with watches added for
// directories that appear. The descriptor can be polled beside events and
// process handles; ReadChanges takes what is pending without blocking.
//
// One owner thread uses an object at a time.
#ifndef ZEV_PLATFORM_DIR_WATCH_H_
#define ZEV_PLATFORM_DIR_WATCH_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/wait.h"

namespace zev {

// The platform actions of a change.
enum DirAction {
  kDirAdded = 1,
  kDirRemoved = 2,
  kDirModified = 3,
  kDirRenamedOld = 4,  // the old name of a move; the new name follows with the same cookie
  kDirRenamedNew = 5,
};

struct DirChange {
  int action = 0;
  std::string path;     // relative to the root, "/" separated
  uint32_t cookie = 0;  // pairs the two halves of a move
};

class DirectoryWatch : public Waitable {
 public:
  // Watches `root` (and every directory below it with `subtree`). Null, with
  // the reason in *error, when the root cannot be watched.
  static std::unique_ptr<DirectoryWatch> Open(const std::string& root, bool subtree, std::string* error);
  ~DirectoryWatch() override;
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Appends the changes that are pending, in the order they happened; false
  // when reading failed. Files already inside a directory that appeared
  // before its watch was in place are reported as added.
  bool ReadChanges(std::vector<DirChange>* changes);

  const std::string& root() const { return root_; }
  int WaitFd() const override { return fd_; }
  bool TryAcquire() override { return true; }

 private:
  DirectoryWatch(int fd, std::string root, bool subtree) : fd_(fd), root_(std::move(root)), subtree_(subtree) {}
  bool AddWatch(const std::string& relative, std::vector<DirChange>* found);

  const int fd_;
  const std::string root_;
  const bool subtree_;
  std::map<int, std::string> dirs_;  // watch descriptor -> directory relative to the root ("" for the root)
};

}  // namespace zev

#endif  // ZEV_PLATFORM_DIR_WATCH_H_
