#include "host/service.h"

#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <thread>
#include <vector>

#include "host/service_context.h"
#include "base/clock.h"
#include "base/log.h"
#include "platform/file_modes.h"
#include "platform/paths.h"
#include "strategy/server_strategy.h"

namespace zev {

namespace {

// Checkpoint of the pending reports; never reset while the process lives.
uint32_t checkpoint_counter = 1;

bool IsPending(uint32_t state) {
  return state == kServiceStartPending || state == kServiceStopPending || state == kServiceContinuePending ||
         state == kServicePausePending;
}

const char* StateName(uint32_t state) {
  switch (state) {
    case kServiceStopped: return "stopped";
    case kServiceStartPending: return "start pending";
    case kServiceStopPending: return "stop pending";
    case kServiceRunning: return "running";
    case kServiceContinuePending: return "continue pending";
    case kServicePausePending: return "pause pending";
    case kServicePaused: return "paused";
    default: return "unknown";
  }
}

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, sig);
  return set;
}

class SignalFd {
 public:
  SignalFd() {
    sigset_t set = ControlSignals();
    fd_ = signalfd(-1, &set, SFD_CLOEXEC);
  }
  ~SignalFd() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  // The next signal, or 0 on failure.
  int Read() {
    struct signalfd_siginfo info;
    for (;;) {
      ssize_t n = read(fd_, &info, sizeof(info));
      if (n == sizeof(info)) return static_cast<int>(info.ssi_signo);
      if (n < 0 && errno == EINTR) continue;
      return 0;
    }
  }

 private:
  int fd_ = -1;
};

