#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace zev {

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

int PidfdSendSignal(int pidfd, int sig) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string ExeBaseName(pid_t pid) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(pid));
  char buf[PATH_MAX];
  ssize_t n = readlink(link, buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  std::string path(buf, static_cast<size_t>(n));
  static const char kDeleted[] = " (deleted)";
  if (path.size() > sizeof(kDeleted) - 1 &&
      path.compare(path.size() - (sizeof(kDeleted) - 1), std::string::npos, kDeleted) == 0) {
    path.resize(path.size() - (sizeof(kDeleted) - 1));
  }
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::vector<std::string> SplitCommandLine(const std::string& text) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  if (i >= n) return args;

  // The program name: no backslash rules, quotes only delimit.
  std::string program;
  if (text[i] == '"') {
    ++i;
    while (i < n && text[i] != '"') program.push_back(text[i++]);
    if (i < n) ++i;
  } else {
    while (i < n && !IsBlank(text[i])) program.push_back(text[i++]);
  }
  args.push_back(program);

  for (;;) {
    while (i < n && IsBlank(text[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = text[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && text[i] == '\\') ++slashes, ++i;
        if (i < n && text[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && text[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      arg.push_back(c);
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

ProcessHandle::ProcessHandle(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

ProcessHandle::~ProcessHandle() {
  // A child that already ended is reaped here so that it does not linger as
  // a zombie; one still running is left alone.
  if (!reaped_) Reap(false);
  if (pidfd_ >= 0) close(pidfd_);
}

bool ProcessHandle::Reap(bool block) {
  if (reaped_) return true;
  siginfo_t info;
  memset(&info, 0, sizeof(info));
  for (;;) {
    int rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info,
                    WEXITED | (block ? 0 : WNOHANG));
    if (rc == 0) break;
    if (errno == EINTR) continue;
    return false;
  }
  if (info.si_pid == 0) return false;  // still running
  reaped_ = true;
  if (info.si_code == CLD_EXITED) {
    exit_code_ = info.si_status;
  } else {
    exit_code_ = 128 + info.si_status;
  }
  return true;
}

bool ProcessHandle::Wait(int timeout_ms) {
  if (reaped_) return true;
  struct pollfd p = {pidfd_, POLLIN, 0};
  int n = PollUntil(&p, 1, DeadlineAfter(timeout_ms));
  return n > 0 && Reap(true);
}

int ProcessHandle::ExitCode() {
  Reap(false);
  return exit_code_;
}

bool ProcessHandle::Terminate() {
  if (reaped_) return true;
  if (PidfdSendSignal(pidfd_, SIGKILL) == 0) return true;
  return errno == ESRCH;
}

std::unique_ptr<ProcessHandle> StartProcessArgv(const std::vector<std::string>& argv,
                                                const StartOptions& options, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return nullptr;
  };
  if (argv.empty() || argv[0].empty()) return fail("empty command line");

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdin_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.stdin_fd, 0);
  } else if (options.null_stdin) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (options.stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, options.stdout_fd, 1);
  if (options.stderr_fd >= 0) posix_spawn_file_actions_adddup2(&actions, options.stderr_fd, 2);
  if (!options.working_dir.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_dir.c_str());
  }
  // Nothing else crosses: a child that outlives us must not keep our
  // listening sockets, the log or any other descriptor open.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty, all;
  sigemptyset(&empty);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // The service manager's notify socket is ours alone: a child that wrote
  // to it would speak for the service.
  auto changed = [&options](const char* entry) {
    for (const std::string& change : options.environment) {
      const size_t name = change.find('=') == std::string::npos ? change.size() : change.find('=');
      if (strncmp(entry, change.c_str(), name) == 0 && entry[name] == '=') return true;
    }
    return false;
  };
  std::vector<char*> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!options.pass_notify_socket && strncmp(*e, "NOTIFY_SOCKET=", 14) == 0) continue;
    if (!changed(*e)) env.push_back(*e);
  }
  for (const std::string& change : options.environment) {
    if (change.find('=') != std::string::npos) env.push_back(const_cast<char*>(change.c_str()));
  }
  env.push_back(nullptr);

  pid_t pid = -1;
  int rc = argv[0].find('/') != std::string::npos
               ? posix_spawn(&pid, args[0], &actions, &attr, args.data(), env.data())
               : posix_spawnp(&pid, args[0], &actions, &attr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return fail(std::string("cannot start ") + argv[0] + ": " + strerror(rc));

  // Our unreaped child cannot be replaced by another process of the same id,
  // so the pidfd is sure to refer to it.
  int fd = PidfdOpen(pid);
  if (fd < 0) {
    int saved = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return fail(std::string("pidfd_open failed: ") + strerror(saved));
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  return std::make_unique<ProcessHandle>(pid, fd);
}

std::unique_ptr<ProcessHandle> StartProcess(const std::string& command_line,
                                            const StartOptions& options, std::string* error) {
  return StartProcessArgv(SplitCommandLine(command_line), options, error);
}

bool TerminateProcessById(pid_t pid) { return pid > 0 && kill(pid, SIGKILL) == 0; }

std::vector<pid_t> FindProcessesByName(const std::string& name) {
  std::vector<pid_t> found;
  if (name.empty()) return found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  const pid_t self = getpid();
  while (struct dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) continue;
    if (ExeBaseName(static_cast<pid_t>(pid)) == name) found.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return found;
}

bool TerminateProcessesByName(const std::string& name) {
  bool ok = true;
  for (pid_t pid : FindProcessesByName(name)) {
    if (kill(pid, SIGKILL) != 0 && errno != ESRCH) ok = false;
  }
  return ok;
}

uint64_t RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace zev
