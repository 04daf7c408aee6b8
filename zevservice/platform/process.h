// Processes: starting from a command-line text, handles that can be waited
// on together with events, exit codes, and termination.
#ifndef ZEV_PLATFORM_PROCESS_H_
#define ZEV_PLATFORM_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wait.h"

namespace zev {

// Exit code reported while a process is still running (STILL_ACTIVE).
constexpr int kStillActive = 259;

// Splits a command-line text into arguments by the Windows rules: blanks and
// tabs separate arguments; double quotes group (a" "b is one argument "a b");
// inside quotes "" is a literal quote; 2n backslashes before a quote give n
// backslashes and the quote groups, 2n+1 give n backslashes and a literal
// quote; other backslashes are literal. The first argument (the program) ends
// at the first blank, or, when it starts with a quote, at the next quote.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

// A started process, held by a pidfd. The descriptor is readable once the
// process has ended, so a handle can be waited on with WaitForAny beside
// events. Reaping (and with it the exit code) happens through this handle.
// Not thread-safe: one owner uses it.
class ProcessHandle : public Waitable {
 public:
  ProcessHandle(pid_t pid, int pidfd);
  ~ProcessHandle() override;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the end of the process; true when it ended within the time.
  bool Wait(int timeout_ms);
  // The exit code once ended (a process killed by signal s gives 128 + s),
  // kStillActive while it runs.
  int ExitCode();
  // Sends SIGKILL (the Windows TerminateProcess). True when the signal was
  // sent or the process had already ended.
  bool Terminate();

  int WaitFd() const override { return pidfd_; }
  bool TryAcquire() override { return true; }

 private:
  bool Reap(bool block);

  const pid_t pid_;
  const int pidfd_;
  bool reaped_ = false;
  int exit_code_ = kStillActive;
};

struct StartOptions {
  std::string working_dir;  // empty: the caller's current folder
  bool null_stdin = true;   // the child reads /dev/null instead of our input
  // Descriptors that become the child's standard input, output and error
  // (-1: as above for input, inherited for the others). The caller keeps
  // and closes its own copies.
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  // Children never see the service manager's NOTIFY_SOCKET, unless the
  // caller stands in for the service manager itself (tests).
  bool pass_notify_socket = false;
  // Changes to the inherited environment, in order: "NAME=value" sets NAME
  // (an inherited value of it is left out), "NAME" alone leaves it out.
  std::vector<std::string> environment;
};

// Starts the program named by the first argument of `command_line` (looked up
// in PATH when it holds no "/") with the remaining arguments, without a shell.
// The child starts with default signal dispositions and an empty signal mask.
// Null on failure, with the reason in *error when given.
std::unique_ptr<ProcessHandle> StartProcess(const std::string& command_line,
                                            const StartOptions& options = StartOptions(),
                                            std::string* error = nullptr);
// The same for an argument vector.
std::unique_ptr<ProcessHandle> StartProcessArgv(const std::vector<std::string>& argv,
                                                const StartOptions& options = StartOptions(),
                                                std::string* error = nullptr);

// A pidfd (close-on-exec) for `pid`; -1 with errno set when there is none.
int PidfdOpen(pid_t pid);

// SIGKILL to the process; the result of kill().
bool TerminateProcessById(pid_t pid);
// Kills every process (other than this one) whose executable's base name
// (/proc/<pid>/exe) equals `name` exactly, case-sensitive. False when any
// kill failed; true otherwise, also when none was found.
bool TerminateProcessesByName(const std::string& name);
// Process ids whose executable's base name equals `name` (this one excluded).
std::vector<pid_t> FindProcessesByName(const std::string& name);

// Raises the soft limit on open descriptors to the hard one (service
// managers start services with a soft limit of 1024, which a few hundred
// idle clients use up). The soft limit in force afterwards; 0 when it cannot
// be read.
uint64_t RaiseDescriptorLimit();

}  // namespace zev

#endif  // ZEV_PLATFORM_PROCESS_H_
