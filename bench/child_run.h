// Runs an outside program for a benchmark and measures it: wall time, peak
// resident size and exit code.
#ifndef ZEV_BENCH_CHILD_RUN_H_
#define ZEV_BENCH_CHILD_RUN_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_util.h"

extern char** environ;

namespace zev {

struct Sample {
  int64_t nanos = 0;
  long max_rss_kib = 0;
  int code = -1;
};

// Runs argv[0] (looked up in PATH) with standard output and error sent to
// /dev/null, and measures its wall time and its own peak resident size.
inline Sample RunChild(std::vector<std::string> args) {
  Sample sample;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  int64_t start = NowNanos();
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return sample;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  sample.nanos = NowNanos() - start;
  sample.max_rss_kib = usage.ru_maxrss;
  sample.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return sample;
}

// Runs args[0] (a path, not looked up) in `cwd` (empty: this folder) with
// standard output and error sent to /dev/null. True when it exits 0.
inline bool RunQuiet(const std::vector<std::string>& args, const std::string& cwd = "") {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace zev

#endif  // ZEV_BENCH_CHILD_RUN_H_
