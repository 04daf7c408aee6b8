// A real second local user for attack tests: added with useradd when the
// test starts, removed with userdel when it ends. Only root can do either;
// elsewhere ok() is false and reason() says why, for GTEST_SKIP.
#ifndef ZEV_TESTING_SCOPED_USER_H_
#define ZEV_TESTING_SCOPED_USER_H_

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace zev {

class ScopedUser {
 public:
  ScopedUser() {
    if (geteuid() != 0) {
      reason_ = "attack tests with a second user need root";
      return;
    }
    static std::atomic<int> serial{0};
    name_ = "zevt" + std::to_string(getpid()) + "x" + std::to_string(serial++);
    // Test programs run side by side, and useradd gives up when another one
    // holds the lock on /etc/passwd.
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (System("useradd --system --no-create-home --shell /usr/sbin/nologin " + name_) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    struct passwd* pw = getpwnam(name_.c_str());
    if (pw == nullptr) {
      reason_ = "useradd " + name_ + " failed";
      name_.clear();
      return;
    }
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
  }
  ~ScopedUser() {
    if (name_.empty()) return;
    System("pkill -KILL -u " + name_ + " >/dev/null 2>&1");
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (System("userdel " + name_ + " >/dev/null 2>&1") == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ScopedUser(const ScopedUser&) = delete;
  ScopedUser& operator=(const ScopedUser&) = delete;

  bool ok() const { return uid_ != 0; }
  const std::string& reason() const { return reason_; }
  const std::string& name() const { return name_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

  // Runs `command` with /bin/sh as this user; its exit status, or -1 when
  // it did not end normally.
  int Run(const std::string& command) const {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      if (BecomeUser() != 0) _exit(126);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return Wait(pid);
  }

  // Runs `fn` in a forked child as this user; the child's exit status is
  // what fn returns (-1 when it did not end normally). The child of a
  // threaded program may use only what is safe after fork: system calls,
  // no allocation and no locks.
  template <typename Fn>
  int RunAs(Fn fn) const {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      if (BecomeUser() != 0) _exit(126);
      _exit(fn());
    }
    return Wait(pid);
  }

 private:
  static int System(const std::string& command) {
    int status = ::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int BecomeUser() const {
    if (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0) return -1;
    return 0;
  }

  std::string name_;
  std::string reason_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

}  // namespace zev

#endif  // ZEV_TESTING_SCOPED_USER_H_