// Creates the folder `path` if missing and proves that a file can be made in
// it. False with the reason in *why. A full disk does not count against the
// folder: the service still serves without writing, and retries its writes.
bool UsableFolder(const char* what, const std::string& path, mode_t mode, std::string* why) {
  if (path.empty()) {
    *why = "there is no common data folder (set ZEV_COMMON_APPDATA, or let /var/lib/zev be created)";
    return false;
  }
  if (!CreateDirectoryWithMode(path, mode)) {
    *why = std::string("the ") + what + " folder " + path + " cannot be created: " + strerror(errno);
    return false;
  }
  std::string probe = JoinPath(path, ".zevsvc-write-test.XXXXXX");
  int fd = mkstemp(&probe[0]);
  if (fd < 0) {
    if (errno == ENOSPC || errno == EDQUOT) {
      DebugPrintAt(kJournalWarning, "The %s folder %s is full: %s", what, path.c_str(), strerror(errno));
      return true;
    }
    *why = std::string("the ") + what + " folder " + path + " cannot be written: " + strerror(errno);
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

// Whether root may keep its data in `common`: the folder (made when
// missing, once the folder it goes in has passed) and every folder above it
// belong to root or to us and nobody else can write them. A folder another
// user made (/tmp/zev) would let that user plant the packages root runs.
bool TrustedCommonFolder(const std::string& common, std::string* why) {
  if (common.empty()) {
    *why = "there is no common data folder (set ZEV_COMMON_APPDATA, or let /var/lib/zev be created)";
    return false;
  }
  std::string existing = common;
  while (!DirectoryExists(existing) && existing.find('/', 1) != std::string::npos)
    existing = existing.substr(0, existing.rfind('/'));
  if (!DirectoryExists(existing)) existing = "/";
  std::string unsafe;
  // A folder still to be made may go into root's sticky /tmp: nobody else
  // can move it there once made, and it is checked itself right after.
  bool trusted = existing == common ? IsTrustedFolder(existing, &unsafe) : IsTrustedToCreateIn(existing, &unsafe);
  // A folder that cannot be made is not a matter of trust: the checks of
  // the folders below it say why.
  if (trusted && CreateDirectoryWithMode(common, 0755)) trusted = IsTrustedFolder(common, &unsafe);
  if (!trusted) *why = "the common data folder " + common + " is not safe for the service: " + unsafe;
  return trusted;
}

void Prompt() {
  fputs("Please input the num to Control the process: 0: Pause; 1: Resume; 2: Stop.\n", stdout);
  fflush(stdout);
}

// What came of a start that ran while signals were watched.
struct StartOutcome {
  bool started = false;      // Start() returned true
  bool stop = false;         // SIGTERM or SIGINT came during the start
  std::vector<int> deferred; // other control signals, in order
};

// Runs Start() on a thread of its own while this thread takes the signals.
// A stop signal asks the start to end early (RequestStop wakes its waits);
// the caller then runs Stop() as usual. Other signals wait until the start
// is over: a pending state accepts no controls.
StartOutcome StartWatchingSignals(CZEVServiceBase* service, SignalFd& signals) {
  StartOutcome outcome;
  const int done = eventfd(0, EFD_CLOEXEC);
  std::thread start_thread([service, done, &outcome] {
    outcome.started = service->Start();
    if (done >= 0) {
      uint64_t one = 1;
      while (write(done, &one, sizeof(one)) < 0 && errno == EINTR) {
      }
    }
  });
  pthread_setname_np(start_thread.native_handle(), "zev-start");
  while (done >= 0) {
    struct pollfd fds[2] = {{done, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) break;
    if (!(fds[1].revents & POLLIN)) continue;
    const int sig = signals.Read();
    if (sig == SIGTERM || sig == SIGINT) {
      if (!outcome.stop) service->RequestStop();
      outcome.stop = true;
    } else if (sig != 0) {
      outcome.deferred.push_back(sig);
    }
  }
  start_thread.join();
  if (done >= 0) close(done);
  return outcome;
}

// Acts on a control signal while the service runs; true when it stopped.
bool OnControlSignal(CZEVServiceBase* service, int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      service->Stop();
      return true;
    case SIGUSR1: service->Pause(); break;
    case SIGUSR2: service->Continue(); break;
    case SIGHUP: service->Interrogate(); break;
    default: break;
  }
  return false;
}

// The console loop of application mode: numbers from standard input, one or
// more per line; SIGINT or SIGTERM also stop. At the end of input only the
// signals are waited for, so the loop never spins.
// Acts on the numbers of one console line; true when one of them stopped
// the service.
bool ConsoleLine(CZEVServiceBase* service, const std::string& line) {
  size_t pos = 0;
  while (pos < line.size()) {
    size_t start = line.find_first_not_of(" \t\r", pos);
    if (start == std::string::npos) break;
    size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string::npos) end = line.size();
    std::string token = line.substr(start, end - start);
    pos = end;
    char* stop = nullptr;
    long value = strtol(token.c_str(), &stop, 10);
    bool number = stop != token.c_str() && *stop == '\0';
    if (number && value == 0) {
      service->Pause();
    } else if (number && value == 1) {
      service->Continue();
    } else if (number && value == 2) {
      service->Stop();
      return true;
    } else {
      fputs("unknown type!\n", stdout);
    }
    Prompt();
  }
  return false;
}

void ConsoleLoop(CZEVServiceBase* service, SignalFd& signals) {
  bool input_open = true;
  std::string pending;
  Prompt();
  for (;;) {
    struct pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int n = poll(fds, input_open ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      int sig = signals.Read();
      if (sig == SIGINT || sig == SIGTERM) {
        service->Stop();
        return;
      }
      continue;
    }
    if (!input_open || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[4096];
    ssize_t got = read(STDIN_FILENO, buf, sizeof(buf));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      input_open = false;  // end of input: wait for a signal instead
      // A last line without its line feed counts all the same.
      if (ConsoleLine(service, pending)) return;
      pending.clear();
      continue;
    }
    pending.append(buf, static_cast<size_t>(got));
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (ConsoleLine(service, line)) return;
    }
  }
}

