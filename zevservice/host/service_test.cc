#include "host/service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "host/service_context.h"
#include "hosting/host_status.h"
#include "hosting/manager.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "testing/fake_clock.h"
#include "testing/log_util.h"
#include "testing/rpc_test_util.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

class RecordingSink : public IServiceStatusSink {
 public:
  void Report(const ServiceStatus& status) override { reports.push_back(status); }
  std::vector<ServiceStatus> reports;
};

class CountingService : public CZEVServiceBase {
 public:
  void OnStart() override { ++starts; }
  void OnStop() override { ++stops; }
  int starts = 0;
  int stops = 0;
};

// Reads from `fd` until the collected text holds `text`; false at the deadline.
bool ReadUntil(int fd, const std::string& text, std::string* collected, int timeout_ms = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (collected->find(text) == std::string::npos) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) return false;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) return collected->find(text) != std::string::npos;
    collected->append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The port the service published, waiting for it to appear.
int WaitForPort(int timeout_ms = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string value;
    if (RegReadString(RegRoot::kClassesRoot, "CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port",
                      "zevservicePort", &value)) {
      return atoi(value.c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

std::string RunZevctl(const std::string& args) { return RunAndRead(std::string(ZEVCTL_PATH) + " " + args); }

std::string LogPath(const ScopedCommonDataDir& common) {
  return common.path() + "/Varnel/ZEV/2.0/zevservice.1.txt";
}

// Points the common data folder at `path` (which need not be usable) for the
// test and the processes it starts.
class ScopedCommonAt {
 public:
  explicit ScopedCommonAt(const std::string& path) {
    setenv("ZEV_COMMON_APPDATA", path.c_str(), 1);
    ForgetCommonDataDir();
  }
  ~ScopedCommonAt() {
    unsetenv("ZEV_COMMON_APPDATA");
    ForgetCommonDataDir();
  }
};

// systemd cannot run here as PID 1; a datagram socket stands in for its
// notify socket, which is all that Type=notify services talk to.
class StandInNotifySocket {
 public:
  explicit StandInNotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~StandInNotifySocket() { close(fd_); }
  bool bound() const { return bound_; }

  // Starts zevsvc in service mode with this socket as its NOTIFY_SOCKET.
  std::unique_ptr<ProcessHandle> StartService(StartOptions options = StartOptions()) {
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    options.pass_notify_socket = true;
    auto svc = StartProcessArgv({ZEVSVC_PATH, "-service"}, options);
    unsetenv("NOTIFY_SOCKET");
    return svc;
  }

  // The next message but the time extensions, which are counted; empty
  // when none came within the time.
  std::string Next(int timeout_ms = 20000) {
    for (;;) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return std::string();
      char buf[1024];
      ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      std::string message = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
      if (message.rfind("EXTEND_TIMEOUT_USEC=", 0) != 0) return message;
      extensions.push_back(message);
    }
  }
  std::vector<std::string> extensions;

 private:
  const std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

int Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

}  // namespace

TEST(ServiceStatus, PendingStatesCarryCheckpointsAndAcceptNoControls) {
  CountingService service;
  RecordingSink sink;
  service.set_status_sink(&sink);
  service.Pause();
  service.Continue();
  ASSERT_EQ(sink.reports.size(), 4u);
  EXPECT_EQ(sink.reports[0].state, kServicePausePending);
  EXPECT_EQ(sink.reports[0].controls_accepted, 0u);
  EXPECT_EQ(sink.reports[1].state, kServicePaused);
  EXPECT_EQ(sink.reports[1].check_point, 0u);
  EXPECT_EQ(sink.reports[1].controls_accepted, kServiceControlsAccepted);
  EXPECT_EQ(sink.reports[2].state, kServiceContinuePending);
  EXPECT_EQ(sink.reports[2].check_point, sink.reports[0].check_point + 1);
  EXPECT_EQ(sink.reports[3].state, kServiceRunning);
  EXPECT_EQ(sink.reports[3].service_type, 16u);

  service.Interrogate();
  EXPECT_EQ(sink.reports.back().state, kServiceRunning);
  service.Shutdown();
  EXPECT_EQ(sink.reports.back().state, kServiceStopped);
  EXPECT_EQ(service.stops, 0);  // a system shutdown does not quit the manager
  service.Stop();
  EXPECT_EQ(service.stops, 1);
  EXPECT_EQ(sink.reports[sink.reports.size() - 2].state, kServiceStopPending);
}

TEST(ServiceStatus, ApplicationModeReportsNothing) {
  CountingService service;
  RecordingSink sink;
  service.set_status_sink(&sink);
  service.set_run_mode(kRunModeApplication);
  service.Pause();
  service.Stop();
  EXPECT_TRUE(sink.reports.empty());
  EXPECT_EQ(service.current_state(), kServiceStopped);
  EXPECT_EQ(service.stops, 1);
}

// The real service binary in application mode, driven like a person would.
TEST(ZevsvcApplication, AnswersCallsAndObeysConsoleNumbers) {
  ScopedCommonDataDir common;
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  StartOptions options;
  options.stdin_fd = in[0];
  options.stdout_fd = out[1];
  auto svc = StartProcessArgv({ZEVSVC_PATH, "-APPLICATION"}, options);
  close(in[0]);
  close(out[1]);
  ASSERT_NE(svc, nullptr);
  std::string console;
  ASSERT_TRUE(ReadUntil(out[0], "Please input the num", &console));
  int port = WaitForPort();
  ASSERT_GE(port, 61024);
  ASSERT_LE(port, 61124);

  EXPECT_EQ(RunZevctl("echo \"hello there\""), "exr: 0\nresponse: hello there\n");
  EXPECT_EQ(RunZevctl("echo x --port " + std::to_string(port)), "exr: 0\nresponse: x\n");

  ASSERT_EQ(write(in[1], "5\nabc\n", 6), 6);
  ASSERT_TRUE(ReadUntil(out[0], "unknown type!\nPlease input the num to Control the process: 0: Pause; 1: Resume; "
                                "2: Stop.\nunknown type!", &console));
  ASSERT_EQ(write(in[1], "0 1\n", 4), 4);
  EXPECT_FALSE(svc->Wait(100));
  // The last number counts at the end of input without its line feed
  // (printf 2 | zevsvc -application).
  ASSERT_EQ(write(in[1], "2", 1), 1);
  close(in[1]);
  ASSERT_TRUE(svc->Wait(20000));
  EXPECT_EQ(svc->ExitCode(), 0);
  close(out[0]);

  std::string log;
  ASSERT_TRUE(ReadFileToString(LogPath(common), &log));
  for (const char* line : {"[1] ###########################################", "[1] ZEVService started!",
                           "[1] Create mutex for ZEVSevice.exe success.", "[3] Http server start ok",
                           "[1] get rpc request", "[1] finised rpc request", "[3] ZEVService quit"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST(ZevsvcApplication, WaitsForASignalAfterTheEndOfInput) {
  ScopedCommonDataDir common;
  auto svc = StartProcessArgv({ZEVSVC_PATH, "-application"});  // standard input is /dev/null
  ASSERT_NE(svc, nullptr);
  ASSERT_NE(WaitForPort(), 0);
  EXPECT_FALSE(svc->Wait(300));  // still serving after the end of input
  EXPECT_NE(RunZevctl("echo ok").find("response: ok"), std::string::npos);
  kill(svc->pid(), SIGTERM);
  ASSERT_TRUE(svc->Wait(20000));
  EXPECT_EQ(svc->ExitCode(), 0);
  EXPECT_TRUE(WaitForFileContaining(LogPath(common), "ZEVService quit", 1000));
}

TEST(ZevsvcService, RefusesToRunOutsideTheServiceManager) {
  ScopedCommonDataDir common;
  unsetenv("NOTIFY_SOCKET");
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  StartOptions options;
  options.stderr_fd = err[1];
  auto svc = StartProcessArgv({ZEVSVC_PATH}, options);
  close(err[1]);
  ASSERT_NE(svc, nullptr);
  std::string text;
  ReadUntil(err[0], "run it in the foreground\n", &text);
  ASSERT_TRUE(svc->Wait(20000));
  // A service that never ran does not exit as if it had.
  EXPECT_EQ(svc->ExitCode(), 1);
  EXPECT_NE(text.find("StartServiceCtrlDispatcher failed"), std::string::npos);
  EXPECT_NE(text.find("use \"zevsvc -application\" to run it in the foreground"), std::string::npos) << text;
  EXPECT_FALSE(FileExists(LogPath(common)));
  close(err[0]);

  // Under systemd standard error goes to the journal: each line says its
  // priority.
  ASSERT_EQ(pipe(err), 0);
  options.stderr_fd = err[1];
  setenv("JOURNAL_STREAM", "8:12345", 1);
  svc = StartProcessArgv({ZEVSVC_PATH}, options);
  unsetenv("JOURNAL_STREAM");
  close(err[1]);
  ASSERT_NE(svc, nullptr);
  text.clear();
  ReadUntil(err[0], "run it in the foreground\n", &text);
  ASSERT_TRUE(svc->Wait(20000));
  EXPECT_EQ(text.rfind("<3>---ZEVService---:", 0), 0u) << text;  // the reason is an error
  EXPECT_NE(text.find("\n<3>zevsvc: not started by the service manager"), std::string::npos) << text;
  close(err[0]);
}

TEST(NotifySocket, IsTakenOutOfTheEnvironmentAndStillReached) {
  ScopedCommonDataDir common;
  const std::string path = common.path() + "/notify.sock";
  StandInNotifySocket notify(path);
  ASSERT_TRUE(notify.bound());
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  TakeNotifySocket();
  // Children started from now on cannot reach the service manager.
  EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
  EXPECT_EQ(NotifySocketPath(), path);
  ASSERT_TRUE(SendServiceNotification("STATUS=checked"));
  EXPECT_EQ(notify.Next(5000), "STATUS=checked");
}

TEST(ZevsvcService, ReportsItsStatesToTheNotifySocket) {
  ScopedCommonDataDir common;
  StandInNotifySocket notify(common.path() + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  auto svc = notify.StartService();
  ASSERT_NE(svc, nullptr);

  auto next = [&](int timeout_ms) { return notify.Next(timeout_ms); };
  EXPECT_EQ(next(20000), "STATUS=start pending");
  const int port = WaitForPort();
  ASSERT_NE(port, 0);
  const std::string what_runs = "; port " + std::to_string(port) + "; 0 components in 0 hosts";
  EXPECT_EQ(next(20000), "READY=1\nSTATUS=running" + what_runs);
  // The start asked for more time before taking the instance lock.
  ASSERT_FALSE(notify.extensions.empty());
  EXPECT_EQ(notify.extensions[0], "EXTEND_TIMEOUT_USEC=13000000");
  // Every thread says what it is (ps -L, top -H, perf).
  const std::string tasks = "/proc/" + std::to_string(svc->pid()) + "/task";
  auto thread_names = [&] {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      std::string name;
      if (task.path().filename() == std::to_string(svc->pid())) continue;
      if (ReadFileToString(task.path().string() + "/comm", &name)) names.push_back(name);
    }
    return names;
  };
  // Threads inherit the name of the thread that made them. The start thread
  // ends just after it reports running; one still called so afterwards was
  // made by it and never named.
  std::vector<std::string> names;
  EXPECT_TRUE(PollUntil([&] {
    names = thread_names();
    return std::find(names.begin(), names.end(), "zev-start\n") == names.end();
  })) << ::testing::PrintToString(names);
  // Nothing has been rolled back: no thread waits to do it.
  EXPECT_EQ(std::count(names.begin(), names.end(), "zev-rollback\n"), 0);
  for (const std::string& name : names) {
    EXPECT_EQ(name.rfind("zev", 0), 0u) << name;
#ifndef __SANITIZE_THREAD__  // ThreadSanitizer's own thread keeps the program's name
    EXPECT_NE(name, "zevsvc\n");
#endif
  }
  kill(svc->pid(), SIGUSR1);
  EXPECT_EQ(next(20000), "STATUS=pause pending" + what_runs);
  EXPECT_EQ(next(20000), "STATUS=paused" + what_runs);
  kill(svc->pid(), SIGTERM);
  EXPECT_EQ(next(20000), "STOPPING=1\nSTATUS=stop pending");
  EXPECT_EQ(next(20000), "STATUS=stopped");
  ASSERT_TRUE(svc->Wait(20000));
  EXPECT_EQ(svc->ExitCode(), 0);
}

// A service that cannot keep a log, a lock or a socket must not report
// itself ready and run on serving nothing: it says why and ends. A common
// folder that another user could change is refused before anything is made
// in it, with the status that tells systemd not to restart.
TEST(ZevsvcService, ExitsSayingWhyWhenItsFoldersCannotBeMade) {
  ScopedTempDir tmp;
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("file"), "a file, not a folder\n"));
  StandInNotifySocket notify(tmp.Sub("notify.sock"));
  ASSERT_TRUE(notify.bound());
  struct Case {
    std::string common;  // ZEV_COMMON_APPDATA
    std::string reason;  // what standard error and the status say
    const char* mode;    // the run mode's argument
    int exit_code;  // each of these is for good: no restart mends it
  };
  // A path below a file fails for root too, as a read-only mount does.
  const std::string below_file = tmp.Sub("file/sub");
  const std::string data_reason = "the data folder " + below_file + "/Varnel/ZEV/2.0 cannot be created: Not a directory";
  const std::string run_is_a_file = tmp.Sub("run_is_a_file");
  ASSERT_TRUE(CreateDirectories(run_is_a_file));
  ASSERT_TRUE(WriteFileAtomically(run_is_a_file + "/run", ""));
  std::vector<Case> cases = {
      {below_file, data_reason, "-service", kExitConfig},
      {run_is_a_file, "the run folder " + run_is_a_file + "/run cannot be created: Not a directory", "-service",
       kExitConfig},
      {below_file, data_reason, "-application", kExitConfig}};
  // Folders another user could change: one writable by all, one that user
  // owns, and a root-owned one inside it, which that user could swap.
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  const std::string open_to_all = tmp.Sub("open");
  ASSERT_TRUE(CreateDirectories(open_to_all));
  ASSERT_EQ(chmod(open_to_all.c_str(), 0777), 0);
  const auto unsafe = [](const std::string& common, const std::string& what) {
    return "the common data folder " + common + " is not safe for the service: " + what;
  };
  cases.push_back({open_to_all, unsafe(open_to_all, open_to_all + " is writable by others (owner 0, mode 0777)"),
                   "-service", kExitConfig});
  ScopedUser user;
  const std::string users = tmp.Sub("users");
  if (user.ok()) {
    ASSERT_TRUE(CreateDirectories(users + "/zev"));
    ASSERT_EQ(chown(users.c_str(), user.uid(), user.gid()), 0);
    const std::string owner = users + " belongs to another user (owner " + std::to_string(user.uid()) + ", mode 0755)";
    cases.push_back({users, unsafe(users, owner), "-service", kExitConfig});
    cases.push_back({users + "/zev", unsafe(users + "/zev", owner), "-application", kExitConfig});
  } else {
    fprintf(stderr, "skipping the other user's folders: %s\n", user.reason().c_str());
  }
  // A damaged store: random bytes, half of a real one, a folder in its
  // place. The service never runs on defaults over it, nor writes it.
  std::map<std::string, std::string> stores;
  for (const char* damage : {"random", "half", "folder"}) {
    const std::string common = tmp.Sub(std::string("store_") + damage);
    const std::string db = common + "/registry.db";
    ASSERT_TRUE(CreateDirectories(common));
    if (std::string(damage) == "folder") {
      ASSERT_TRUE(CreateDirectories(db));
    } else if (std::string(damage) == "random") {
      ASSERT_TRUE(WriteFileAtomically(db, std::string(8192, '\x5a')));
    } else {
      {
        RegistryStore store(common);  // closed (and checkpointed) before the cut
        for (int i = 0; i < 200; ++i) {
          ASSERT_TRUE(store.WriteString(RegRoot::kLocalMachine, "Software\\Z", std::to_string(i), std::string(100, 'v')));
        }
      }
      std::string whole;
      ASSERT_TRUE(ReadFileToString(db, &whole));
      ASSERT_TRUE(WriteFileAtomically(db, whole.substr(0, whole.size() / 2)));
      unlink((db + "-wal").c_str());
    }
    if (std::string(damage) != "folder") {
      ASSERT_TRUE(ReadFileToString(db, &stores[db]));
    }
    cases.push_back({common, "the registry store " + db + " cannot be used (", "-application", kExitConfig});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.common + " " + c.mode);
    ScopedCommonAt common(c.common);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    StartOptions options;
    options.stderr_fd = err[1];
    std::unique_ptr<ProcessHandle> svc;
    if (std::string(c.mode) == "-service") {
      svc = notify.StartService(options);
    } else {
      svc = StartProcessArgv({ZEVSVC_PATH, c.mode}, options);
    }
    close(err[1]);
    ASSERT_NE(svc, nullptr);
    std::string text;
    ReadUntil(err[0], c.reason, &text);
    close(err[0]);
    if (!svc->Wait(20000)) {
      TerminateProcessById(svc->pid());  // leave no service behind
      svc->Wait(20000);
      ADD_FAILURE() << "zevsvc did not end";
      continue;
    }
    EXPECT_EQ(svc->ExitCode(), c.exit_code);
    EXPECT_NE(text.find("ZEVService cannot start: " + c.reason), std::string::npos) << text;
    if (std::string(c.mode) == "-service") {
      EXPECT_EQ(notify.Next(), "STATUS=start pending");
      EXPECT_EQ(notify.Next(), "STATUS=stopped; cannot start: " + c.reason);  // never READY=1
      EXPECT_EQ(notify.Next(0), "");  // it has ended: whatever it sent is queued
    }
  }
  for (const auto& [db, bytes] : stores) {
    std::string now;
    EXPECT_TRUE(ReadFileToString(db, &now) && now == bytes) << db << " was changed";
  }
  // The log folder was usable there: the reason is in the log too.
  std::string log;
  ASSERT_TRUE(ReadFileToString(run_is_a_file + "/Varnel/ZEV/2.0/zevservice.1.txt", &log));
  EXPECT_NE(log.find("[3] ZEVService cannot start: the run folder"), std::string::npos) << log;
}

// A stop that comes while the service starts ends it at once, wherever the
// start is: in the pause before anything runs (nothing is reported), or
// while another process holds the instance lock (the retries would take
// 33 s; the stop ends them and runs as usual).
TEST(ZevsvcService, AStopDuringStartUpEndsItAtOnce) {
  ScopedCommonDataDir common;
  StandInNotifySocket notify(common.path() + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  auto svc = notify.StartService();
  ASSERT_NE(svc, nullptr);
  // The pause begins once the control signals are blocked; before that a
  // SIGTERM would end the process by default. (While the pause waits for
  // SIGTERM the kernel shows that one unblocked, so SIGUSR1 tells.)
  const std::string status_path = "/proc/" + std::to_string(svc->pid()) + "/status";
  ASSERT_TRUE(PollUntil([&] {
    std::string status;
    if (!ReadFileToString(status_path, &status)) return false;
    const size_t at = status.find("SigBlk:");
    return at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> (SIGUSR1 - 1) & 1) != 0;
  }));
  kill(svc->pid(), SIGTERM);
  ASSERT_TRUE(svc->Wait(5000));
  EXPECT_EQ(svc->ExitCode(), 0);
  EXPECT_EQ(notify.Next(0), "");  // it never started
  EXPECT_FALSE(FileExists(LogPath(common)));

  bool exists = false;
  auto held_elsewhere = NamedMutex::CreateIn(common.path() + "/run", kInstanceMutexName, &exists);
  ASSERT_NE(held_elsewhere, nullptr);
  svc = notify.StartService();
  ASSERT_NE(svc, nullptr);
  EXPECT_EQ(notify.Next(), "STATUS=start pending");
  // Each attempt asks for more time first; the second one means the
  // service waits between attempts.
  ASSERT_TRUE(PollUntil([&] { return notify.Next(50).empty() && notify.extensions.size() >= 2; }, 20000));
  kill(svc->pid(), SIGTERM);
  ASSERT_TRUE(svc->Wait(10000)) << "the stop waited for the instance lock's retries";
  EXPECT_EQ(svc->ExitCode(), 0);
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=running; start-up cut short by a stop");
  EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=stop pending");
  EXPECT_EQ(notify.Next(), "STATUS=stopped");
  std::string log;
  ASSERT_TRUE(ReadFileToString(LogPath(common), &log));
  EXPECT_NE(log.find("Stop asked while waiting for the instance mutex."), std::string::npos) << log;
  EXPECT_NE(log.find("[3] ZEVService quit"), std::string::npos) << log;
}

TEST(ZevsvcService, NamesAFrontEndThatDidNotStartInItsStatus) {
  ScopedTempDir tmp;
  // The socket's path is longer than a socket address holds, so the pipe
  // server cannot listen; the HTTP endpoint can.
  const std::string common_path = tmp.Sub(std::string(100, 'd'));
  ScopedCommonAt common(common_path);
  StandInNotifySocket notify(tmp.Sub("notify.sock"));
  ASSERT_TRUE(notify.bound());
  auto svc = notify.StartService();
  ASSERT_NE(svc, nullptr);
  EXPECT_EQ(notify.Next(), "STATUS=start pending");
  int port = WaitForPort();
  ASSERT_NE(port, 0);
  const std::string detail = "; not serving: pipe; port " + std::to_string(port) + "; 0 components in 0 hosts";
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=running" + detail);
  EXPECT_EQ(RunZevctl("echo over-http"), "exr: 0\nresponse: over-http\n");
  kill(svc->pid(), SIGHUP);  // interrogate: the detail stays while it holds
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=running" + detail);
  kill(svc->pid(), SIGTERM);
  EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=stop pending");
  EXPECT_EQ(notify.Next(), "STATUS=stopped");
  ASSERT_TRUE(svc->Wait(20000));
  EXPECT_EQ(svc->ExitCode(), 0);
  std::string log;
  ASSERT_TRUE(ReadFileToString(common_path + "/Varnel/ZEV/2.0/zevservice.1.txt", &log));
  EXPECT_NE(log.find("[3] The pipe server did not start"), std::string::npos);
}

// Another local user must neither hold the instance lock (and so keep the
// service from starting) nor read the log, whatever umask the service
// was started with.
TEST(ZevsvcApplication, KeepsItsLockAndLogFromOtherUsers) {
  ScopedCommonDataDir common;
  const mode_t old_umask = umask(0);
  auto svc = StartProcessArgv({ZEVSVC_PATH, "-application"});
  umask(old_umask);
  ASSERT_NE(svc, nullptr);
  ASSERT_NE(WaitForPort(), 0);  // the lock is taken and the log is open by then
  EXPECT_EQ(Mode(common.path() + "/run"), 0711);
  EXPECT_EQ(Mode(common.path() + "/run/Global_{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}"), 0600);
  EXPECT_EQ(Mode(common.path() + "/Varnel/ZEV/2.0"), 0700);
  EXPECT_EQ(Mode(LogPath(common)), 0600);
  kill(svc->pid(), SIGTERM);
  ASSERT_TRUE(svc->Wait(20000));
  EXPECT_EQ(svc->ExitCode(), 0);
}

// The second instance keeps running idle, as it always has; what changes is
// that it says so. 33 s of lock attempts run on a fake clock in-process.
TEST(ServiceStart, SaysInItsStatusThatAnotherInstanceHoldsTheLock) {
  ScopedTempDir common;
  FakeClock clock;
  CZEVServiceContext::Options options;
  options.common_dir = common.path();
  options.clock = &clock;
  options.manager.instance_attempts = 2;
  options.host_components = true;
  CZEVServiceContext context(options);
  bool exists = false;
  auto other = NamedMutex::CreateIn(context.run_dir(), kInstanceMutexName, &exists);
  ASSERT_TRUE(other && other->owned());
  const std::string status = JoinPath(context.run_dir(), pubsdk::kHostStatusFileName), hosts = "the other's hosts";
  ASSERT_TRUE(WriteFileAtomically(status, hosts));

  CZEVService service(&context);
  RecordingSink sink;
  service.set_status_sink(&sink);
  bool started = false;
  std::thread start([&] { started = service.Start(); });
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    clock.Advance(3000);
  }
  start.join();
  EXPECT_TRUE(started);  // it runs on, idle
  EXPECT_EQ(service.exit_code(), 0);
  ASSERT_FALSE(sink.reports.empty());
  EXPECT_EQ(sink.reports.back().state, kServiceRunning);
  EXPECT_EQ(sink.reports.back().detail, "idle: another instance holds the instance lock");
  EXPECT_TRUE(LogFileContains(LogCurrentPath(), "[3] Another instance holds the instance lock"));

  service.Stop();
  EXPECT_EQ(sink.reports.back().state, kServiceStopped);
  EXPECT_EQ(sink.reports.back().detail, "");
  std::string text;
  EXPECT_TRUE(ReadFileToString(status, &text) && text == hosts);  // the running instance's file is left alone
}

}  // namespace zev
