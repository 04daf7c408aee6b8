// ComponentSupervisor: runs the host's components as child processes and
// keeps them in the shape their run mode asks for: a schedule runs again at
// every interval (never twice at once), a service is started again with a
// growing back-off, an application runs once. Stopping sends SIGTERM to the
// component's process group and SIGKILL after a grace period.
//
// What a component leaves behind goes with it. Its processes outside its
// process group (a "setsid" child, a daemon) are found by the parent links
// in /proc, from the component's running process down; each one found is
// remembered (by pid and start time) as that component's. With
// `adopt_orphans` (the host is a child subreaper, so orphans below it come to
// it rather than to init) a child of the host that is not a component's
// process is an orphan: it belongs to the component it was remembered for;
// else to the one its environment names (ZEV_APP_CODE, ZEV_COMPONENT_ID and
// ZEV_COMPONENT_VERSION, which every component passes on unless it clears
// them); else, when it turns up as a component's process ends, to that
// component; else to none, and it lives until the host ends. Its own
// children follow it. The processes of a component that stops get SIGTERM
// with its process group and SIGKILL when the group's grace runs out; at
// StopAll every process below the host does. Orphans that end are reaped.
// The table is read when a stop begins, when its grace ends, when a
// component's process ends and when SIGCHLD comes.
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
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "tools/zevhost/child_reaper.h"
#include "tools/zevhost/component_launch.h"

namespace zev {

constexpr int64_t kStopGraceMs = 5000;            // "stop": SIGTERM, then SIGKILL
constexpr int64_t kStopAllGraceMs = 2000;         // "stopall" and host shutdown
constexpr int64_t kFirstRestartDelayMs = 1000;    // service back-off start
constexpr int64_t kMaxRestartDelayMs = 60000;     // service back-off cap
constexpr int64_t kSteadyRunMs = 10 * 60 * 1000;  // a run this long resets the back-off

struct SupervisorOptions {
  std::string process_group;  // ZEV_PROCESS_GROUP of every child
  std::string common_dir;     // the service's data folder (GetCommonDataDir())
  bool adopt_orphans = false; // the process is a child subreaper: its non-component children are orphans
  // Told of each start that is refused (with the reason), on the
  // supervisor's thread without its lock held; never after StopAll returned.
  std::function<void(const CZEVComponentContext&, const std::string&)> on_refused{};
  // Told each time a component's own process ends without a stop having
  // been asked for, with its code as the reaper gives it (128 + s for
  // signal s); as on_refused.
  std::function<void(const CZEVComponentContext&, int)> on_ended{};
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
  // (stopped as by Stop). With the context's runAs it runs as that user (see
  // LaunchPlan::user) in its data folder (PrepareDataFolder), and only from
  // an entry point that root alone can change, as every folder up to the
  // download root (IsRootOnlyUpTo). A component whose install folder, entry point, way of
  // running, user or data folder cannot be found or is not safe is refused
  // with a log line and options.on_refused, and a running other version is
  // then left alone.
  // Ignored after StopAll. Returns at once; the work is queued.
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
    std::string working_dir;         // install_dir; with a runAs user, its data folder
    std::optional<RunAsUser> user;   // the context's runAs
    std::vector<std::string> argv;
    std::vector<std::string> env;
    pid_t pid = 0;  // 0 while not running
    int64_t started_ms = 0;
    int64_t next_run_ms = Clock::kNoDeadline;  // schedule tick or restart time
    int64_t restart_delay_ms = kFirstRestartDelayMs;
  };
  // A stop under way: the component's process (0 when it has none or it has
  // ended) and what it left below the host.
  struct Dying {
    pid_t pid;
    std::string owner;  // OwnerOf the component; ignored with `all`
    bool all;           // StopAll: every process below the host
    int64_t kill_at_ms;
    bool killed;
  };
  // A process below the host other than a component's own, as last seen.
  struct Tracked {
    uint64_t start;
    pid_t pgid;
    std::string owner;  // empty: nobody's
    bool terminated;    // SIGTERM sent
  };