// Application mode: the start (a stop signal meanwhile ends it early and
// stops), then the console loop.
void ApplicationLoop(CZEVServiceBase* service) {
  SignalFd signals;
  const StartOutcome outcome = StartWatchingSignals(service, signals);
  if (!outcome.started) return;
  if (outcome.stop) {
    service->Stop();
    return;
  }
  ConsoleLoop(service, signals);
}

// Service mode under systemd: the start-up runs on a service thread while the
// main thread takes the controls from signals. A stop during the start ends
// it early and stops; other controls are acted on once it is over. A start
// that fails ends the loop: nothing runs that a stop would have to end.
void ServiceLoop(CZEVServiceBase* service) {
  SignalFd signals;
  const StartOutcome outcome = StartWatchingSignals(service, signals);
  if (!outcome.started || service->exit_code() != 0) return;
  if (outcome.stop) {
    service->Stop();
    return;
  }
  for (int sig : outcome.deferred) {
    if (OnControlSignal(service, sig)) return;
  }
  // Now and then (once a minute) the status text is made again, so that
  // what no event reports (a strategy that has stopped making passes) still
  // reaches it.
  const int health_ms = static_cast<int>(std::clamp<int64_t>(service->health_check_ms(), 1, INT_MAX));
  for (;;) {
    struct pollfd fds[1] = {{signals.fd(), POLLIN, 0}};
    const int ready = poll(fds, 1, health_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      service->Interrogate();
      continue;
    }
    if (OnControlSignal(service, signals.Read())) return;
  }
}

}  // namespace

namespace {

std::string& NotifySocketPathStorage() {
  static std::string* path = new std::string();  // lives until process exit
  return *path;
}

}  // namespace

void TakeNotifySocket() {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr) return;
  NotifySocketPathStorage() = path;
  unsetenv("NOTIFY_SOCKET");
}

const std::string& NotifySocketPath() { return NotifySocketPathStorage(); }

bool SendServiceNotification(const std::string& message) {
  const std::string& path = NotifySocketPath();
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path) || (path[0] != '/' && path[0] != '@')) return false;
  memcpy(address.sun_path, path.data(), path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
  const socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                           reinterpret_cast<const struct sockaddr*>(&address), length) ==
                    static_cast<ssize_t>(message.size());
  close(fd);
  return sent;
}

void SystemdStatusSink::Report(const ServiceStatus& status) {
  std::string message;
  if (status.state == kServiceRunning) message += "READY=1\n";
  if (status.state == kServiceStopPending) message += "STOPPING=1\n";
  message += std::string("STATUS=") + StateName(status.state);
  if (!status.detail.empty()) {
    std::string detail = status.detail;
    for (char& c : detail) {
      if (c == '\n') c = ' ';  // a line feed would end the STATUS= field
    }
    message += "; " + detail;
  }
  SendServiceNotification(message);
}

bool PauseBeforeStart(int64_t ms) {
  Clock* clock = Clock::Real();
  const int64_t deadline = clock->MonotonicMillis() + ms;
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  for (int64_t now = clock->MonotonicMillis(); now < deadline; now = clock->MonotonicMillis()) {
    const int64_t left_ms = deadline - now;
    struct timespec timeout = {static_cast<time_t>(left_ms / 1000), static_cast<long>(left_ms % 1000) * 1000000L};
    const int sig = sigtimedwait(&stops, nullptr, &timeout);
    if (sig == SIGTERM || sig == SIGINT) return true;
  }
  return false;
}

void SystemdStatusSink::ExtendTimeout(uint64_t usec) {
  SendServiceNotification("EXTEND_TIMEOUT_USEC=" + std::to_string(usec));
}

