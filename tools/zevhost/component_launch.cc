#include "tools/zevhost/component_launch.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "model/component_proxy.h"
#include "platform/file_modes.h"
#include "platform/paths.h"

extern char** environ;

namespace zev {

namespace {

CZEVArchType OwnArchitecture() {
#if defined(__x86_64__)
  return atx64;
#elif defined(__i386__)
  return atx86;
#elif defined(__aarch64__) || defined(__arm__)
  return atARMv7;
#elif defined(__mips__)
  return atMips64el;
#elif defined(__loongarch__)
  return atLoongarch;
#else
  return atNone;
#endif
}

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  free(resolved);
  return result;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits a "#!" line the way the kernel does: the interpreter, then the rest
// of the line (blanks trimmed) as at most one argument.
bool ParseShebang(const std::string& line, std::string* interpreter, std::string* argument) {
  if (line.compare(0, 2, "#!") != 0) return false;
  size_t i = 2;
  while (i < line.size() && IsBlank(line[i])) ++i;
  size_t start = i;
  while (i < line.size() && !IsBlank(line[i])) ++i;
  *interpreter = line.substr(start, i - start);
  while (i < line.size() && IsBlank(line[i])) ++i;
  size_t end = line.size();
  while (end > i && IsBlank(line[end - 1])) --end;
  *argument = line.substr(i, end - i);
  return !interpreter->empty();
}

// Closes every descriptor from 3 up except `keep`.
void CloseFrom3Except(int keep) {
#ifdef SYS_close_range
  if ((keep <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0) &&
      syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0) {
    return;
  }
#endif
  struct rlimit limit;
  int max_fd = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                   ? static_cast<int>(limit.rlim_cur)
                   : 65536;
  for (int fd = 3; fd < max_fd; ++fd) {
    if (fd != keep) close(fd);
  }
}

// What the child reports on its status pipe when it cannot exec.
struct ChildFailure {
  int stage;  // 0 chdir, 1 /dev/null, 2 exec, 3 parent gone, 4 user, 5 no_new_privs
  int error;
};

// The credentials calls as bare system calls: glibc's wrappers would tell
// every thread of the process, which after fork means walking state the
// child may not touch; the child has one thread, so the call alone is right.
#if defined(SYS_setgroups32)
constexpr long kSysSetgroups = SYS_setgroups32, kSysSetgid = SYS_setgid32, kSysSetuid = SYS_setuid32;
#else
constexpr long kSysSetgroups = SYS_setgroups, kSysSetgid = SYS_setgid, kSysSetuid = SYS_setuid;
#endif

// What RunChild needs of plan.user, made before the fork.
struct ChildUser {
  bool set;
  uid_t uid;
  gid_t gid;
  size_t group_count;
  const gid_t* groups;
};

[[noreturn]] void FailChild(int status_fd, int stage) {
  ChildFailure failure{stage, errno};
  ssize_t n = write(status_fd, &failure, sizeof(failure));
  (void)n;
  _exit(127);
}

// Runs in the forked child: only async-signal-safe calls from here on.
// `status_fd` is close-on-exec: a successful exec closes it unseen, and any
// failure is written to it before the child exits.
[[noreturn]] void RunChild(pid_t parent, int status_fd, const char* dir, char* const argv[], char* const envp[],
                          const ChildUser& user) {
  auto fail = [status_fd](int stage) { FailChild(status_fd, stage); };
  // A session of its own, not only a process group: a process may join only
  // a group of its own session, so nothing another component starts can
  // join this one's group and pass for it.
  setsid();
  // Before the parent-death signal is set: a change of credentials clears it.
  if (user.set && (syscall(kSysSetgroups, user.group_count, user.groups) != 0 ||
                   syscall(kSysSetgid, user.gid) != 0 || syscall(kSysSetuid, user.uid) != 0)) {
    fail(4);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The whole parent process may have died between fork and prctl; the
  // signal would then never come. (The forking thread cannot have exited
  // yet: it waits on the status pipe until the exec.)
  if (getppid() != parent) fail(3);
  // Nothing the component execs (a set-user-ID file) gives it more than the
  // user has.
  if (user.set && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail(5);
  struct sigaction dfl;
  memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
  if (chdir(dir) != 0) fail(0);
  // A component of another user does not get root's output streams (under
  // systemd the service's journal stream, where its lines would pass for the
  // service's own): all three of its standard streams are /dev/null.
  int null_fd = open("/dev/null", user.set ? O_RDWR : O_RDONLY);
  if (null_fd < 0) fail(1);
  for (int target = 0; target <= (user.set ? 2 : 0); ++target) {
    if (null_fd != target && dup2(null_fd, target) != target) fail(1);
  }
  if (null_fd > 2) close(null_fd);
  CloseFrom3Except(status_fd);
  execve(argv[0], argv, envp);
  FailChild(status_fd, 2);
}

std::vector<char*> CStrings(const std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (const std::string& t : texts) out.push_back(const_cast<char*>(t.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::vector<CZEVArchType> ArchitectureOrder() {
  const CZEVArchType own = OwnArchitecture();
  std::vector<CZEVArchType> order;
  if (own != atNone) order.push_back(own);
  for (int a = atx86; a <= atLoongarch; ++a) {
    if (a != own) order.push_back(static_cast<CZEVArchType>(a));
  }
  return order;
}

std::string InstallRootFor(const CZEVComponentContext& context, const std::string& common_dir) {
  std::string root = context.manifest().downloaddir();
  root.erase(std::remove(root.begin(), root.end(), '"'), root.end());
  return root.empty() ? common_dir + "/Varnel/ZEV/download" : root;
}

std::string InstallDirFor(const CZEVComponentContext& context, CZEVArchType arch, const std::string& common_dir) {
  CZEVComponentProxy proxy;
  proxy.SetInstallRoot(InstallRootFor(context, common_dir));
  proxy.SetAppCode(context.appcode());
  proxy.SetComponentID(context.componentid());
  CZEVVersion* version = proxy.mutable_component()->mutable_versions()->add_version();
  version->set_version(context.version());
  version->set_archtype(arch);
  return proxy.GetInstallDir();
}

bool FindInstallDir(const CZEVComponentContext& context, const std::string& common_dir, std::string* dir,
                    std::string* why) {
  std::string first;
  for (CZEVArchType arch : ArchitectureOrder()) {
    std::string candidate = InstallDirFor(context, arch, common_dir);
    if (DirectoryExists(candidate)) {
      *dir = candidate;
      return true;
    }
    if (first.empty()) first = candidate;
  }
  *why = "no install folder (looked for " + first + " and the other architectures)";
  return false;
}

bool ResolveEntryPoint(const std::string& install_dir, const std::string& entry_point, std::string* path,
                       std::string* why) {
  std::string relative = entry_point;
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  if (relative.empty()) {
    *why = "empty entry point";
    return false;
  }
  if (relative.find('\0') != std::string::npos) {
    *why = "entry point holds a NUL";
    return false;
  }
  if (relative.front() == '/') {
    *why = "absolute entry point '" + relative + "'";
    return false;
  }
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    if (relative.compare(start, end - start, "..") == 0 && end - start == 2) {
      *why = "entry point '" + relative + "' climbs with ..";
      return false;
    }
    start = end + 1;
  }
  const std::string root = RealPath(install_dir);
  if (root.empty()) {
    *why = "install folder " + install_dir + " cannot be resolved";
    return false;
  }
  const std::string resolved = RealPath(install_dir + "/" + relative);
  if (resolved.empty()) {
    *why = "entry point " + install_dir + "/" + relative + " does not exist";
    return false;
  }
  if (resolved.size() <= root.size() + 1 || resolved.compare(0, root.size(), root) != 0 ||
      (root != "/" && resolved[root.size()] != '/')) {
    *why = "entry point '" + relative + "' leads outside the install folder";
    return false;
  }
  struct stat st;
  if (stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "entry point " + resolved + " is not a regular file";
    return false;
  }
  // Checked at every start, not only at install: a folder handed to another
  // user since then would let that user choose what runs here.
  std::string unsafe;
  if (!IsTrustedFile(resolved, &unsafe)) {
    *why = "entry point " + resolved + " is not safe to run: " + unsafe;
    return false;
  }
  *path = resolved;
  return true;
}

bool BuildComponentArgv(const std::string& path, std::vector<std::string>* argv, std::string* why) {
  if (access(path.c_str(), X_OK) == 0) {
    *argv = {path};
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) {
    *why = path + " is neither executable nor readable";
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string interpreter, argument;
  if (!ParseShebang(line, &interpreter, &argument)) {
    *why = path + " is not executable and has no #! line";
    return false;
  }
  argv->clear();
  argv->push_back(interpreter);
  if (!argument.empty()) argv->push_back(argument);
  argv->push_back(path);
  return true;
}

bool LookUpRunAsUser(const std::string& name, RunAsUser* user, std::string* why) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  int error;
  while ((error = getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || name.empty() || name.find('\0') != std::string::npos) {
    *why = "no user '" + name + "' to run as" + (error != 0 ? std::string(" (") + strerror(error) + ")" : "");
    return false;
  }
  user->name = name;
  user->home = pw.pw_dir != nullptr ? pw.pw_dir : "/";
  user->uid = pw.pw_uid;
  user->gid = pw.pw_gid;
  int count = 32;
  user->groups.assign(static_cast<size_t>(count), 0);
  while (getgrouplist(name.c_str(), pw.pw_gid, user->groups.data(), &count) < 0) {
    user->groups.assign(static_cast<size_t>(count) * 2, 0);
    count *= 2;
  }
  user->groups.resize(static_cast<size_t>(count));
  return true;
}

bool IsRootOnlyUpTo(const std::string& start, const std::string& root, std::string* why) {
  const std::string real_root = RealPath(root);
  std::string path = RealPath(start);
  if (real_root.empty() || path.empty() ||
      (path != real_root && path.compare(0, real_root.size() + 1, real_root + "/") != 0)) {
    *why = start + " cannot be resolved within " + root;
    return false;
  }
  for (;;) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      *why = path + " must belong to root and be writable by root alone";
      return false;
    }
    if (path.size() <= real_root.size()) return true;
    path.erase(std::max<size_t>(path.rfind('/'), 1));
  }
}

bool PrepareDataFolder(const std::string& common_dir, const CZEVComponentContext& context, const RunAsUser& user,
                       std::string* path, std::string* why) {
  const std::vector<std::string> levels = {"Varnel", "ZEV", "data", context.appcode(), context.componentid()};
  int fd = open(common_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string at = common_dir;
  for (size_t i = 0; fd >= 0 && i < levels.size(); ++i) {
    const bool own = i + 1 == levels.size();
    at += "/" + levels[i];
    const bool made = mkdirat(fd, levels[i].c_str(), own ? 0700 : 0755) == 0;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int next = made || errno == EEXIST ? openat(fd, levels[i].c_str(), flags) : -1;
    close(fd);
    fd = next;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) break;
    if (!own && made && fchmod(fd, 0755) != 0) break;  // past the umask: the user passes through
    if (!own && (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
      *why = "data folder " + at + " must belong to root and be writable by root alone";
      close(fd);
      return false;
    }
    // Private first: the folder is nobody's but root's until it is the user's.
    if (own && (fchmod(fd, 0700) != 0 || fchown(fd, user.uid, user.gid) != 0)) break;
    if (own) {
      close(fd);
      *path = at;
      return true;
    }
  }
  *why = "cannot make the data folder " + at + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  return false;
}

std::vector<std::string> ComponentEnvironment(const CZEVComponentContext& context, const std::string& install_dir,
                                              const std::string& process_group, const std::string& common_dir,
                                              const RunAsUser* user, const std::string& data_dir) {
  const CZEVExecParams& params = context.manifest().params();
  std::vector<std::pair<std::string, std::string>> ours = {
      {"ZEV_APP_CODE", context.appcode()},
      {"ZEV_COMPONENT_ID", context.componentid()},
      {"ZEV_COMPONENT_VERSION", context.version()},
      {"ZEV_COMPONENT_DIR", install_dir},
      {"ZEV_PROCESS_GROUP", process_group},
      {"ZEV_EXTEND_PARAMS", params.extendparams()},
      {"ZEV_PORT_RANGE", params.portrange()},
      {"ZEV_COMMON_APPDATA", common_dir},
  };
  if (user != nullptr) {
    ours.insert(ours.end(), {{"ZEV_COMPONENT_DATA", data_dir},
                             {"HOME", user->home},
                             {"USER", user->name},
                             {"LOGNAME", user->name}});
  }
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    // The instance token marks the service's hosts, not their components.
    bool replaced = entry.compare(0, 16, "ZEV_INSTANCE_ID=") == 0;
    for (const auto& kv : ours) {
      if (entry.compare(0, kv.first.size() + 1, kv.first + "=") == 0) replaced = true;
    }
    if (!replaced) env.push_back(std::move(entry));
  }
  for (const auto& kv : ours) {
    std::string value = kv.second;
    // A NUL would cut the entry short in the child's environment.
    value.erase(std::remove(value.begin(), value.end(), '\0'), value.end());
    env.push_back(kv.first + "=" + value);
  }
  return env;
}

bool SpawnComponent(const LaunchPlan& plan, pid_t* pid, int* pidfd, std::string* why) {
  if (plan.argv.empty()) {
    *why = "nothing to run";
    return false;
  }
  // Everything the child touches is made before fork: after it only
  // async-signal-safe calls are allowed in a threaded process.
  std::vector<char*> argv = CStrings(plan.argv);
  std::vector<char*> envp = CStrings(plan.env);
  const ChildUser user{plan.user.has_value(), plan.user ? plan.user->uid : 0, plan.user ? plan.user->gid : 0,
                       plan.user ? plan.user->groups.size() : 0, plan.user ? plan.user->groups.data() : nullptr};
  int status[2];
  if (pipe2(status, O_CLOEXEC) != 0) {
    *why = std::string("pipe failed: ") + strerror(errno);
    return false;
  }
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    *why = std::string("fork failed: ") + strerror(errno);
    close(status[0]);
    close(status[1]);
    return false;
  }
  if (child == 0) RunChild(parent, status[1], plan.working_dir.c_str(), argv.data(), envp.data(), user);
  close(status[1]);
  // The child makes its session (and so its group) before it execs, and the
  // read below waits for the exec: the group exists before any signal is
  // sent to it.
  ChildFailure failure{};
  ssize_t got;
  do {
    got = read(status[0], &failure, sizeof(failure));
  } while (got < 0 && errno == EINTR);
  close(status[0]);
  if (got > 0) {
    const std::string stage = failure.stage == 0   ? "cannot enter " + plan.working_dir
                              : failure.stage == 1 ? std::string("cannot open /dev/null")
                              : failure.stage == 2 ? "cannot exec " + plan.argv[0]
                              : failure.stage == 4 ? "cannot become user " + plan.user->name
                              : failure.stage == 5 ? std::string("cannot set no_new_privs")
                                                   : std::string("parent gone");
    *why = stage + ": " + strerror(failure.error);
    waitpid(child, nullptr, 0);
    return false;
  }
  int fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (fd < 0) {
    *why = std::string("pidfd_open failed: ") + strerror(errno);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
  }
  *pid = child;
  *pidfd = fd;
  return true;
}

}  // namespace zev
