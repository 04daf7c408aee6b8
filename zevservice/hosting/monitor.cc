#include "hosting/monitor.h"

#include <pthread.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "bus/envelope.h"
#include "bus/runtime_log.h"
#include "hosting/host_status.h"
#include "platform/instance_processes.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace pubsdk {

const char kMonitorNodeName[] = "zev-monitor-{6D0D8672-16C9-41E7-BE4F-B88DEBB4D15B}";
const char kHostNodeNamePrefix[] = "zevhost-6D0D8672-16C9-41E7-BE4F-B88DEBB4D15B-";
const char kNodeIndexMarker[] = "--nodeindex";
const char kHostExecutable[] = "zevhost";

namespace {

constexpr int64_t kWaitFailedPauseMs = 2000;      // after the wait for the hosts failed
constexpr int64_t kHostWaitRealLimitMs = 10000;   // the wait for a host on a clock that stands still
constexpr int kNodePollMs = 5;                    // real time between bus listings
constexpr int kListedSendTries = 200;             // sends to a listed node before giving up
constexpr char kStopAllPayload[] = "stopall";

void Log(const std::string& text) { LogWrite(kLogInfo, "%s", text.c_str()); }

void Logf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Logf(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  LogWrite(kLogInfo, "%s", text);
}

std::string WithTrailingSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

bool ProcessEnded(const ProcessHandle& process) {
  struct pollfd fd = {process.WaitFd(), POLLIN, 0};
  return poll(&fd, 1, 0) > 0;
}

// SIGKILL through the pidfd: safe from any thread, and never reaches another
// process that took over the id.
void KillThroughPidfd(const ProcessHandle& process) {
  syscall(SYS_pidfd_send_signal, process.WaitFd(), SIGKILL, nullptr, 0);
}

std::string DefaultStatusPath(const std::string& run_dir) {
  const std::string dir = run_dir.empty() ? GetRuntimeDir() : run_dir;
  return dir.empty() ? std::string() : JoinPath(dir, kHostStatusFileName);
}

std::function<void(const EventElement&)> DefaultEventSink() {
  return [](const EventElement& event) { GetEventReporter().QueueEvents({event}); };
}

MonitorEvent EndedEvent(const std::string& group, ProcessHandle& process) {
  MonitorEvent event;
  event.kind = MonitorEvent::Kind::kHostEnded;
  event.group = group;
  event.pid = process.pid();
  event.exit_code = process.ExitCode();
  return event;
}

}  // namespace

std::string HostArgumentFor(const std::string& node_name) {
  size_t marker = node_name.rfind(kNodeIndexMarker);
  if (marker == std::string::npos) return std::string();
  return node_name.substr(0, marker) + ":" + node_name.substr(marker);
}

EventElement MakeRestartEvent(const CZEVComponentContext& context, int64_t wall_millis) {
  EventElement event;
  event.appCode = context.appcode();
  event.componentLibraryId = context.componentid();
  event.version = context.version();
  event.eventState = 14;
  event.eventTimestamp = wall_millis;
  event.eventMessage = "exceptexit";
  event.eventContent = "component is  exit by some exception.";
  return event;
}

CZEVMonitor::CZEVMonitor(Options options)
    : clock_(options.clock != nullptr ? options.clock : Clock::Real()),
      host_dir_(WithTrailingSlash(options.host_dir.empty() ? GetModuleDir() : options.host_dir)),
      bus_library_(options.bus_library),
      status_path_(DefaultStatusPath(options.run_dir)),
      event_sink_(options.event_sink ? options.event_sink : DefaultEventSink()),
      event_observer_(options.observer),
      host_presence_wait_ms_(options.host_presence_wait_ms),
      start_resend_ms_(options.start_resend_ms),
      sweep_ms_(options.sweep_ms),
      restart_window_ms_(static_cast<uint32_t>(options.restart_window_ms)),
      restart_budget_(static_cast<uint32_t>(options.restart_budget)),
      timer_(std::make_unique<TaskTimer>(clock_)) {
  const std::string common = GetCommonDataDir();
  if (!common.empty()) {
    const std::string data_dir = common + "/Varnel/ZEV/2.0/";
    if (CreateDirectories(data_dir)) LogInit(data_dir, "zevservice");
  }
}

