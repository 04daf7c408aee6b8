#include "host/install.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/clock.h"
#include "base/log.h"
#include "host/service.h"
#include "host/systemd_unit.h"
#include "platform/instance_processes.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace zev {

namespace {

// The install log opens once per process, on the first step of either
// operation; without a usable data directory the steps reach standard error
// alone.
void OpenInstallLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string dir = CZEVServiceBase::DataDirectory();
    if (!dir.empty() && LogInit(dir, "zevsvc")) LogWrite(kLogInfo, "###########################################");
  });
}

void Report(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Report(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  DebugPrintAt(level >= 3 ? kJournalError : level == 2 ? kJournalWarning : kJournalInfo, "%s", text);
  LogWrite(level, "%s", text);
}

// errno of the last failed call, never 0 (some paths fail without setting it).
int LastError() { return errno != 0 ? errno : EIO; }

// Creates `path` and its missing parents. False with errno telling why
// (ENOTDIR when a part of it is a file).
bool MakeFolders(const std::string& path) {
  size_t pos = 0;
  do {
    pos = path.find('/', pos + 1);
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    struct stat st;
    if (stat(part.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
  } while (pos != std::string::npos);
  return true;
}

// Why `program` could not be started, as an errno: the result of the same
// PATH lookup that the start made.
int WhyNotStarted(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return access(program.c_str(), X_OK) == 0 ? ENOEXEC : LastError();
  }
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  int why = ENOENT;
  size_t begin = 0;
  while (begin <= dirs.size()) {
    size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > begin ? dirs.substr(begin, end - begin) : ".";
    if (access(JoinPath(dir, program).c_str(), X_OK) == 0) return ENOEXEC;
    if (errno == EACCES) why = EACCES;
    begin = end + 1;
  }
  return why;
}

}  // namespace

InstallOptions InstallOptions::FromEnvironment() {
  InstallOptions options;
  const char* systemctl = getenv("ZEV_SYSTEMCTL");
  if (systemctl != nullptr && *systemctl != '\0') options.systemctl = systemctl;
  const char* unit_dir = getenv("ZEV_SYSTEMD_UNIT_DIR");
  if (unit_dir != nullptr && *unit_dir != '\0') options.unit_dir = unit_dir;
  const char* package_unit_dir = getenv("ZEV_PACKAGE_UNIT_DIR");
  if (package_unit_dir != nullptr && *package_unit_dir != '\0') options.package_unit_dir = package_unit_dir;
  return options;
}

ServiceInstaller::ServiceInstaller(InstallOptions options)
    : options_(std::move(options)), clock_(options_.clock != nullptr ? options_.clock : Clock::Real()) {}

std::string ServiceInstaller::UnitPath() const { return JoinPath(options_.unit_dir, kServiceUnitName); }

std::string ServiceInstaller::WantsLinkPath() const {
  return JoinPath(JoinPath(options_.unit_dir, "multi-user.target.wants"), kServiceUnitName);
}

std::string ServiceInstaller::PackageUnitPath() const {
  return JoinPath(options_.package_unit_dir, kServiceUnitName);
}

bool ServiceInstaller::Install() {
  OpenInstallLog();
  Report(1, "Zevsvc installing...!");
  if (PackageUnitInstalled()) {
    Report(3, "The zev-service package has installed %s; a unit written into %s would override it and outlive "
           "the package. Use the package's service (systemctl enable --now %s), or remove the package first.",
           PackageUnitPath().c_str(), options_.unit_dir.c_str(), kServiceUnitName);
    return false;
  }
  Report(1, "Try to uinstall zevsvc...");
  Remove();
  TerminateServiceProcess();
  Sleep(options_.settle_ms);

  errno = 0;
  const std::string module = options_.program.empty() ? GetModulePath() : options_.program;
  if (module.empty()) {
    Report(3, "failed to get the path of current module, errno = %d.", LastError());
    return false;
  }
  std::string program = module;
  char resolved[PATH_MAX];
  if (realpath(module.c_str(), resolved) == nullptr) {
    Report(3, "GetLongPathName failed, errno = %d.", LastError());
  } else {
    program = resolved;
  }
  std::string unit;
  std::string why;
  if (!RenderServiceUnit(program, &unit, &why)) {
    Report(3, "The service cannot be installed from here: %s.", why.c_str());
    return false;
  }

  errno = 0;
  if (!MakeFolders(options_.unit_dir)) {
    const int error = LastError();
    Report(3, "OpenSCManager failed, errno = %d.", error);
    Report(3, "Cannot create the unit folder %s: %s.", options_.unit_dir.c_str(), strerror(error));
    return false;
  }
  int code = 0;
  std::string where;
  if (!WriteUnitAndLink(unit, &code, &where)) {
    Report(3, "CreateService failed, errno = %d.", code);
    Report(3, "Cannot write %s: %s.", where.c_str(), strerror(code));
    return false;
  }
  if (!ReloadIfSystemdRuns(&code)) {
    Report(3, "CreateService failed, errno = %d.", code);
    Report(3, "The unit is written, but \"%s daemon-reload\" failed; systemd loads it at the next reload.",
           options_.systemctl.c_str());
    return false;
  }
  Report(1, "Service installed successfully!");
  // The description is a line of the unit written above.
  Report(1, "Service description updated successfully!");
  return true;
}

bool ServiceInstaller::WriteUnitAndLink(const std::string& unit, int* code, std::string* where) {
  const std::string unit_path = UnitPath();
  errno = 0;
  if (!WriteFileAtomically(unit_path, unit)) {
    *code = LastError();
    *where = unit_path;
    return false;
  }
  // The link is made under a temporary name and renamed over an earlier
  // one, so that installing again replaces it instead of failing on it.
  const std::string link = WantsLinkPath();
  const std::string temp = link + ".tmp" + std::to_string(getpid());
  errno = 0;
  bool ok = MakeFolders(JoinPath(options_.unit_dir, "multi-user.target.wants"));
  if (ok) {
    unlink(temp.c_str());
    ok = symlink(unit_path.c_str(), temp.c_str()) == 0 && rename(temp.c_str(), link.c_str()) == 0;
  }
  if (!ok) {
    *code = LastError();
    *where = link;
    // A unit without its link would not start at boot and would pass for
    // installed: take it away again.
    unlink(temp.c_str());
    unlink(unit_path.c_str());
    return false;
  }
  return true;
}

bool ServiceInstaller::Remove() {
  OpenInstallLog();
  Report(1, "Zevsvc uninstalling...!");
  if (PackageUnitInstalled() && !OpenService()) {
    // The running service is the package's: neither stop nor kill it.
    Report(3, "%s belongs to the zev-service package; remove the package to uninstall the service.",
           PackageUnitPath().c_str());
    return false;
  }
  // StopService reports how the stop ended.
  if (!StopService()) Report(3, "Failed to stop zevsvc, terminate it.");
  Sleep(options_.settle_ms);
  TerminateServiceProcess();

  Report(1, "Terminate all existing ZEVHost.exe.");
  errno = 0;
  if (!TerminateInstanceProcesses(options_.host_program)) {
    Report(3, "Failed to terminate ZEVHost.exe, errno = %d.", LastError());
  } else {
    Report(1, "Terminate ZEVHost.exe successfully.");
  }

  if (!OpenService()) {
    Report(3, "OpenService failed, errno = %d.", LastError());
    return false;
  }
  int code = 0;
  // The package's enablement link, which an earlier installation may have
  // left in place, is the package's to remove.
  if (!WantsLinkIsOurs()) {
    Report(1, "Keeping %s: it does not lead to %s.", WantsLinkPath().c_str(), UnitPath().c_str());
  } else if (unlink(WantsLinkPath().c_str()) != 0 && errno != ENOENT) {
    Report(3, "DeleteService failed, errno = %d.", LastError());
    return false;
  }
  if (unlink(UnitPath().c_str()) != 0) {
    Report(3, "DeleteService failed, errno = %d.", LastError());
    return false;
  }
  if (!ReloadIfSystemdRuns(&code)) {
    Report(3, "DeleteService failed, errno = %d.", code);
    return false;
  }
  TerminateServiceProcess();
  Report(1, "Service deleted successfully.");
  return true;
}

bool ServiceInstaller::StopService() {
  if (!OpenService()) {
    Report(3, "OpenService failed, errno = %d.", LastError());
    return false;
  }
  const int64_t start = clock_->MonotonicMillis();
  Status status;
  int code = 0;
  if (!QueryStatus(&status, &code)) {
    Report(3, "QueryServiceStatusEx111 failed, errno = %d.", code);
  } else if (IsStopped(status)) {
    Report(1, "Service is already stopped.");
  } else if (status.active_state == "deactivating") {
    WaitForPendingStop(start);
  } else {
    SendStopAndWait(start);
  }
  return true;
}

void ServiceInstaller::WaitForPendingStop(int64_t start_ms) {
  WaitUntilStopped(start_ms, true, options_.poll_ms, "Service stop timed out.");
}

void ServiceInstaller::SendStopAndWait(int64_t start_ms) {
  int code = 0;
  // --no-block: the stop is only queued; the wait below watches it.
  if (!RunSystemctl({"stop", "--no-block", kServiceUnitName}, nullptr, &code)) {
    Report(3, "ControlService failed, errno = %d.", code);
    return;
  }
  WaitUntilStopped(start_ms, false, options_.poll_ms, "Wait timed out.");
}

void ServiceInstaller::WaitUntilStopped(int64_t start_ms, bool say_pending, int64_t pause_ms,
                                        const char* timeout_text) {
  for (;;) {
    if (say_pending) Report(1, "Service stop pending...");
    Sleep(pause_ms);
    Status status;
    int code = 0;
    if (!QueryStatus(&status, &code)) {
      Report(3, "QueryServiceStatusEx failed, errno = %d.", code);
      return;
    }
    if (IsStopped(status)) {
      Report(1, "Service stopped successfully.");
      return;
    }
    if (ElapsedSince(start_ms) > options_.stop_timeout_ms) {
      Report(3, "%s", timeout_text);
      return;
    }
  }
}

bool ServiceInstaller::TerminateServiceProcess() {
  Report(1, "Terminate ZEVService.exe.");
  pid_t pid = -1;
  Status status;
  int code = 0;
  if (!QueryStatus(&status, &code)) {
    Report(3, "QueryServiceStatusEx failed, errno = %d.", code);
  } else {
    pid = status.main_pid;
  }
  if (pid == 0) {
    // MainPID=0: no process of the unit runs, nothing is left to kill.
    Report(1, "ZEVService.exe is not running.");
  } else if (pid < 0) {
    Report(3, "Failed to get the pid of ZEVService.exe.");
  } else if (kill(pid, SIGKILL) == 0) {
    Report(1, "Terminate ZEVService.exe successfully.");
  } else {
    Report(3, "Failed to terminate ZEVService.exe, errno = %d.", LastError());
  }
  return true;
}

bool ServiceInstaller::OpenService() {
  struct stat st;
  errno = 0;
  if (stat(UnitPath().c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = ENOENT;
    return false;
  }
  return true;
}

bool ServiceInstaller::PackageUnitInstalled() const {
  struct stat st;
  return stat(PackageUnitPath().c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ServiceInstaller::WantsLinkIsOurs() const {
  const std::string link = WantsLinkPath();
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof(target));
  // Missing: nothing to keep. Not a link: not the package's either.
  if (n < 0) return true;
  if (static_cast<size_t>(n) < sizeof(target) && std::string(target, static_cast<size_t>(n)) == UnitPath()) return true;
  // A relative or otherwise spelt link to the same file.
  struct stat a, b;
  return stat(link.c_str(), &a) == 0 && stat(UnitPath().c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool ServiceInstaller::QueryStatus(Status* status, int* code) {
  std::string out;
  if (!RunSystemctl({"show", kServiceUnitName, "-p", "ActiveState", "-p", "MainPID"}, &out, code)) return false;
  bool have_state = false;
  size_t begin = 0;
  while (begin < out.size()) {
    size_t end = out.find('\n', begin);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(begin, end - begin);
    begin = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "ActiveState") {
      status->active_state = value;
      have_state = !value.empty();
    } else if (key == "MainPID") {
      char* rest = nullptr;
      errno = 0;
      const long pid = strtol(value.c_str(), &rest, 10);
      status->main_pid = (errno == 0 && rest != value.c_str() && *rest == '\0' && pid > 0 && pid <= INT_MAX)
                             ? static_cast<pid_t>(pid)
                             : 0;
    }
  }
  if (!have_state) {
    *code = EBADMSG;
    return false;
  }
  return true;
}

bool ServiceInstaller::IsStopped(const Status& s) {
  return s.active_state == "inactive" || s.active_state == "failed";
}

bool ServiceInstaller::RunSystemctl(const std::vector<std::string>& args, std::string* out, int* code) {
  std::vector<std::string> argv{options_.systemctl};
  argv.insert(argv.end(), args.begin(), args.end());
  int fds[2] = {-1, -1};
  if (out != nullptr && pipe2(fds, O_CLOEXEC) != 0) {
    *code = LastError();
    return false;
  }
  StartOptions start;
  start.stdout_fd = fds[1];
  std::unique_ptr<ProcessHandle> child = StartProcessArgv(argv, start);
  if (fds[1] >= 0) close(fds[1]);
  if (child == nullptr) {
    if (fds[0] >= 0) close(fds[0]);
    *code = WhyNotStarted(options_.systemctl);
    return false;
  }
  if (out != nullptr) {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(fds[0], buf, sizeof(buf));
      if (n > 0) {
        out->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    close(fds[0]);
  }
  child->Wait(-1);
  const int exit_code = child->ExitCode();
  if (exit_code != 0) {
    *code = exit_code;
    return false;
  }
  return true;
}

bool ServiceInstaller::ReloadIfSystemdRuns(int* code) {
  if (!DirectoryExists(options_.systemd_marker)) return true;
  return RunSystemctl({"daemon-reload"}, nullptr, code);
}

void ServiceInstaller::Sleep(int64_t ms) {
  std::mutex mu;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(mu);
  clock_->WaitFor(lock, cv, ms, [] { return false; });
}

int64_t ServiceInstaller::ElapsedSince(int64_t start_ms) { return clock_->MonotonicMillis() - start_ms; }

}  // namespace zev