void BlockControlSignals() {
  sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string CZEVServiceBase::DataDirectory() {
  std::string common = GetCommonDataDir();
  return common.empty() ? std::string() : common + "/Varnel/ZEV/2.0";
}

CZEVServiceBase::Folders CZEVServiceBase::ServiceFolders() const {
  std::string common = GetCommonDataDir();
  Folders folders;
  folders.common = common;
  folders.data = DataDirectory();
  folders.log = folders.data;
  folders.run = common.empty() ? std::string() : JoinPath(common, "run");
  return folders;
}

void CZEVServiceBase::set_status_detail(std::string detail) {
  std::lock_guard<std::mutex> lock(status_mu_);
  status_.detail = std::move(detail);
}

void CZEVServiceBase::UpdateRunningDetail(std::string detail) {
  std::lock_guard<std::mutex> lock(status_mu_);
  status_.detail = std::move(detail);
  if (run_mode_ != kRunModeApplication && current_state_ == kServiceRunning && sink_ != nullptr) {
    sink_->Report(status_);
  }
}

void CZEVServiceBase::ExtendStartTimeout(int64_t ms) {
  // Room for the step itself on top of its wait.
  constexpr int64_t kMarginMs = 10000;
  std::lock_guard<std::mutex> lock(status_mu_);
  if (run_mode_ == kRunModeApplication || sink_ == nullptr) return;
  sink_->ExtendTimeout(static_cast<uint64_t>(std::max<int64_t>(ms, 0) + kMarginMs) * 1000);
}

void CZEVServiceBase::SetStatus(uint32_t state, uint32_t exit_code, uint32_t wait_hint) {
  if (run_mode_ == kRunModeApplication) return;
  std::lock_guard<std::mutex> lock(status_mu_);
  current_state_ = state;
  status_.state = state;
  status_.exit_code = exit_code;
  status_.wait_hint_ms = wait_hint;
  if (IsPending(state)) {
    status_.controls_accepted = 0;
    status_.check_point = checkpoint_counter++;
  } else {
    status_.controls_accepted = kServiceControlsAccepted;
    status_.check_point = 0;
  }
  if (sink_ != nullptr) sink_->Report(status_);
}

bool CZEVServiceBase::Start() {
  SetStatus(kServiceStartPending);
  // Without these folders the service would run on without a log, a lock
  // or a socket and tell nobody why, and on a damaged store it would run on
  // defaults with its records lost; it says why and ends instead. No
  // restart mends any of these.
  const Folders folders = ServiceFolders();
  std::string why;
  bool log_usable = false;
  if (TrustedCommonFolder(folders.common, &why)) {
    log_usable = UsableFolder("data", folders.data, kPrivateDirMode, &why) &&
                 UsableFolder("log", folders.log, kPrivateDirMode, &why);
    if (log_usable && UsableFolder("run", folders.run, kRuntimeDirMode, &why) && CheckStores(&why)) {
      LogInit(folders.log, "zevservice");
      LogWrite(kLogInfo, "###########################################");
      LogWrite(kLogInfo, "ZEVService started!");
      // The crash-report client does nothing on Linux; the step is kept so
      // that the log reads the same.
      LogWrite(kLogInfo, "Init YRA module.");
      OnStart();
      SetStatus(kServiceRunning);
      return true;
    }
  }
  DebugPrintAt(kJournalError, "ZEVService cannot start: %s", why.c_str());
  if (log_usable && LogInit(folders.log, "zevservice")) {
    LogWrite(kLogInfo, "###########################################");
    LogWrite(kLogError, "ZEVService cannot start: %s", why.c_str());
  }
  exit_code_ = kExitConfig;
  set_status_detail("cannot start: " + why);
  SetStatus(kServiceStopped, kExitConfig);
  return false;
}

void CZEVServiceBase::Stop() {
  set_status_detail(std::string());
  SetStatus(kServiceStopPending);
  OnStop();
  SetStatus(kServiceStopped);
}

void CZEVServiceBase::Pause() {
  SetStatus(kServicePausePending);
  OnPause();
  SetStatus(kServicePaused);
}

void CZEVServiceBase::Continue() {
  SetStatus(kServiceContinuePending);
  OnContinue();
  SetStatus(kServiceRunning);
}

void CZEVServiceBase::Shutdown() {
  set_status_detail(std::string());
  OnShutdown();
  SetStatus(kServiceStopped);
}

void CZEVServiceBase::Interrogate() {
  OnInterrogate();
  SetStatus(current_state_);
}

bool CZEVServiceBase::Run(const std::vector<std::string>& args) {
  if (!args.empty()) {
    if (strcasecmp(args[0].c_str(), "-application") == 0) run_mode_ = kRunModeApplication;
    if (strcasecmp(args[0].c_str(), "-service") == 0) run_mode_ = kRunModeService;
  }
  if (run_mode_ == kRunModeApplication) {
    ApplicationLoop(this);
    return true;
  }
  if (NotifySocketPath().empty()) {
    DebugPrintAt(kJournalError, "StartServiceCtrlDispatcher failed: not started by the service manager (no NOTIFY_SOCKET); "
               "use -application to run in the foreground");
    return false;
  }
  static SystemdStatusSink sink;
  set_status_sink(&sink);
  ServiceLoop(this);
  return true;
}

CZEVService::CZEVService(CZEVServiceContext* context) : context_(context) {
  set_health_check_ms(context->timings().health_check_ms);
}

void CZEVService::OnStart() {
  CZEVManager& manager = context_->manager();
  CZEVManager::Hooks hooks;
  hooks.start_progress = [this](int64_t ms) { ExtendStartTimeout(ms); };
  hooks.loaded_changed = [this] { UpdateRunningDetail(RunningDetail()); };
  manager.set_hooks(std::move(hooks));
  if (context_->timings().for_tests) {
    LogWrite(kLogWarning, "The service runs with the short delays of --test-timings; that is for tests only.");
  }
  if (!manager.Start()) {
    set_status_detail(stop_requested_ ? "start-up cut short by a stop"
                      : manager.instance_held_elsewhere() ? "idle: another instance holds the instance lock"
                                                          : "idle: the component manager did not start");
    return;
  }
  manager_started_ = true;
  set_status_detail(RunningDetail());
}

void CZEVService::OnInterrogate() {
  if (manager_started_ && current_state() == kServiceRunning) set_status_detail(RunningDetail());
}

std::string CZEVService::RunningDetail() {
  CZEVManager& manager = context_->manager();
  std::string failed;
  for (const std::string& name : manager.failed_front_ends()) failed += (failed.empty() ? "" : ", ") + name;
  std::string detail = failed.empty() ? std::string() : "not serving: " + failed + "; ";
  if (manager.port() > 0) detail += "port " + std::to_string(manager.port()) + "; ";
  const size_t components = manager.loaded_list().size();
  const int hosts = manager.RunningHosts();
  detail += std::to_string(components) + (components == 1 ? " component in " : " components in ") +
            std::to_string(hosts) + (hosts == 1 ? " host" : " hosts");
  const int refused = manager.RefusedComponents();
  if (refused > 0) detail += ", " + std::to_string(refused) + " refused";
  StrategyStatus pass;
  if (ReadStrategyStatus(&context_->registry(), &pass) &&
      StrategyStalled(pass, ReadIntervalSetting(&context_->registry()) * 1000, context_->clock()->WallMillis())) {
    detail += "; the strategy has made no pass for two intervals";
  }
  return detail;
}

void CZEVService::OnStop() {
  manager_started_ = false;
  context_->manager().Quit();
}

void CZEVService::OnStopRequested() {
  stop_requested_ = true;
  context_->manager().RequestStop();
}

bool CZEVService::CheckStores(std::string* why) { return context_->registry().Check(why); }

CZEVServiceBase::Folders CZEVService::ServiceFolders() const {
  Folders folders;
  folders.common = context_->common_dir();
  folders.data = context_->data_dir();
  folders.log = context_->data_dir();
  folders.run = context_->run_dir();
  return folders;
}

}  // namespace zev