  // The rest run on the supervisor's thread with mu_ held.
  void Run() EXCLUDES(mu_);
  void HandleStart(const CZEVComponentContext& context) REQUIRES(mu_);
  void HandleStop(const CZEVComponentContext& context) REQUIRES(mu_);
  void HandleExit(pid_t pid, int code) REQUIRES(mu_);
  void BeginStopAll(int64_t grace_ms) REQUIRES(mu_);
  // Begins the stop of the component's process and of what it left
  // behind; `refresh` reads the process table first.
  void BeginStop(Component* component, int64_t grace_ms, bool refresh = true) REQUIRES(mu_);
  // Reads the process table: reaps ended orphans and brings tracked_ up to
  // date. `ended_owner` owns the orphans nobody else claims (the component
  // whose process just ended); null for none.
  void Refresh(const std::string* ended_owner = nullptr) REQUIRES(mu_);
  // SIGTERM (once each) or SIGKILL to the tracked processes of `d`, except
  // those in the group of its component's process, which the group signal
  // reaches.
  void SignalLeftBehind(const Dying& d, int sig) REQUIRES(mu_);
  // Whether a tracked process belongs to what `d` stops.
  bool LeftBehind(const Dying& d) const REQUIRES(mu_);
  // Ends the stops that are done: the component's process has ended and
  // nothing it left is tracked any more, or SIGKILL was sent.
  void SettleDying() REQUIRES(mu_);
  // Fills the component's user and working folder from the context's runAs
  // (see Start); `entry` is the resolved entry point. False with *why when
  // the start is refused.
  bool PlanUser(const CZEVComponentContext& context, const std::string& entry, Component* component,
                std::string* why) REQUIRES(mu_);
  // Starts the component's child; false when the component is done with
  // (a run-once component that could not be started).
  bool Launch(Component* component) REQUIRES(mu_);
  // Plans what follows the end of a run; false when the component is done.
  bool AfterRun(Component* component) REQUIRES(mu_);
  void RunDue() REQUIRES(mu_);
  int64_t NextDeadline() const REQUIRES(mu_);

  Clock* const clock_;
  const SupervisorOptions options_;

  Mutex mu_;
  std::condition_variable wake_;  // the supervisor thread's wake-up
  std::condition_variable idle_;  // StopAll's wait
  struct Command {
    bool start;
    CZEVComponentContext context;
  };
  std::deque<Command> commands_ GUARDED_BY(mu_);
  std::deque<std::pair<pid_t, int>> exits_ GUARDED_BY(mu_);
  // Refused starts not yet handed to options_.on_refused.
  std::vector<std::pair<CZEVComponentContext, std::string>> refusals_ GUARDED_BY(mu_);
  // Ends of components' processes not yet handed to options_.on_ended.
  std::vector<std::pair<CZEVComponentContext, int>> ended_ GUARDED_BY(mu_);
  bool stop_all_requested_ GUARDED_BY(mu_) = false;
  int64_t stop_all_grace_ms_ GUARDED_BY(mu_) = 0;
  bool closed_ GUARDED_BY(mu_) = false;  // StopAll has begun
  bool stopped_all_ GUARDED_BY(mu_) = false;  // StopAll's work is done
  bool quit_ GUARDED_BY(mu_) = false;
  std::map<Key, Component> components_ GUARDED_BY(mu_);
  std::vector<Dying> dying_ GUARDED_BY(mu_);
  std::map<pid_t, Tracked> tracked_ GUARDED_BY(mu_);
  bool refresh_requested_ GUARDED_BY(mu_) = false;  // SIGCHLD came
  int launches_ GUARDED_BY(mu_) = 0;

  std::unique_ptr<ChildReaper> reaper_;  // reports to exits_; reset after thread_ is joined
  std::thread thread_;
};

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_SUPERVISOR_H_
