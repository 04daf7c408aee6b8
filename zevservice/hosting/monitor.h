// CZEVMonitor: runs the components of the catalogue in host processes, one
// `zevhost` per process group, tells the hosts over the bus which components
// to start and stop, and starts a failed host again (within a restart budget)
// with every component of its group. What becomes of the hosts (started,
// ended, restarted, restart or component refused) it tells the observer
// of its options, as MonitorEvents.
//
// Calling order (the component manager): construct; Init(0); Start; then
// StartComponent / StopComponant any number of times from one thread; at
// shutdown StopAll, later Stop and Uninit; then Release.
//
// Threads: the caller's; the monitor thread (Start), which waits on the host
// processes and restarts them; a clock thread that wakes the monitor thread
// for the hourly sweep; the TaskTimer thread for resends; the bus's receiver
// thread. Every time the monitor waits for (the hourly sweep, the 2000 ms
// waits before "start", the 15 s resend, the 27-minute burst window and the
// budget date) is read from the injected Clock.
#ifndef ZEV_HOSTING_MONITOR_H_
#define ZEV_HOSTING_MONITOR_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "base/task_timer.h"
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

class ProcessHandle;

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
EventElement MakeRestartEvent(const CZEVComponentContext& context, int64_t wall_millis);

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
  };
  Kind kind = Kind::kHostStarted;
  std::string group;
  std::string node;
  pid_t pid = 0;
  // As ProcessHandle::ExitCode gives it: kHostExitNormally for a host that
  // was told to go, 128 + s for one killed by signal s.
  int exit_code = 0;
  uint32_t restart_count = 0;
  std::string component;  // componentID
  std::string version;
  std::string reason;
};

// Told of every MonitorEvent, on whichever thread of the monitor (or of its
// caller) made it happen, with none of the monitor's locks held; it may
// call the monitor's getters. Must be thread-safe.
class MonitorObserver {
 public:
  virtual ~MonitorObserver() = default;
  virtual void OnMonitorEvent(const MonitorEvent& event) = 0;
};

// What a monitor is built with; every field has a working default.
struct MonitorOptions {
  // Not owned; must outlive the monitor.
  Clock* clock = Clock::Real();
  // Folder holding zevhost (and the bus library it loads); empty: the
  // directory of the running executable.
  std::string host_dir;
  // The bus library for the monitor's own node; empty: libzevrpc.so beside
  // the running executable.
  std::string bus_library;
  // Folder of the host status file (host_status.h); empty: GetRuntimeDir().
  // When that is empty too, no status file is written.
  std::string run_dir;
  // Receives each code-14 event; empty: queued to GetEventReporter().
  // Called on the monitor thread.
  std::function<void(const EventElement&)> event_sink;
  // Not owned; must outlive the monitor. Null: no one is told.
  MonitorObserver* observer = nullptr;
  // The delays (base/timings.h names each); the composition root sets them
  // with SetTimings.
  int64_t host_presence_wait_ms = Timings().host_presence_wait_ms;
  int64_t start_resend_ms = Timings().start_resend_ms;
  int64_t sweep_ms = Timings().sweep_ms;
  int64_t restart_window_ms = Timings().restart_window_ms;
  int restart_budget = Timings().restart_budget;

