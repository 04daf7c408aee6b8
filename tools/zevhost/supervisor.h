// ComponentSupervisor: runs the host's components as child processes and
// keeps them in the shape their run mode asks for: a schedule runs again at
// every interval (never twice at once), a service is started again with a
// growing back-off, an application runs once. Stopping sends SIGTERM to the
// component's process group and SIGKILL after a grace period.
//
// Every wait (back-off, schedule tick, kill grace) runs on the injected
// Clock. Start, Stop and StopAll may be called from any thread; the work is
// done on the supervisor's own thread, which is also the thread every child
// is forked from (the children's parent-death signal is tied to it, so it
// lives as long as the supervisor).
#ifndef ZEV_TOOLS_ZEVHOST_SUPERVISOR_H_
#define ZEV_TOOLS_ZEVHOST_SUPERVISOR_H_

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "tools/zevhost/child_reaper.h"

constexpr int64_t kStopGraceMs = 5000;            // "stop": SIGTERM, then SIGKILL
constexpr int64_t kStopAllGraceMs = 2000;         // "stopall" and host shutdown
constexpr int64_t kFirstRestartDelayMs = 1000;    // service back-off start
constexpr int64_t kMaxRestartDelayMs = 60000;     // service back-off cap
constexpr int64_t kSteadyRunMs = 10 * 60 * 1000;  // a run this long resets the back-off

struct SupervisorOptions {
  std::string process_group;  // ZEV_PROCESS_GROUP of every child
  std::string common_dir;     // the service's data folder (GetCommonDataDir())
};

class ComponentSupervisor {
 public:
  // `clock` must outlive the supervisor. Starts the supervisor's thread.
  ComponentSupervisor(Clock* clock, SupervisorOptions options);
  // StopAll(kStopAllGraceMs) when it has not run, then joins the thread.
  ~ComponentSupervisor();
  ComponentSupervisor(const ComponentSupervisor&) = delete;
  ComponentSupervisor& operator=(const ComponentSupervisor&) = delete;

  // Runs the context's component, once per (appCode, componentID): the same
  // version again does nothing, another version replaces the running one
  // (stopped as by Stop). A component whose install folder, entry point or
  // way of running cannot be found is refused with a log line, and a
  // running other version is then left alone. Ignored after StopAll.
  // Returns at once; the work is queued.
  void Start(const CZEVComponentContext& context);
  // Stops the component when it runs with the context's version (otherwise
  // logs and does nothing): SIGTERM to its process group, SIGKILL to the
  // group kStopGraceMs later if it has not ended; it is not restarted.
  // Returns at once.
  void Stop(const CZEVComponentContext& context);
  // Stops every component, SIGKILL after `grace_ms`, and blocks until every
  // child the supervisor started has ended. Later Starts are ignored. A
  // second call returns once the first one's work is done.
  void StopAll(int64_t grace_ms);

  // The pid of the running process of (app_code, component_id); 0 when
  // none runs (not known, ended, or waiting for its next run).
  pid_t RunningPid(const std::string& app_code, const std::string& component_id);
  // How many children were started so far.
  int launch_count();

 private:
  using Key = std::pair<std::string, std::string>;  // appCode, componentID
  struct Component {
    CZEVComponentContext context;
    std::string install_dir;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    pid_t pid = 0;  // 0 while not running
    int64_t started_ms = 0;
    int64_t next_run_ms = Clock::kNoDeadline;  // schedule tick or restart time
    int64_t restart_delay_ms = kFirstRestartDelayMs;
  };
  struct Dying {
    pid_t pid;
    int64_t kill_at_ms;
    bool killed;
  };

  // The rest run on the supervisor's thread with mu_ held.
  void Run();
  void HandleStart(const CZEVComponentContext& context);
  void HandleStop(const CZEVComponentContext& context);
  void HandleExit(pid_t pid, int code);
  void BeginStopAll(int64_t grace_ms);
  void BeginStop(Component* component, int64_t grace_ms);
  // Starts the component's child; false when the component is done with
  // (a run-once component that could not be started).
  bool Launch(Component* component);
  // Plans what follows the end of a run; false when the component is done.
  bool AfterRun(Component* component);
  void RunDue();
  int64_t NextDeadline() const;

  Clock* const clock_;
  const SupervisorOptions options_;

  std::mutex mu_;
  std::condition_variable wake_;  // the supervisor thread's wake-up
  std::condition_variable idle_;  // StopAll's wait
  struct Command {
    bool start;
    CZEVComponentContext context;
  };
  std::deque<Command> commands_;              // guarded by mu_
  std::deque<std::pair<pid_t, int>> exits_;   // guarded by mu_
  bool stop_all_requested_ = false;           // guarded by mu_
  int64_t stop_all_grace_ms_ = 0;             // guarded by mu_
  bool closed_ = false;                       // guarded by mu_; StopAll has begun
  bool stopped_all_ = false;                  // guarded by mu_; StopAll's work is done
  bool quit_ = false;                         // guarded by mu_
  std::map<Key, Component> components_;       // guarded by mu_
  std::vector<Dying> dying_;                  // guarded by mu_
  int launches_ = 0;                          // guarded by mu_

  std::unique_ptr<ChildReaper> reaper_;  // reports to exits_; reset after thread_ is joined
  std::thread thread_;
};

#endif  // ZEV_TOOLS_ZEVHOST_SUPERVISOR_H_