CZEVMonitor::~CZEVMonitor() {
  SignalExit();
  StopThreads();
  try {
    timer_.reset();
  } catch (...) {
    LogWrite(kLogError, "%s", "An unknown exception has occurred while releasing the timer.");
  }
  {
    MutexLock lock(&send_mu_);
    term_.Leave();
  }
  if (observer_ != nullptr) observer_->Release();
}

HRESULT CZEVMonitor::QueryInterface(const GUID& iid, void** out) {
  if (out == nullptr) return kE_POINTER;
  if (iid == IID_IUnknown || iid == IID_IZEVMonitor) {
    *out = static_cast<IZEVMonitor*>(this);
  } else if (iid == IID_IZEVMonitorNotify) {
    *out = static_cast<IZEVMonitorNotify*>(this);
  } else if (iid == IID_IServiceCtrlConnectPoint) {
    *out = static_cast<IServiceCtrlConnectPoint*>(this);
  } else if (iid == IID_IPUBPlugin) {
    *out = static_cast<IPUBPlugin*>(this);
  } else if (iid == IID_IPUBPluginRun) {
    *out = static_cast<IPUBPluginRun*>(this);
  } else if (iid == IID_IReceiver) {
    *out = static_cast<IReceiver*>(this);
  } else {
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  AddRefImpl();
  return kS_OK;
}

uint32_t CZEVMonitor::AddRef() { return AddRefImpl(); }
uint32_t CZEVMonitor::Release() { return ReleaseImpl(); }

std::string CZEVMonitor::node_name() const {
  MutexLock lock(&send_mu_);
  return node_name_;
}

// ---- IPUBPlugin / IPUBPluginRun ----

HRESULT CZEVMonitor::Init(int32_t /*flags*/) {
  MutexLock lock(&send_mu_);
  if (!node_name_.empty()) return 0;
  node_name_ = std::string(kMonitorNodeName) + std::to_string(clock_->TickCount());
  if (!bus_library_.empty()) term_.SetLibraryPath(bus_library_);
  if (!term_.Join(node_name_, this)) Log("CZEVMonitor could not join the bus as " + node_name_);
  return 0;
}

HRESULT CZEVMonitor::Uninit() {
  Log("zevmonitor uninit !");
  SignalExit();
  StopThreads();
  // The monitor thread no longer reaps: the hosts that ended on "stopall"
  // are reaped here, each with its exit code (255 is a clean end), so that
  // the log shows how the stop went.
  std::vector<std::pair<std::string, std::shared_ptr<ProcessHandle>>> hosts;
  {
    MutexLock lock(&mu_);
    for (const auto& host : hosts_) {
      if (host.second.process) hosts.emplace_back(host.first, host.second.process);
    }
  }
  // After "stopall" the hosts are ending: a host whose main thread has
  // ended may still be ending its other threads. Up to a second for all.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(stop_all_sent_ ? 1000 : 0);
  std::vector<MonitorEvent> ended;
  for (const auto& host : hosts) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!ProcessEnded(*host.second) && !host.second->Wait(static_cast<int>(std::max<int64_t>(left.count(), 0)))) {
      Logf("CZEVMonitor host of group %s (pid %d) still runs", host.first.c_str(),
           static_cast<int>(host.second->pid()));
      continue;
    }
    Logf("CZEVMonitor host of group %s (pid %d) ended with %d", host.first.c_str(),
         static_cast<int>(host.second->pid()), host.second->ExitCode());
    ended.push_back(EndedEvent(host.first, *host.second));
  }
  Report(ended);
  // The monitor runs no host from now on; operators read that from a
  // missing table, not from the pids of hosts that are gone.
  if (!status_path_.empty()) {
    MutexLock lock(&status_mu_);
    status_closed_ = true;
    unlink(status_path_.c_str());
  }
  // Resends would use the term that is about to go.
  timer_.reset();
  MutexLock lock(&send_mu_);
  term_.Leave();
  return 0;
}

HRESULT CZEVMonitor::Start() {
  if (monitor_thread_.joinable() || exiting_) return 0;
  // What a previous run left there names hosts that are gone.
  WriteStatus();
  sweep_thread_ = std::thread(&CZEVMonitor::SweepClockLoop, this);
  pthread_setname_np(sweep_thread_.native_handle(), "zev-host-sweep");
  monitor_thread_ = std::thread(&CZEVMonitor::MonitorLoop, this);
  pthread_setname_np(monitor_thread_.native_handle(), "zev-monitor");
  return 0;
}

