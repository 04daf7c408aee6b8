// CZEVMonitor: runs the components of the catalogue in host processes, one
// `zevhost` per process group, tells the hosts over the bus which components
// to start and stop, and starts a failed host again (within a restart budget)
// with every component of its group. What becomes of the hosts (started,
// ended, restarted, restart or component refused) and of the components'
// processes that end it tells the observer of its options, as
// MonitorEvents.
//
// Calling order (the component manager): construct; Init(0); Start; then
// StartComponent / StopComponant any number of times from one thread; at
// shutdown StopAll, later Stop and Uninit; then Release.
//
// Threads: one loop thread ("zev-monitor", from Init until Uninit)
// owns the groups, the host records and the bus term. It polls the host
// processes' pidfds, its command queue and the clock (Clock::PollWait) for
// the hourly sweep, the 2000 ms waits for a host's node before "start" and
// the 15 s resends, all of which are loop state: a wait for one host never
// keeps another from being reaped. The public methods post commands to it
// and wait for their answers; the bus's receiver thread posts refusals to
// it. While no loop thread runs (before Init, after Uninit), the caller runs
// the loop's rounds itself until its answer is there. The process table is
// a snapshot the loop publishes. Every time the monitor waits for (the
// sweep, the 2000 ms, the 15 s, the 27-minute burst window, the budget
// date and the backoff before a restart, RestartBackoff) is read from the
// injected Clock.
#ifndef ZEV_HOSTING_MONITOR_H_
#define ZEV_HOSTING_MONITOR_H_

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "base/timings.h"
#include "bus/envelope.h"
#include "bus/ref_count.h"
#include "bus/term_interfaces.h"
#include "bus/term_settings.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "hosting/monitor_interfaces.h"
#include "hosting/restart_budget.h"
#include "platform/wait.h"
#include "server/event_reporter.h"

namespace zev {

class ProcessHandle;

}  // namespace zev