  void SetTimings(const Timings& timings) {
    host_presence_wait_ms = timings.host_presence_wait_ms;
    start_resend_ms = timings.start_resend_ms;
    sweep_ms = timings.sweep_ms;
    restart_window_ms = timings.restart_window_ms;
    restart_budget = timings.restart_budget;
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

  // Opens the process log below the common data folder unless it is open
  // already. The object starts with one reference (the creator's).
  explicit CZEVMonitor(Options options = Options());
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
  int32_t NotifyToRestartAGroup(const std::string& group, const std::string& node) override;
  // Forgets the group (its host record stays). Answers 1.
  int32_t RemoveGroup(const std::string& group) override;
  // Records the context in its group (replacing an earlier context of the
  // same componentID, and forgetting that its host refused it), starts the
  // group's host when the group is new or its host never came up, waits up
  // to 2000 ms for the host's node and sends "start". Answers kStartSent,
  // kStartBadContext, kStartResendScheduled (one resend follows 15 s later)
  // or kStartNoGroup.
  int32_t StartComponent(const char* bytes, uint32_t length) override;
  // Removes the component from its group and sends "stop" to the group's
  // host. 1 when "stop" was sent (or the group has no node name), else 0.
  int32_t StopComponant(const char* bytes, uint32_t length) override;
  // Ends monitoring for good (no restart and no resend afterwards) and sends
  // "stopall" to every group's host; when any send fails, kills every
  // zevhost of this instance. Answers 1.
  int32_t StopAll() override;

  // IZEVMonitorNotify: `changed` follows each refusal that the table takes.
  void SetTableChanged(std::function<void()> changed) override;

  // Keeps `observer` (one reference, released on destruction or the next
  // call); it is never called.
  virtual void SetObserver(IUnknownBase* observer);  // 9

  // IServiceCtrlConnectPoint: logs and answers 0.
  int32_t ReceiveSessionNotify(uint32_t event, uint32_t session, const void* data) override;

  // IPUBPlugin. Init joins the bus as kMonitorNodeName + TickCount and
  // answers 0 even when the bus could not be joined (every send then fails).
  // Uninit stops the threads (as Stop), drops pending resends and leaves the
  // bus. Both from the owner's thread.
  HRESULT Init(int32_t flags) override;
  HRESULT Uninit() override;

  // IPUBPluginRun. Start starts the monitor thread once; Stop signals it,
  // joins it and answers 0. Both from the owner's thread.
  HRESULT Start() override;
  HRESULT Stop() override;

  // IReceiver: a host's kStartRefusedMsgType from the current host of the
  // component's group, about the version recorded, marks the component
  // refused in the table and the status file, is logged as an error (log
  // level 3, journal priority err) and reported as an event of code 14, as
  // for a component whose host failed: it does not run. Every other message
  // is dropped. Texts are logged.
  HRESULT OnInput(const char* name, uint32_t length, const char* data) override;
  HRESULT OnOutput(const char* text) override;
  HRESULT OnOutputLine(const char* text) override;

  // The monitor's node name (empty before Init).
  std::string node_name() const;
  // Path of the host status file; empty when none is written.
  const std::string& status_path() const { return status_path_; }

 protected:
  // Joins the threads, stops the timer and leaves the bus.
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
    std::shared_ptr<ProcessHandle> process;  // null while no process runs
    bool ever_ran = false;
    RestartBudget budget;
  };