HRESULT CZEVMonitor::Stop() {
  Log("zevmonitor stop !");
  SignalExit();
  StopThreads();
  Log(" CZEVMonitor::NotifyZevExit  in ");
  Log(" CZEVMonitor::NotifyZevExit  out ");
  Log("zevmonitor stop ......end ");
  return 0;
}

void CZEVMonitor::SignalExit() {
  {
    std::lock_guard<std::mutex> lock(exit_mu_);
    exiting_ = true;
  }
  exit_cv_.notify_all();
  exit_event_.Set();
}

void CZEVMonitor::StopThreads() {
  if (monitor_thread_.joinable()) monitor_thread_.join();
  {
    MutexLock lock(&sweep_mu_);
    sweep_stop_ = true;
  }
  sweep_cv_.notify_all();
  if (sweep_thread_.joinable()) sweep_thread_.join();
}

// ---- IServiceCtrlConnectPoint, IReceiver, observer ----

int32_t CZEVMonitor::ReceiveSessionNotify(uint32_t /*event*/, uint32_t /*session*/, const void* /*data*/) {
  Log("CZEVMonitor ReceiveSessionNotify in\n");
  Log("CZEVMonitor ReceiveSessionNotify out\n");
  return 0;
}

void CZEVMonitor::SetTableChanged(std::function<void()> changed) { table_changed_ = std::move(changed); }

HRESULT CZEVMonitor::OnInput(const char* /*name*/, uint32_t length, const char* data) {
  if (data == nullptr || IsNameExchange(data, length)) return 0;
  Envelope envelope;
  std::string payload, why;
  StartRefusal refusal;
  if (!ParseEnvelope(std::string(data, length), &envelope) || envelope.msgtype != kStartRefusedMsgType ||
      !OpenEnvelope(envelope, ReceiverNodeName(), &payload, &why) || !ParseStartRefusal(payload, &refusal)) {
    return 0;
  }
  OnStartRefused(envelope.clientname, refusal);
  return 0;
}

void CZEVMonitor::OnStartRefused(const std::string& host, const StartRefusal& refusal) {
  std::string group_name;
  CZEVComponentContext context;
  {
    MutexLock lock(&mu_);
    // Only the group's current host speaks for it, and only of the version
    // it was asked for last.
    for (auto& group : groups_) {
      if (group.second.node_name != host) continue;
      auto c = group.second.components.find(refusal.component_id);
      if (c != group.second.components.end() && c->second.appcode() == refusal.app_code &&
          c->second.version() == refusal.version) {
        group.second.refused.insert(c->first);
        group_name = group.first;
        context = c->second;
      }
      break;
    }
  }
  const std::string what = EscapeControlCharacters(refusal.app_code + "/" + refusal.component_id + " " +
                                                   refusal.version);
  if (group_name.empty()) {
    LogWrite(kLogWarning, "A refused start of %s from %s is dropped: not what that node runs now.", what.c_str(),
             EscapeControlCharacters(host).c_str());
    return;
  }
  const std::string text = "The component " + what + " does not run: its host " + EscapeControlCharacters(host) +
                           " (group " + EscapeControlCharacters(group_name) + ") refused to start it: " +
                           EscapeControlCharacters(refusal.reason);
  LogWrite(kLogError, "%s", text.c_str());
  DebugPrintAt(kJournalError, "%s", text.c_str());
  WriteStatus();
  event_sink_(MakeRestartEvent(context, clock_->WallMillis()));
  MonitorEvent event;
  event.kind = MonitorEvent::Kind::kComponentRefused;
  event.group = group_name;
  event.node = host;
  event.component = refusal.component_id;
  event.version = refusal.version;
  event.reason = refusal.reason;
  Report({event});
  if (table_changed_) table_changed_();
}

void CZEVMonitor::Report(const std::vector<MonitorEvent>& events) {
  if (event_observer_ == nullptr) return;
  for (const MonitorEvent& event : events) event_observer_->OnMonitorEvent(event);
}