namespace pubsdk {

// The monitor's node name before Init appends the tick count.
extern const char kMonitorNodeName[];  // "zev-monitor-{6D0D8672-...}"
// Host node names: this prefix, the group, kNodeIndexMarker and a tick.
extern const char kHostNodeNamePrefix[];  // "zevhost-6D0D8672-...-"
extern const char kNodeIndexMarker[];     // "--nodeindex"
// The host executable, looked for in the host directory.
extern const char kHostExecutable[];  // "zevhost"

// The argument a host is started with: `node_name` with a ':' inserted just
// before its last kNodeIndexMarker; empty when the marker is missing.
std::string HostArgumentFor(const std::string& node_name);

// The event of code 14 for a component started again after its host failed.
zev::EventElement MakeRestartEvent(const CZEVComponentContext& context, int64_t wall_millis);

// What the monitor did with a host, as it happened. Which fields are set
// depends on the kind.
struct MonitorEvent {
  enum class Kind {
    // A host process was started for `group` (also for each restart):
    // node, pid.
    kHostStarted,
    // The group's host process ended and was reaped: pid, exit_code.
    kHostEnded,
    // A failed host runs again and was sent its group's components: node,
    // pid, restart_count (after counting this restart).
    kHostRestarted,
    // The group's host is down and is not started again: its restart
    // budget refuses until tomorrow (UTC). At the failure and at each
    // hourly sweep; restart_count.
    kRestartRefused,
    // The group's host `node` refused to start `component` of `version`;
    // reason.
    kComponentRefused,
    // The process of `component` of `app` in `version`, run by the group's
    // host `node`, ended without being asked to: exit_code (128 + s for
    // signal s).
    kComponentEnded,
  };
  Kind kind = Kind::kHostStarted;
  std::string group;
  std::string node;
  pid_t pid = 0;
  // As ProcessHandle::ExitCode gives it: kHostExitNormally for a host that
  // was told to go, 128 + s for one killed by signal s.
  int exit_code = 0;
  uint32_t restart_count = 0;
  std::string app;        // application code
  std::string component;  // componentID
  std::string version;
  std::string reason;
  // kHostEnded of a host that failed (it is started again or refused): the
  // components of its group as they were.
  struct Member {
    std::string app;
    std::string component;
    std::string version;
  };
  std::vector<Member> members;
};

// Told of every MonitorEvent, on the monitor's loop thread (or, while none
// runs, on its caller's), with none of the monitor's locks held; it may call
// the monitor's getters. Must be thread-safe.
class MonitorObserver {
 public:
  virtual ~MonitorObserver() = default;
  virtual void OnMonitorEvent(const MonitorEvent& event) = 0;
};

// What a monitor is built with. The clock, the status folder and the
// event sink come from the composition root; the defaults of the others work.
struct MonitorOptions {
  // Not owned; must outlive the monitor. Must be set.
  zev::Clock* clock = nullptr;
  // Folder holding zevhost (and the bus library it loads); empty: the
  // directory of the running executable.
  std::string host_dir;
  // The bus library for the monitor's own node; empty: libzevrpc.so beside
  // the running executable.
  std::string bus_library;
  // Folder of the host status file (host_status.h); empty: no status file.
  std::string run_dir;
  // The common data folder the monitor's hosts run on, by which the bus
  // finds its call center; empty: the monitor cannot join the bus.
  std::string common_dir;
  // Receives each code-14 event, on the loop thread; empty: they are dropped.
  std::function<void(const zev::EventElement&)> event_sink;
  // Not owned; must outlive the monitor. Null: no one is told.
  MonitorObserver* observer = nullptr;
  // Called on the loop thread with each host process just started (also at
  // each restart), before it is sent any component: the group, the host's
  // pid and the application codes of the group's components. It may move
  // the process into a control group of its own. Empty: hosts stay where
  // they start.
  std::function<void(const std::string& group, pid_t pid, const std::set<std::string>& apps)> confine_host;
  // The delays (base/timings.h names each); the composition root sets them
  // with SetTimings.
  int64_t host_presence_wait_ms = zev::Timings().host_presence_wait_ms;
  int64_t start_resend_ms = zev::Timings().start_resend_ms;
  int64_t sweep_ms = zev::Timings().sweep_ms;
  int64_t restart_window_ms = zev::Timings().restart_window_ms;
  int restart_budget = zev::Timings().restart_budget;
  int64_t restart_backoff_first_ms = zev::Timings().restart_backoff_first_ms;
  int64_t restart_backoff_max_ms = zev::Timings().restart_backoff_max_ms;
  int64_t restart_backoff_reset_ms = zev::Timings().restart_backoff_reset_ms;

