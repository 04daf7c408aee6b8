// The crash-loop rule: a version of a component that took the place of
// another (a changed version) is given up when its process fails
// `failures` times within `window_ms` of its start. A failure is an end
// with a non-zero status or by a signal, or the end of the host that ran
// it. A pure value: the caller feeds it starts and failures with the time
// of its clock and acts on the answer.
#ifndef ZEV_HOSTING_CRASH_LOOP_H_
#define ZEV_HOSTING_CRASH_LOOP_H_

#include <cstdint>
#include <map>
#include <string>

namespace zev {

class CrashLoopWatch {
 public:
  CrashLoopWatch(int failures, int64_t window_ms) : failures_(failures), window_ms_(window_ms) {}

  // Whether an end with `exit_code` (as ProcessHandle::ExitCode gives it:
  // 128 + s for signal s) counts as a failure.
  static bool IsFailure(int exit_code) { return exit_code != 0; }

  // `component` (any key that names one component) began to run `version`
  // at `now_ms` in place of another version: its failures count from now.
  void Started(const std::string& component, const std::string& version, int64_t now_ms);
  // `component` is no longer watched (released, or at its first version).
  void Forget(const std::string& component) { watched_.erase(component); }
  // A failure of `version` of `component` at `now_ms`. True once, at the
  // failure that completes the count within the window of the start; the
  // component is forgotten then. Failures of another version than the one
  // started, after the window or of a component not watched count nothing.
  bool Failed(const std::string& component, const std::string& version, int64_t now_ms);
  bool Watching(const std::string& component) const { return watched_.count(component) != 0; }

 private:
  struct Watch {
    std::string version;
    int64_t started_ms = 0;
    int failures = 0;
  };
  const int failures_;
  const int64_t window_ms_;
  std::map<std::string, Watch> watched_;
};

}  // namespace zev

#endif  // ZEV_HOSTING_CRASH_LOOP_H_