HRESULT CZEVMonitor::OnOutput(const char* text) {
  if (text != nullptr) Log(text);
  return 0;
}

HRESULT CZEVMonitor::OnOutputLine(const char* text) {
  if (text != nullptr) Log(text);
  return 0;
}

void CZEVMonitor::SetObserver(IUnknownBase* observer) {
  if (observer != nullptr) observer->AddRef();
  IUnknownBase* old;
  {
    MutexLock lock(&mu_);
    old = observer_;
    observer_ = observer;
  }
  if (old != nullptr) old->Release();
}

// ---- The tables ----

std::vector<MonitorHostInfo> CZEVMonitor::GetProcessTable() {
  std::vector<MonitorHostInfo> table;
  MutexLock lock(&mu_);
  for (const auto& entry : hosts_) {
    const HostRecord& r = entry.second;
    MonitorHostInfo info;
    info.group_name = r.group_name;
    info.node_name = r.node_name;
    info.pid = r.process ? r.process->pid() : 0;
    info.restart_count = r.budget.count();
    info.restart_refused = r.budget.refused();
    auto group = groups_.find(entry.first);
    if (group != groups_.end()) {
      for (const auto& component : group->second.components) info.components.push_back(component.first);
      info.refused.assign(group->second.refused.begin(), group->second.refused.end());
    }
    table.push_back(info);
  }
  return table;
}

int32_t CZEVMonitor::RemoveGroup(const std::string& group) {
  MutexLock lock(&mu_);
  groups_.erase(group);
  return 1;
}

void CZEVMonitor::WriteStatus() {
  if (status_path_.empty()) return;
  MutexLock lock(&status_mu_);
  if (status_closed_) return;
  if (!WriteHostStatus(status_path_, GetProcessTable())) Log("CZEVMonitor cannot write " + status_path_);
}

std::string CZEVMonitor::NewNodeNameLocked(const HostRecord& record) {
  // A restart within the same millisecond (or on a clock that stands still)
  // must still give the new host a name of its own.
  uint32_t tick = clock_->TickCount();
  const std::string base = std::string(kHostNodeNamePrefix) + record.group_name + kNodeIndexMarker;
  std::string name = base + std::to_string(tick);
  while (name == record.node_name) name = base + std::to_string(++tick);
  return name;
}

// ---- Starting hosts ----

bool CZEVMonitor::StartProcLocked(HostRecord* record, std::vector<MonitorEvent>* events) {
  const std::string dir = record->directory.empty() ? host_dir_ : record->directory;
  if (!DirectoryExists(dir)) {
    Log("CZEVMonitor StartProc: no folder " + dir);
    return false;
  }
  const std::string program = dir + record->executable;
  const std::string argument = HostArgumentFor(record->node_name);
  const std::string command_line = program + "  \"" + argument + "\"";
  Log(" ProcOp::StartProc   real new start proc :" + command_line);
  Log(" CZEVMonitor  StartProc 1011  " + command_line);
  StartOptions options;
  options.working_dir = dir;
  std::string why;
  // The host carries this instance's token, by which a later run of the
  // service (or "zevsvc uninstall") knows it for one of ours.
  std::unique_ptr<ProcessHandle> process = StartInstanceProcess({program, argument}, options, &why);
  if (!process) {
    Logf("CreateProcess %s:%s, error %d", program.c_str(), why.c_str(), errno);
    return false;
  }
  MonitorEvent started;
  started.kind = MonitorEvent::Kind::kHostStarted;
  started.group = record->group_name;
  started.node = record->node_name;
  started.pid = process->pid();
  events->push_back(started);
  record->process = std::move(process);
  record->ever_ran = true;
  auto group = groups_.find(record->group_name);
  if (group != groups_.end()) group->second.node_name = record->node_name;
  refresh_event_.Set();
  return true;
}