  void SetTimings(const zev::Timings& timings) {
    host_presence_wait_ms = timings.host_presence_wait_ms;
    start_resend_ms = timings.start_resend_ms;
    sweep_ms = timings.sweep_ms;
    restart_window_ms = timings.restart_window_ms;
    restart_budget = timings.restart_budget;
    restart_backoff_first_ms = timings.restart_backoff_first_ms;
    restart_backoff_max_ms = timings.restart_backoff_max_ms;
    restart_backoff_reset_ms = timings.restart_backoff_reset_ms;
  }
};

class CZEVMonitor : public IZEVMonitor,
                    public IZEVMonitorNotify,
                    public IServiceCtrlConnectPoint,
                    public IPUBPlugin,
                    public IPUBPluginRun,
                    public IReceiver,
                    public CRefCountBase {
 public:
  using Options = MonitorOptions;

  // The object starts with one reference (the creator's).
  explicit CZEVMonitor(Options options);
  CZEVMonitor(const CZEVMonitor&) = delete;
  CZEVMonitor& operator=(const CZEVMonitor&) = delete;

  // IUnknownBase: every interface above, and IID_IUnknown.
  HRESULT QueryInterface(const GUID& iid, void** out) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  // IZEVMonitor.
  // One row per host record (group), in group-name order; pid 0 while no
  // process runs for the group. Safe from any thread.
  std::vector<MonitorHostInfo> GetProcessTable() override EXCLUDES(mu_);
  // Sets the group's node name to `node` and sends "start" for each of its
  // components there (waiting up to 2000 ms for the node to appear first),
  // scheduling one resend for each send that fails and queuing a code-14
  // event for each. Answers 1, also for an unknown group.
  int32_t NotifyToRestartAGroup(const std::string& group, const std::string& node) override EXCLUDES(mu_);
  // Forgets the group (its host record stays). Answers 1.
  int32_t RemoveGroup(const std::string& group) override EXCLUDES(mu_);
  // Records the context in its group (replacing an earlier context of the
  // same componentID, and forgetting that its host refused it), starts the
  // group's host when the group is new or its host never came up, waits up
  // to 2000 ms for the host's node and sends "start". Answers kStartSent,
  // kStartResendScheduled (one resend follows 15 s later) or kStartNoGroup.
  int32_t StartComponent(const CZEVComponentContext& context) override EXCLUDES(mu_);
  // Removes the component from its group and sends "stop" to the group's
  // host. 1 when "stop" was sent (or the group has no node name), else 0.
  int32_t StopComponent(const CZEVComponentContext& context) override EXCLUDES(mu_);
  // The same for a serialised context; kStartBadContext (0 for the stop)
  // when it does not parse.
  int32_t StartComponent(const char* bytes, uint32_t length) override EXCLUDES(mu_);
  int32_t StopComponant(const char* bytes, uint32_t length) override EXCLUDES(mu_);
  // Ends monitoring for good (no restart and no resend afterwards) and sends
  // "stopall" to every group's host; when any send fails, kills every
  // zevhost of this instance. Answers 1.
  int32_t StopAll() override EXCLUDES(mu_);

  // IZEVMonitorNotify: `changed` follows each refusal that the table takes.
  void SetTableChanged(std::function<void()> changed) override;

  // Keeps `observer` (one reference, released on destruction or the next
  // call); it is never called.
  virtual void SetObserver(IUnknownBase* observer) EXCLUDES(mu_);  // 9

  // IServiceCtrlConnectPoint: logs and answers 0.
  int32_t ReceiveSessionNotify(uint32_t event, uint32_t session, const void* data) override;

  // IPUBPlugin. Init starts the loop thread and joins the bus as
  // kMonitorNodeName + TickCount; it answers 0 even when the bus could not
  // be joined (every send then fails). Uninit ends the loop thread (and with
  // it monitoring, as Stop), reaps the hosts that ended, drops pending
  // resends, removes the status file and leaves the bus. Both from the
  // owner's thread.
  HRESULT Init(int32_t flags) override EXCLUDES(mu_);
  HRESULT Uninit() override EXCLUDES(mu_);

  // IPUBPluginRun. Start begins watching the host processes (once); Stop
  // ends it for good: once it answered (0), no host is reaped, restarted or
  // swept by the loop. Both from the owner's thread.
  HRESULT Start() override EXCLUDES(mu_);
  HRESULT Stop() override EXCLUDES(mu_);

  // IReceiver: a host's kStartRefusedMsgType from the current host of the
  // component's group, about the version recorded, marks the component
  // refused in the table and the status file, is logged as an error (log
  // level 3, journal priority err) and reported as an event of code 14, as
  // for a component whose host failed: it does not run. Every other message
  // is dropped. A host's kComponentEndedMsgType from the current host of
  // the component's group, about the version recorded, is reported as a
  // kComponentEnded. Texts are logged.
  HRESULT OnInput(const char* name, uint32_t length, const char* data) override EXCLUDES(mu_);
  HRESULT OnOutput(const char* text) override;
  HRESULT OnOutputLine(const char* text) override;

  // The monitor's node name (empty before Init).
  std::string node_name() const EXCLUDES(mu_);
  // Path of the host status file; empty when none is written.
  const std::string& status_path() const { return status_path_; }

 protected:
  // Ends the loop thread and leaves the bus.
  ~CZEVMonitor() override;

 private:
  struct Group {
    std::string name;
    std::string node_name;
    std::map<std::string, CZEVComponentContext> components;  // by componentID
    std::set<std::string> refused;  // componentIDs of `components` the host refused
  };
  // One per group: the host process and its restart budget.
  struct HostRecord {
    std::string executable;
    std::string first_node_name;
    std::string directory;  // with a trailing "/"
    std::string node_name;  // renewed at each restart
    std::string group_name;
    std::shared_ptr<zev::ProcessHandle> process;  // null while no process runs
    bool ever_ran = false;
    RestartBudget budget;
    RestartBackoff backoff;
    int64_t started_ms = 0;  // monotonic time of the last start of its process
    // While the host waits out its backoff: when it is started again; 0
    // otherwise.
    int64_t restart_due = 0;
  };
  // How a "start" to a group's host went.
  enum class SendResult { kSent, kFailed, kNoGroup };
  // One step of a group's queue to its host, taken in order: a "start" of
  // `context` sent once the host's node is on the bus (at most
  // host_presence_wait_ms after the step began), or, without a context, a
  // step that runs in its turn. `then` runs when it is done.
  struct Outgoing {
    bool send = true;
    CZEVComponentContext context;
    // One of a group's components started together (StartGroupComponents):
    // dropped when monitoring ended before its turn.
    bool batch = false;
    std::function<void(SendResult result, const std::string& node)> then;
    // Set when the step comes to the head of its queue.
    bool begun = false;
    bool tried = false;
    int64_t deadline = 0;  // of the wait for the node
    int listed_tries = 0;
    std::string node;  // the node last tried
  };
  // A "start" sent once more when it falls due (resends_).
  struct Resend {
    std::string group;
    CZEVComponentContext context;
  };
  // A caller's wait for the answer to its command; fields guarded by mu_.
  struct Reply {
    bool done = false;
    int32_t value = 0;
  };
  using Answer = std::function<void(int32_t)>;

  // ---- Commands ----
  // Runs `command` on the loop (or, with no loop thread, on this thread) and
  // waits until it called its Answer; the answer reaches the caller only
  // after the table the command left is published.
  int32_t Ask(std::function<void(const Answer&)> command) EXCLUDES(mu_);
  // Queues `command` for a running loop; dropped when none runs.
  void Post(std::function<void()> command) EXCLUDES(mu_);
  void EnsureLoop() EXCLUDES(mu_);
  void EndLoop() EXCLUDES(mu_);

  // ---- The loop (the driver: the loop thread, or the caller of Ask while
  // none runs). Everything below runs on it. ----
  void LoopMain() EXCLUDES(mu_);
  // One round: commands, what is due, the queues to the hosts, the table,
  // the answers; then the wait for more (unless `until` is answered).
  void RunRound(zev::Clock::PollWait* wait, const std::shared_ptr<Reply>& until) EXCLUDES(mu_);
  void WaitForWork(zev::Clock::PollWait* wait) EXCLUDES(mu_);
  void RunDue() EXCLUDES(mu_);
  int64_t NextDeadline() const;

  void DoStart();
  // Monitoring ends for good: no restarts, no watching, last attempts only.
  void EndMonitoring();
  void DoStartComponent(const CZEVComponentContext& context, const Answer& answer) EXCLUDES(mu_);
  int32_t DoStopComponent(const CZEVComponentContext& context) EXCLUDES(mu_);
  void DoStopAll() EXCLUDES(mu_);
  void OnHostEnded(const std::string& group, const std::shared_ptr<zev::ProcessHandle>& process) EXCLUDES(mu_);
  // Drops the record's process and, unless refused or stopping, starts the
  // host again under a new node name and starts its components in it.
  void CallRestartProc(const std::string& group) EXCLUDES(mu_);
  void Sweep() EXCLUDES(mu_);
  // Arms the sweep to fire sweep_ms from now (replacing the previous arming).
  void ArmSweep();
  // Starts a new host process for `record` under its node name; on success
  // the group takes that node name, the sweep is re-armed and a
  // kHostStarted is added to *events.
  bool StartProc(HostRecord* record, std::vector<MonitorEvent>* events);
  std::string NewNodeName(const HostRecord& record);
  // Tells the observer, if any, of each event in turn (the table published first).
  void Report(const std::vector<MonitorEvent>& events) EXCLUDES(mu_);
  // Queues "start" for every component of the group except `skip` to
  // `node`, each followed by a code-14 event when `report_events`; then
  // `done` in its turn.
  void StartGroupComponents(const std::string& group, const std::string& node, const std::string& skip,
                            bool report_events, std::function<void()> done) EXCLUDES(mu_);
  // Takes the heads of the queues to the hosts as far as they go now.
  void PumpOutgoing();
  // One attempt of the head `out` of `group`'s queue; false while it waits.
  bool TrySend(const std::string& group, Outgoing* out, SendResult* result);
  bool AnySendWaiting() const;
  bool NodeOnBus(const std::string& node);
  bool Send(const std::string& node, const std::string& msgtype, const std::string& payload);
  // Sends "start" of `context` once more in 15 s, unless the group no
  // longer holds that version of the component by then.
  void ScheduleStartResend(const std::string& group, const std::string& node, const CZEVComponentContext& context);
  void FireResend(const Resend& resend);
  void OnStartRefused(const std::string& host, const StartRefusal& refusal) EXCLUDES(mu_);
  void OnComponentEnded(const std::string& host, const ComponentEnd& end) EXCLUDES(mu_);
  // The group whose current host is `host` and that holds `component` of
  // `app` in `version`; null when there is none.
  Group* GroupSpeakingFor(const std::string& host, const std::string& app, const std::string& component,
                          const std::string& version);
  // Makes the table as the groups and records stand what GetProcessTable
  // answers, and returns it.
  std::shared_ptr<const std::vector<MonitorHostInfo>> Publish() EXCLUDES(mu_);
  // Publish, then the status file from that table.
  void WriteStatus() EXCLUDES(mu_);
  std::vector<MonitorHostInfo> BuildTable() const;
  void DeliverAnswers() EXCLUDES(mu_);

  zev::Clock* const clock_;
  const std::string host_dir_;  // with a trailing "/"
  const std::string bus_library_;
  const std::string status_path_;
  const std::function<void(const zev::EventElement&)> event_sink_;
  MonitorObserver* const event_observer_;
  const std::function<void(const std::string&, pid_t, const std::set<std::string>&)> confine_host_;
  const int64_t host_presence_wait_ms_;
  const int64_t start_resend_ms_;
  const int64_t sweep_ms_;
  const uint32_t restart_window_ms_;
  const uint32_t restart_budget_;
  const int64_t backoff_first_ms_, backoff_max_ms_, backoff_reset_ms_;
  std::function<void()> table_changed_;  // set before Init, read on the loop

  // ---- Shared with the callers and the bus's receiver thread ----
  mutable zev::Mutex mu_;
  std::condition_variable answered_;  // a Reply is done
  std::deque<std::function<void()>> commands_ GUARDED_BY(mu_);
  zev::Event wake_{zev::Event::ResetMode::kAuto};  // commands_ gained one
  bool loop_running_ GUARDED_BY(mu_) = false;
  bool loop_ended_ GUARDED_BY(mu_) = false;  // no loop thread starts again
  std::thread::id loop_id_ GUARDED_BY(mu_);
  std::shared_ptr<const std::vector<MonitorHostInfo>> table_ GUARDED_BY(mu_);
  // Set by Init; the receiver thread reads it.
  std::string node_name_ GUARDED_BY(mu_);
  IUnknownBase* observer_ GUARDED_BY(mu_) = nullptr;
  // Started by EnsureLoop, joined by EndLoop (owner's thread only).
  std::thread loop_thread_;

  // ---- The driver's alone ----
  CRpcTermSettings term_;
  std::map<std::string, Group> groups_;
  std::map<std::string, HostRecord> hosts_;  // by group name
  std::map<std::string, std::deque<Outgoing>> outgoing_;  // by group name
  std::multimap<int64_t, Resend> resends_;  // by due time
  std::vector<std::pair<std::shared_ptr<Reply>, int32_t>> answers_;  // given at the end of the round
  int64_t sweep_deadline_ = zev::Clock::kNoDeadline;
  int64_t pause_until_ = 0;  // after poll() failed, the pidfds wait until then
  bool watching_ = false;    // Start ran and monitoring goes on
  bool exiting_ = false;     // StopAll, Stop or Uninit ran
  bool stop_all_sent_ = false;  // the hosts are ending; Uninit waits a little for them
  bool loop_exit_ = false;   // the loop thread returns after this round
  bool closed_ = false;      // Uninit ran: no status file, no resends
};

}  // namespace pubsdk

#endif  // ZEV_HOSTING_MONITOR_H_