  void MonitorLoop();
  void SweepClockLoop();
  // Arms the sweep to fire an hour from now (replacing the previous arming).
  void ArmSweep();
  void OnHostEnded(const std::string& group, const std::shared_ptr<ProcessHandle>& process) EXCLUDES(mu_);
  // Drops the record's process and, unless refused or stopping, starts the
  // host again under a new node name and starts its components in it.
  void CallRestartProc(const std::string& group) EXCLUDES(mu_);
  void Sweep() EXCLUDES(mu_);
  // Starts a new host process for `record` under its node name; on success
  // the group takes that node name, the monitor thread is woken and a
  // kHostStarted is added to *events (for Report once mu_ is released).
  bool StartProcLocked(HostRecord* record, std::vector<MonitorEvent>* events) REQUIRES(mu_);
  std::string NewNodeNameLocked(const HostRecord& record) REQUIRES(mu_);
  // Tells the observer, if any, of each event in turn.
  void Report(const std::vector<MonitorEvent>& events) EXCLUDES(mu_, send_mu_, status_mu_, sweep_mu_);
  // Sends "start" for every component of the group except `skip` to `node`.
  void StartGroupComponents(const std::string& group, const std::string& node, const std::string& skip,
                            bool report_events) EXCLUDES(mu_);
  // Sends to the group's current node, first waiting up to 2000 ms (clock)
  // for the host to take messages; the wait ends early when stopping or when
  // the group has no running host (one attempt is still made). *node_used is
  // the node last tried. True when the term answered S_OK.
  bool SendToGroupHost(const std::string& group, const std::string& msgtype, const std::string& payload,
                       std::string* node_used) EXCLUDES(mu_);
  bool NodeOnBus(const std::string& node) EXCLUDES(send_mu_);
  bool Send(const std::string& node, const std::string& msgtype, const std::string& payload) EXCLUDES(send_mu_);
  // Sends "start" of `context` (serialised as `payload`) once more in 15 s,
  // unless the group no longer holds that version of the component by then.
  void ScheduleStartResend(const std::string& group, const std::string& node, const CZEVComponentContext& context,
                           const std::string& payload);
  void OnStartRefused(const std::string& host, const StartRefusal& refusal) EXCLUDES(mu_);
  // node_name_ for the bus's receiver thread: set by Init before the term
  // delivers anything and never again, so read without send_mu_, which
  // Uninit holds while it waits for that thread.
  const std::string& ReceiverNodeName() const NO_THREAD_SAFETY_ANALYSIS { return node_name_; }
  void SignalExit();
  void StopThreads();
  void WriteStatus() EXCLUDES(mu_, status_mu_);

  Clock* const clock_;
  const std::string host_dir_;  // with a trailing "/"
  const std::string bus_library_;
  const std::string status_path_;
  const std::function<void(const EventElement&)> event_sink_;
  MonitorObserver* const event_observer_;
  const int64_t host_presence_wait_ms_;
  const int64_t start_resend_ms_;
  const int64_t sweep_ms_;
  const uint32_t restart_window_ms_;
  const uint32_t restart_budget_;
  std::function<void()> table_changed_;  // set before Init, read on the bus's receiver thread

  std::atomic<bool> exiting_{false};
  // StopAll ran: the hosts are ending, and Uninit waits a little for them.
  std::atomic<bool> stop_all_sent_{false};
  Event exit_event_{Event::ResetMode::kManual};
  Event refresh_event_{Event::ResetMode::kAuto};
  Event sweep_event_{Event::ResetMode::kAuto};
  // Lets the 2000 ms waits end at once when exiting_ is set.
  std::mutex exit_mu_;
  std::condition_variable exit_cv_;

  // Held for every send, every node listing and for joining and leaving the
  // bus, so that no send runs while the term goes away.
  mutable Mutex send_mu_;
  CRpcTermSettings term_ GUARDED_BY(send_mu_);
  std::string node_name_ GUARDED_BY(send_mu_);

  Mutex mu_;
  std::map<std::string, Group> groups_ GUARDED_BY(mu_);
  std::map<std::string, HostRecord> hosts_ GUARDED_BY(mu_);  // by group name
  IUnknownBase* observer_ GUARDED_BY(mu_) = nullptr;

  // Writes of the status file, one at a time and each from a fresh snapshot.
  Mutex status_mu_;
  bool status_closed_ GUARDED_BY(status_mu_) = false;  // Uninit removed the file

  Mutex sweep_mu_;
  std::condition_variable sweep_cv_;
  int64_t sweep_deadline_ GUARDED_BY(sweep_mu_) = Clock::kNoDeadline;
  uint64_t sweep_generation_ GUARDED_BY(sweep_mu_) = 0;
  bool sweep_stop_ GUARDED_BY(sweep_mu_) = false;

  std::unique_ptr<TaskTimer> timer_;  // resends; reset by Uninit
  // Started by Start, joined by StopThreads (owner's thread only).
  std::thread monitor_thread_;
  std::thread sweep_thread_;
};

}  // namespace pubsdk

#endif  // ZEV_HOSTING_MONITOR_H_