int32_t CZEVMonitor::StartComponent(const char* bytes, uint32_t length) {
  CZEVComponentContext context;
  if (bytes == nullptr || !context.ParseFromArray(bytes, static_cast<int>(length))) {
    Log("CZEVMonitor ParseFromArray Error, msg: " + (bytes ? std::string(bytes, length) : std::string()));
    return kStartBadContext;
  }
  const std::string group_name = context.manifest().params().pgroup();
  const std::string component = context.componentid();
  Log(" groupname &  componame:    " + group_name + ": " + component);

  bool host_came_up = false;  // a host that was not running before runs now
  bool others_waiting = false;
  bool joined = false;  // the component is new to its group
  bool was_refused = false;
  std::string node;
  std::vector<MonitorEvent> started;
  {
    MutexLock lock(&mu_);
    auto group = groups_.find(group_name);
    if (group == groups_.end()) {
      Log("group name is not exist , call new process zevhost.");
      Group fresh;
      fresh.name = group_name;
      fresh.node_name = std::string(kHostNodeNamePrefix) + group_name + kNodeIndexMarker +
                        std::to_string(clock_->TickCount());
      Log("new node name by GenNodeNameByProcessInfo " + fresh.node_name);
      group = groups_.emplace(group_name, std::move(fresh)).first;
    }
    others_waiting = !group->second.components.empty();
    joined = group->second.components.count(component) == 0;
    // The host answers this start anew.
    was_refused = group->second.refused.erase(component) > 0;
    // A newer context (another version) of the same component replaces the
    // old one, so that a restarted host starts what was asked for last.
    group->second.components[component] = context;

    auto host = hosts_.find(group_name);
    if (host == hosts_.end() && !exiting_) {
      Log("StartNewZevHost...");
      HostRecord record;
      record.executable = kHostExecutable;
      record.first_node_name = group->second.node_name;
      record.directory = host_dir_;
      record.node_name = group->second.node_name;
      record.group_name = group_name;
      record.budget = RestartBudget(restart_window_ms_, restart_budget_);
      host = hosts_.emplace(group_name, std::move(record)).first;
      // A failed start keeps the record without a process: the sweep and
      // the group's next StartComponent try again.
      host_came_up = StartProcLocked(&host->second, &started);
    } else if (host != hosts_.end() && !host->second.process && host->second.budget.allows_restart() && !exiting_) {
      host_came_up = StartProcLocked(&host->second, &started);
    }
    node = group->second.node_name;
  }
  if (host_came_up || joined || was_refused) WriteStatus();
  Report(started);
  // The components recorded while the group had no host are started too.
  if (host_came_up && others_waiting) StartGroupComponents(group_name, node, component, false);

  {
    MutexLock lock(&mu_);
    if (groups_.count(group_name) == 0) {
      Logf("There is no this group: %s", group_name.c_str());
      return kStartNoGroup;
    }
  }
  const std::string payload(bytes, length);
  if (SendToGroupHost(group_name, "start", payload, &node)) return kStartSent;
  Log("Failed to trans ParentMsg: " + node + " :  " + "start");
  ScheduleStartResend(group_name, node, context, payload);
  return kStartResendScheduled;
}

int32_t CZEVMonitor::StopComponant(const char* bytes, uint32_t length) {
  Log("ZEVMonitor StopComponant...");
  CZEVComponentContext context;
  if (bytes == nullptr || !context.ParseFromArray(bytes, static_cast<int>(length))) {
    Log("CZEVMonitor ParseFromArray Error, msg: " + (bytes ? std::string(bytes, length) : std::string()));
    return 0;
  }
  const std::string group_name = context.manifest().params().pgroup();
  Log(group_name);
  std::string node;
  {
    MutexLock lock(&mu_);
    auto group = groups_.find(group_name);
    if (group == groups_.end()) return 0;
    // The component leaves its group whatever becomes of the message, so a
    // restarted host does not start it again.
    group->second.components.erase(context.componentid());
    group->second.refused.erase(context.componentid());
    node = group->second.node_name;
  }
  WriteStatus();
  if (node.empty()) {
    Log("nodename is empty.");
    return 1;
  }
  Log(node);
  if (!Send(node, "stop", std::string(bytes, length))) return 0;
  Log("Trans msg to zevhost.");
  return 1;
}

int32_t CZEVMonitor::StopAll() {
  Log("ZEVMonitor StopAll...");
  stop_all_sent_ = true;
  SignalExit();
  std::vector<std::string> nodes;
  std::vector<std::shared_ptr<ProcessHandle>> processes;
  {
    // Taken after the exit flag is set: a restart under way either spawned
    // its host before (and the host is in the table now) or sees the flag
    // and spawns nothing.
    MutexLock lock(&mu_);
    for (const auto& group : groups_) nodes.push_back(group.second.node_name);
    for (const auto& host : hosts_) {
      if (host.second.process) processes.push_back(host.second.process);
    }
  }
  Logf("compo count:  %d", static_cast<int>(nodes.size()));
  bool all_sent = true;
  for (const std::string& node : nodes) {
    Log(node);
    if (!Send(node, "stopall", kStopAllPayload)) all_sent = false;
  }
  if (!all_sent) {
    Log("Need to terminate ZEVHost.exe.\n");
    if (!TerminateInstanceProcesses(kHostExecutable)) Logf("TerminateProcess failed, errno = %d.\n", errno);
    // Our own hosts go too, even one still between spawn and exec.
    for (const auto& process : processes) KillThroughPidfd(*process);
  }
  return 1;
}

// ---- Messages ----

bool CZEVMonitor::Send(const std::string& node, const std::string& msgtype, const std::string& payload) {
  MutexLock lock(&send_mu_);
  return term_.Send(node, msgtype, payload, clock_->TickCount());
}

bool CZEVMonitor::NodeOnBus(const std::string& node) {
  MutexLock lock(&send_mu_);
  IRpcTermEx* term = term_.term();
  if (term == nullptr || term->RefreshNodes() != kS_OK) return false;
  BusNodeRecord record;
  return term->GetNodeRecord(NameCrc(node), &record) == kS_OK;
}

bool CZEVMonitor::SendToGroupHost(const std::string& group, const std::string& msgtype,
                                  const std::string& payload, std::string* node_used) {
  const int64_t deadline = clock_->MonotonicMillis() + host_presence_wait_ms_;
  // A clock that does not move (a test's) must not keep a host that never
  // joins waited for without end. The limit is generous: on the real clock
  // the 2 s above always come first.
  const auto real_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHostWaitRealLimitMs);
  int listed_tries = 0;
  for (;;) {
    std::string node;
    std::shared_ptr<ProcessHandle> process;
    {
      MutexLock lock(&mu_);
      auto g = groups_.find(group);
      if (g != groups_.end()) node = g->second.node_name;
      auto h = hosts_.find(group);
      if (h != hosts_.end()) process = h->second.process;
    }
    if (node.empty()) return false;
    *node_used = node;
    // A host that is not running will not appear: no use waiting for it.
    const bool last_try = exiting_ || !process || ProcessEnded(*process) ||
                          clock_->MonotonicMillis() >= deadline || std::chrono::steady_clock::now() >= real_deadline ||
                          listed_tries >= kListedSendTries;
    if (last_try || NodeOnBus(node)) {
      if (Send(node, msgtype, payload)) return true;
      if (last_try) return false;
      // The bus lists a node from the moment it holds its lock, a little
      // before its socket listens.
      ++listed_tries;
    }
    std::unique_lock<std::mutex> lock(exit_mu_);
    exit_cv_.wait_for(lock, std::chrono::milliseconds(kNodePollMs), [&] { return exiting_.load(); });
  }
}

void CZEVMonitor::ScheduleStartResend(const std::string& group, const std::string& node,
                                      const CZEVComponentContext& context, const std::string& payload) {
  if (exiting_ || !timer_) return;
  Logf("Send the msg again after %llds: target node is %s, message type is: start.",
       static_cast<long long>(start_resend_ms_ / 1000), node.c_str());
  const std::string component = context.componentid();
  const std::string version = context.version();
  timer_->ScheduleMillis(start_resend_ms_, [this, group, node, component, version, payload](uint64_t) {
    if (exiting_) return;
    try {
      // The group's node of the moment: the host may have been restarted
      // under a new name meanwhile. A group that is gone has no host.
      std::string target = node;
      {
        MutexLock lock(&mu_);
        auto g = groups_.find(group);
        if (g == groups_.end()) return;
        // A component stopped or moved to another version meanwhile: this
        // start would bring back what was asked away.
        auto c = g->second.components.find(component);
        if (c == g->second.components.end() || c->second.version() != version) {
          Logf("The resend of start of %s %s is dropped: the component was stopped or changed.", component.c_str(),
               version.c_str());
          return;
        }
        target = g->second.node_name;
      }
      if (!Send(target, "start", payload)) LogWrite(kLogError, "%s", "Failed to send msg by timer.");
    } catch (...) {
      LogWrite(kLogError, "%s", "An unknown exception has occurred while send msg by timer.");
    }
  });
}

void CZEVMonitor::StartGroupComponents(const std::string& group, const std::string& node,
                                       const std::string& skip, bool report_events) {
  std::vector<CZEVComponentContext> contexts;
  bool refusals_dropped = false;
  {
    MutexLock lock(&mu_);
    auto g = groups_.find(group);
    if (g == groups_.end()) return;
    // Set before the loop, so that a group without components knows its new
    // host too.
    g->second.node_name = node;
    for (const auto& c : g->second.components) {
      if (c.first == skip) continue;
      contexts.push_back(c.second);
      // What the old host refused, the new one answers anew.
      refusals_dropped = g->second.refused.erase(c.first) > 0 || refusals_dropped;
    }
  }
  if (refusals_dropped) WriteStatus();
  Log(node);
  for (const CZEVComponentContext& context : contexts) {
    if (exiting_) return;
    const std::string payload = context.SerializeAsString();
    std::string target = node;
    const bool sent = SendToGroupHost(group, "start", payload, &target);
    Log(sent ? "TransParentMsg OK." : "TransParentMsg FALIED.");
    if (!sent) ScheduleStartResend(group, target, context, payload);
    if (report_events) event_sink_(MakeRestartEvent(context, clock_->WallMillis()));
  }
}

int32_t CZEVMonitor::NotifyToRestartAGroup(const std::string& group, const std::string& node) {
  Log("NotifyToRestartAGroup");
  StartGroupComponents(group, node, std::string(), true);
  return 1;
}

// ---- The monitor thread ----

void CZEVMonitor::ArmSweep() {
  {
    MutexLock lock(&sweep_mu_);
    sweep_deadline_ = clock_->MonotonicMillis() + sweep_ms_;
    ++sweep_generation_;
  }
  sweep_cv_.notify_all();
}

// Stands in for the hour-long time-out of the wait: poll() cannot wait on
// the injected clock, so this thread does and sets sweep_event_ when an
// armed deadline passes.
void CZEVMonitor::SweepClockLoop() {
  MutexLock lock(&sweep_mu_);
  while (!sweep_stop_) {
    const uint64_t generation = sweep_generation_;
    const int64_t deadline = sweep_deadline_;
    clock_->WaitUntil(lock.native(), sweep_cv_, deadline, [&] {
      sweep_mu_.AssertHeld();
      return sweep_stop_ || sweep_generation_ != generation;
    });
    if (sweep_stop_) break;
    // Fire for a deadline that passed even if the monitor re-armed meanwhile:
    // the hour went by either way.
    if (deadline != Clock::kNoDeadline && clock_->MonotonicMillis() >= deadline) {
      if (sweep_deadline_ == deadline) sweep_deadline_ = Clock::kNoDeadline;
      sweep_event_.Set();
    }
  }
}

void CZEVMonitor::MonitorLoop() {
  RuntimeLog("this is monity; ");
  size_t count;
  {
    MutexLock lock(&mu_);
    count = hosts_.size();
  }
  Logf(" CZEVMonitor  MonitorProc  monitor  %d  procs.", static_cast<int>(count));
  for (;;) {
    // Copies of the handles: each stays open for as long as it is polled,
    // whatever the tables do meanwhile, and an ended one is never polled
    // again (its record drops it before the next round).
    std::vector<std::pair<std::string, std::shared_ptr<ProcessHandle>>> watched;
    {
      MutexLock lock(&mu_);
      for (const auto& host : hosts_) {
        if (host.second.process) watched.emplace_back(host.first, host.second.process);
      }
    }
    std::vector<Waitable*> list = {&exit_event_, &refresh_event_, &sweep_event_};
    for (const auto& w : watched) list.push_back(w.second.get());
    ArmSweep();
    const int index = WaitForAny(list, kInfinite);
    if (index == 0) {
      Log("MonitorProc WAIT_OBJECT_0 Exit Event is setting......");
      Log("MonitorProc is end.....");
      return;
    }
    if (exiting_) {
      Log("MonitorProc WAIT_OBJECT_0 Exit flag is setting......");
      Log("MonitorProc is end.....");
      return;
    }
    if (index == 1) continue;
    if (index == 2) {
      Log("MonitorProc WAIT_TIMEOUT == dwRet.....");
      Sweep();
      continue;
    }
    if (index >= 3) {
      const auto& w = watched[static_cast<size_t>(index - 3)];
      OnHostEnded(w.first, w.second);
      continue;
    }
    Log("MonitorProc WAIT_FAILED == dwRet.....");
    std::unique_lock<std::mutex> lock(exit_mu_);
    clock_->WaitFor(lock, exit_cv_, kWaitFailedPauseMs, [&] { return exiting_.load(); });
  }
}

void CZEVMonitor::OnHostEnded(const std::string& group, const std::shared_ptr<ProcessHandle>& process) {
  Log("MonitorProc WAIT_OBJECT_0 Any Proc.....");
  // Only this thread reaps the hosts.
  const int code = process->ExitCode();
  Logf("CZEVMonitor host of group %s (pid %d) ended with %d", group.c_str(), static_cast<int>(process->pid()), code);
  Report({EndedEvent(group, *process)});
  {
    MutexLock lock(&mu_);
    auto host = hosts_.find(group);
    if (host == hosts_.end() || host->second.process != process) return;  // replaced meanwhile
    if (!RestartBudget::RestartsAfterExit(code)) {
      Log("MonitorProc  do not restart. PROC is exit normaly......");
      // Record and group go together, so that a StartComponent in between
      // cannot find one without the other.
      hosts_.erase(host);
      groups_.erase(group);
    }
  }
  if (!RestartBudget::RestartsAfterExit(code)) {
    WriteStatus();
    return;
  }
  if (code == kStillActive) {
    Logf("MonitorProc get return code by handle failed . handle is invalid ......%d", errno);
    // The process may still run; a second host for the group must not.
    process->Terminate();
  }
  CallRestartProc(group);
}

void CZEVMonitor::CallRestartProc(const std::string& group) {
  Log("CallRestartProc");
  bool restarted = false;
  bool report = false;
  std::string node;
  std::vector<MonitorEvent> events;
  MonitorEvent done;  // kHostRestarted or kRestartRefused
  done.group = group;
  {
    MutexLock lock(&mu_);
    auto host = hosts_.find(group);
    if (host == hosts_.end()) return;
    HostRecord& record = host->second;
    report = record.ever_ran;
    record.process.reset();
    if (exiting_) return;
    const bool refused = !record.budget.allows_restart();
    if (!refused) {
      record.node_name = NewNodeNameLocked(record);
      Log(record.node_name);
      restarted = StartProcLocked(&record, &events);
      if (restarted) {
        record.budget.CountRestart(clock_->TickCount(), clock_->UtcDay());
        done.pid = record.process->pid();
      }
    }
    node = record.node_name;
    done.kind = refused ? MonitorEvent::Kind::kRestartRefused : MonitorEvent::Kind::kHostRestarted;
    done.node = node;
    done.restart_count = record.budget.count();
    if (refused) events.push_back(done);
  }
  WriteStatus();
  Report(events);
  if (!restarted) return;
  if (report) {
    NotifyToRestartAGroup(group, node);
  } else {
    StartGroupComponents(group, node, std::string(), false);
  }
  Log("MonitorProc RestartProc    OK  .....");
  Report({done});
}

void CZEVMonitor::Sweep() {
  std::vector<std::string> down;
  std::vector<MonitorEvent> refused;
  {
    MutexLock lock(&mu_);
    for (auto& host : hosts_) {
      if (host.second.process) continue;
      if (host.second.budget.AllowsSweepRestart(clock_->TickCount(), clock_->UtcDay())) {
        down.push_back(host.first);
        continue;
      }
      MonitorEvent event;
      event.kind = MonitorEvent::Kind::kRestartRefused;
      event.group = host.first;
      event.node = host.second.node_name;
      event.restart_count = host.second.budget.count();
      refused.push_back(event);
    }
  }
  WriteStatus();
  Report(refused);
  for (const std::string& group : down) {
    if (exiting_) return;
    CallRestartProc(group);
  }
}

}  // namespace pubsdk
