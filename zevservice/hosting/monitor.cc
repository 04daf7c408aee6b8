#include "hosting/monitor.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "base/metrics.h"
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

constexpr int64_t kWaitFailedPauseMs = 2000;  // after the wait for the hosts failed
constexpr int kNodePollMs = 5;                // real time between bus listings
constexpr int kListedSendTries = 200;         // sends to a listed node before giving up
constexpr int64_t kStopAllGraceMs = 1000;     // real time Uninit gives hosts told "stopall"
constexpr char kStopAllPayload[] = "stopall";

void Log(const std::string& text) { zev::LogWrite(zev::kLogInfo, "%s", text.c_str()); }

void Logf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Logf(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  zev::LogWrite(zev::kLogInfo, "%s", text);
}

std::string WithTrailingSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

bool ProcessEnded(const zev::ProcessHandle& process) {
  struct pollfd fd = {process.WaitFd(), POLLIN, 0};
  return poll(&fd, 1, 0) > 0;
}

// SIGKILL through the pidfd: safe from any thread, and never reaches another
// process that took over the id.
void KillThroughPidfd(const zev::ProcessHandle& process) {
  syscall(SYS_pidfd_send_signal, process.WaitFd(), SIGKILL, nullptr, 0);
}

MonitorEvent EndedEvent(const std::string& group, zev::ProcessHandle& process) {
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

zev::EventElement MakeRestartEvent(const CZEVComponentContext& context, int64_t wall_millis) {
  zev::EventElement event;
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
    : clock_(options.clock),
      host_dir_(WithTrailingSlash(options.host_dir.empty() ? zev::GetModuleDir() : options.host_dir)),
      bus_library_(options.bus_library),
      status_path_(options.run_dir.empty() ? std::string() : zev::JoinPath(options.run_dir, kHostStatusFileName)),
      event_sink_(std::move(options.event_sink)),
      event_observer_(options.observer),
      confine_host_(std::move(options.confine_host)),
      host_presence_wait_ms_(options.host_presence_wait_ms),
      start_resend_ms_(options.start_resend_ms),
      sweep_ms_(options.sweep_ms),
      restart_window_ms_(static_cast<uint32_t>(options.restart_window_ms)),
      restart_budget_(static_cast<uint32_t>(options.restart_budget)),
      backoff_first_ms_(options.restart_backoff_first_ms),
      backoff_max_ms_(options.restart_backoff_max_ms),
      backoff_reset_ms_(options.restart_backoff_reset_ms),
      term_(options.common_dir) {
  zev::MutexLock lock(&mu_);
  table_ = std::make_shared<const std::vector<MonitorHostInfo>>();
}

CZEVMonitor::~CZEVMonitor() {
  EndLoop();
  term_.Leave();
  IUnknownBase* observer;
  {
    zev::MutexLock lock(&mu_);
    observer = observer_;
  }
  if (observer != nullptr) observer->Release();
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
  zev::MutexLock lock(&mu_);
  return node_name_;
}

// ---- Commands ----

int32_t CZEVMonitor::Ask(std::function<void(const Answer&)> command) {
  auto reply = std::make_shared<Reply>();
  Answer answer = [this, reply](int32_t value) { answers_.emplace_back(reply, value); };
  bool on_loop;
  {
    zev::MutexLock lock(&mu_);
    if (loop_running_ && std::this_thread::get_id() == loop_id_) {
      // Only an observer or the table-changed callback could call from
      // there; waiting for the loop on the loop would never end.
      zev::LogWrite(zev::kLogError, "%s", "CZEVMonitor was called from its own thread; the call is refused.");
      return -1;
    }
    commands_.push_back([command, answer] { command(answer); });
    on_loop = loop_running_;
  }
  if (on_loop) {
    wake_.Set();
    zev::MutexLock lock(&mu_);
    answered_.wait(lock.native(), [&] {
      mu_.AssertHeld();
      return reply->done;
    });
    return reply->value;
  }
  // No loop thread: this thread runs the rounds until the answer is there.
  zev::Clock::PollWait wait(clock_);
  for (;;) {
    RunRound(&wait, reply);
    zev::MutexLock lock(&mu_);
    if (reply->done) return reply->value;
  }
}

void CZEVMonitor::Post(std::function<void()> command) {
  {
    zev::MutexLock lock(&mu_);
    if (!loop_running_) return;
    commands_.push_back(std::move(command));
  }
  wake_.Set();
}

void CZEVMonitor::EnsureLoop() {
  zev::MutexLock lock(&mu_);
  if (loop_running_ || loop_ended_) return;
  loop_running_ = true;
  loop_thread_ = std::thread(&CZEVMonitor::LoopMain, this);
  loop_id_ = loop_thread_.get_id();
  pthread_setname_np(loop_thread_.native_handle(), "zev-monitor");
}

void CZEVMonitor::EndLoop() {
  {
    zev::MutexLock lock(&mu_);
    loop_ended_ = true;
    if (!loop_running_) return;
    commands_.push_back([this] {
      EndMonitoring();
      loop_exit_ = true;
    });
  }
  wake_.Set();
  loop_thread_.join();
  // What the bus's receiver posted meanwhile is dropped with the loop.
  zev::MutexLock lock(&mu_);
  loop_running_ = false;
  commands_.clear();
}

// ---- IPUBPlugin / IPUBPluginRun ----

HRESULT CZEVMonitor::Init(int32_t /*flags*/) {
  std::string node;
  {
    zev::MutexLock lock(&mu_);
    if (!node_name_.empty()) return 0;
    node_name_ = std::string(kMonitorNodeName) + std::to_string(clock_->TickCount());
    node = node_name_;
  }
  // The term is joined before the loop takes it over.
  if (!bus_library_.empty()) term_.SetLibraryPath(bus_library_);
  if (!term_.Join(node, this)) Log("CZEVMonitor could not join the bus as " + node);
  EnsureLoop();
  return 0;
}

HRESULT CZEVMonitor::Uninit() {
  Log("zevmonitor uninit !");
  EndLoop();
  // This thread has the tables from now on.
  EndMonitoring();
  // The loop no longer reaps: the hosts that ended on "stopall" are reaped
  // here, each with its exit code (255 is a clean end), so that the log
  // shows how the stop went.
  std::vector<std::pair<std::string, std::shared_ptr<zev::ProcessHandle>>> hosts;
  for (const auto& host : hosts_) {
    if (host.second.process) hosts.emplace_back(host.first, host.second.process);
  }
  // After "stopall" the hosts are ending: a host whose main thread has
  // ended may still be ending its other threads. Up to a second of real
  // time for all: this waits on processes, not on a timer of the service.
  const int64_t deadline = zev::MonotonicMillis() + (stop_all_sent_ ? kStopAllGraceMs : 0);
  std::vector<MonitorEvent> ended;
  for (const auto& host : hosts) {
    const int64_t left = std::max<int64_t>(deadline - zev::MonotonicMillis(), 0);
    if (!ProcessEnded(*host.second) && !host.second->Wait(static_cast<int>(left))) {
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
  closed_ = true;
  if (!status_path_.empty()) unlink(status_path_.c_str());
  // Resends and waiting starts would use the term that is about to go.
  resends_.clear();
  outgoing_.clear();
  term_.Leave();
  return 0;
}

HRESULT CZEVMonitor::Start() {
  return Ask([this](const Answer& answer) {
    DoStart();
    answer(0);
  });
}

HRESULT CZEVMonitor::Stop() {
  Log("zevmonitor stop !");
  Ask([this](const Answer& answer) {
    EndMonitoring();
    answer(0);
  });
  Log(" CZEVMonitor::NotifyZevExit  in ");
  Log(" CZEVMonitor::NotifyZevExit  out ");
  Log("zevmonitor stop ......end ");
  return 0;
}

void CZEVMonitor::DoStart() {
  if (watching_ || exiting_) return;
  // What a previous run left there names hosts that are gone.
  WriteStatus();
  watching_ = true;
  RuntimeLog("this is monity; ");
  Logf(" CZEVMonitor  MonitorProc  monitor  %d  procs.", static_cast<int>(hosts_.size()));
  ArmSweep();
}

void CZEVMonitor::EndMonitoring() {
  exiting_ = true;
  if (!watching_) return;
  watching_ = false;
  Log("MonitorProc WAIT_OBJECT_0 Exit Event is setting......");
  Log("MonitorProc is end.....");
}

// ---- The loop ----

void CZEVMonitor::LoopMain() {
  zev::Clock::PollWait wait(clock_);
  while (!loop_exit_) RunRound(&wait, nullptr);
}

void CZEVMonitor::RunRound(zev::Clock::PollWait* wait, const std::shared_ptr<Reply>& until) {
  std::deque<std::function<void()>> commands;
  {
    zev::MutexLock lock(&mu_);
    commands.swap(commands_);
  }
  for (const auto& command : commands) {
    try {
      command();
    } catch (const std::exception& e) {
      zev::LogWrite(zev::kLogError, "CZEVMonitor: a command failed: %s", e.what());
    }
  }
  RunDue();
  PumpOutgoing();
  Publish();
  DeliverAnswers();
  if (loop_exit_) return;
  if (until) {
    zev::MutexLock lock(&mu_);
    if (until->done) return;
  }
  WaitForWork(wait);
}

int64_t CZEVMonitor::NextDeadline() const {
  int64_t next = zev::Clock::kNoDeadline;
  if (watching_) next = std::min(next, pause_until_ != 0 ? pause_until_ : sweep_deadline_);
  if (watching_) {
    for (const auto& host : hosts_) {
      if (host.second.restart_due != 0) next = std::min(next, host.second.restart_due);
    }
  }
  if (!resends_.empty()) next = std::min(next, resends_.begin()->first);
  for (const auto& queue : outgoing_) {
    if (!queue.second.empty() && queue.second.front().begun) next = std::min(next, queue.second.front().deadline);
  }
  return next;
}

void CZEVMonitor::WaitForWork(zev::Clock::PollWait* wait) {
  std::vector<struct pollfd> fds;
  fds.push_back({wake_.WaitFd(), POLLIN, 0});
  if (wait->fd() >= 0) fds.push_back({wait->fd(), POLLIN, 0});
  const size_t first_host = fds.size();
  // Copies of the handles: each stays open for as long as it is polled,
  // whatever the tables do meanwhile.
  std::vector<std::pair<std::string, std::shared_ptr<zev::ProcessHandle>>> watched;
  if (watching_ && pause_until_ == 0) {
    for (const auto& host : hosts_) {
      if (!host.second.process) continue;
      watched.emplace_back(host.first, host.second.process);
      fds.push_back({host.second.process->WaitFd(), POLLIN, 0});
    }
  }
  int timeout = wait->TimeoutMs(NextDeadline());
  // A start waiting for its host's node looks at the bus again soon.
  if (AnySendWaiting() && (timeout < 0 || timeout > kNodePollMs)) timeout = kNodePollMs;
  if (poll(fds.data(), fds.size(), timeout) < 0) {
    if (errno == EINTR) return;
    Log("MonitorProc WAIT_FAILED == dwRet.....");
    pause_until_ = clock_->MonotonicMillis() + kWaitFailedPauseMs;
    return;
  }
  if (fds[0].revents != 0) wake_.TryAcquire();
  if (wait->fd() >= 0 && fds[1].revents != 0) wait->Clear();
  for (size_t i = 0; i < watched.size(); ++i) {
    if (fds[first_host + i].revents != 0 && watching_) OnHostEnded(watched[i].first, watched[i].second);
  }
}

void CZEVMonitor::RunDue() {
  if (pause_until_ != 0 && clock_->MonotonicMillis() >= pause_until_) pause_until_ = 0;
  if (watching_ && clock_->MonotonicMillis() >= sweep_deadline_) {
    Log("MonitorProc WAIT_TIMEOUT == dwRet.....");
    Sweep();
    ArmSweep();
  }
  if (watching_) {
    std::vector<std::string> due;
    for (auto& host : hosts_) {
      if (host.second.restart_due == 0 || host.second.restart_due > clock_->MonotonicMillis()) continue;
      host.second.restart_due = 0;
      due.push_back(host.first);
    }
    for (const std::string& group : due) {
      if (!watching_) break;
      CallRestartProc(group);
    }
  }
  while (!resends_.empty() && resends_.begin()->first <= clock_->MonotonicMillis()) {
    const Resend resend = std::move(resends_.begin()->second);
    resends_.erase(resends_.begin());
    FireResend(resend);
  }
}

void CZEVMonitor::ArmSweep() { sweep_deadline_ = clock_->MonotonicMillis() + sweep_ms_; }

void CZEVMonitor::DeliverAnswers() {
  if (answers_.empty()) return;
  {
    zev::MutexLock lock(&mu_);
    for (const auto& answer : answers_) {
      answer.first->done = true;
      answer.first->value = answer.second;
    }
  }
  answers_.clear();
  answered_.notify_all();
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
  if (!ParseEnvelope(std::string(data, length), &envelope) ||
      (envelope.msgtype != kStartRefusedMsgType && envelope.msgtype != kComponentEndedMsgType) ||
      !OpenEnvelope(envelope, node_name(), &payload, &why)) {
    return 0;
  }
  const std::string host = envelope.clientname;
  if (envelope.msgtype == kStartRefusedMsgType) {
    StartRefusal refusal;
    if (ParseStartRefusal(payload, &refusal)) Post([this, host, refusal] { OnStartRefused(host, refusal); });
    return 0;
  }
  ComponentEnd end;
  if (ParseComponentEnd(payload, &end)) Post([this, host, end] { OnComponentEnded(host, end); });
  return 0;
}

CZEVMonitor::Group* CZEVMonitor::GroupSpeakingFor(const std::string& host, const std::string& app,
                                                  const std::string& component, const std::string& version) {
  // Only the group's current host speaks for it, and only of the version it
  // was asked for last.
  for (auto& group : groups_) {
    if (group.second.node_name != host) continue;
    auto c = group.second.components.find(component);
    if (c != group.second.components.end() && c->second.appcode() == app && c->second.version() == version) {
      return &group.second;
    }
    return nullptr;
  }
  return nullptr;
}

void CZEVMonitor::OnComponentEnded(const std::string& host, const ComponentEnd& end) {
  const std::string what =
      zev::EscapeControlCharacters(end.app_code + "/" + end.component_id + " " + end.version);
  Group* group = GroupSpeakingFor(host, end.app_code, end.component_id, end.version);
  if (group == nullptr) {
    zev::LogWrite(zev::kLogWarning, "An end of %s from %s is dropped: not what that node runs now.", what.c_str(),
                  zev::EscapeControlCharacters(host).c_str());
    return;
  }
  MonitorEvent event;
  event.kind = MonitorEvent::Kind::kComponentEnded;
  event.group = group->name;
  event.node = host;
  event.app = end.app_code;
  event.component = end.component_id;
  event.version = end.version;
  event.exit_code = end.signal != 0 ? 128 + end.signal : end.exit_code;
  zev::LogWrite(end.signal != 0 || end.exit_code != 0 ? zev::kLogWarning : zev::kLogInfo,
                "The process of %s ended with %s %d.", what.c_str(), end.signal != 0 ? "signal" : "exit code",
                end.signal != 0 ? end.signal : end.exit_code);
  Report({event});
}

void CZEVMonitor::OnStartRefused(const std::string& host, const StartRefusal& refusal) {
  std::string group_name;
  CZEVComponentContext context;
  Group* group = GroupSpeakingFor(host, refusal.app_code, refusal.component_id, refusal.version);
  if (group != nullptr) {
    group->refused.insert(refusal.component_id);
    group_name = group->name;
    context = group->components[refusal.component_id];
  }
  const std::string what = zev::EscapeControlCharacters(refusal.app_code + "/" + refusal.component_id + " " +
                                                        refusal.version);
  if (group_name.empty()) {
    zev::LogWrite(zev::kLogWarning, "A refused start of %s from %s is dropped: not what that node runs now.",
                  what.c_str(), zev::EscapeControlCharacters(host).c_str());
    return;
  }
  const std::string text = "The component " + what + " does not run: its host " + zev::EscapeControlCharacters(host) +
                           " (group " + zev::EscapeControlCharacters(group_name) + ") refused to start it: " +
                           zev::EscapeControlCharacters(refusal.reason);
  zev::LogWrite(zev::kLogError, "%s", text.c_str());
  zev::DebugPrintAt(zev::kJournalError, "%s", text.c_str());
  WriteStatus();
  if (event_sink_) event_sink_(MakeRestartEvent(context, clock_->WallMillis()));
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
  if (event_observer_ == nullptr || events.empty()) return;
  // An observer that reads the table sees what the events tell.
  Publish();
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
    zev::MutexLock lock(&mu_);
    old = observer_;
    observer_ = observer;
  }
  if (old != nullptr) old->Release();
}

// ---- The tables ----

std::vector<MonitorHostInfo> CZEVMonitor::GetProcessTable() {
  zev::MutexLock lock(&mu_);
  return *table_;
}

std::vector<MonitorHostInfo> CZEVMonitor::BuildTable() const {
  std::vector<MonitorHostInfo> table;
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

std::shared_ptr<const std::vector<MonitorHostInfo>> CZEVMonitor::Publish() {
  auto table = std::make_shared<const std::vector<MonitorHostInfo>>(BuildTable());
  zev::MutexLock lock(&mu_);
  table_ = table;
  return table;
}

int32_t CZEVMonitor::RemoveGroup(const std::string& group) {
  return Ask([this, group](const Answer& answer) {
    groups_.erase(group);
    answer(1);
  });
}

void CZEVMonitor::WriteStatus() {
  const auto table = Publish();
  int64_t loaded = 0;
  int64_t running = 0;
  for (const MonitorHostInfo& host : *table) {
    const int64_t components = static_cast<int64_t>(host.components.size());
    loaded += components;
    if (host.pid > 0) running += std::max<int64_t>(0, components - static_cast<int64_t>(host.refused.size()));
  }
  zev::Metrics().components_loaded.Set(loaded);
  zev::Metrics().components_running.Set(running);
  if (status_path_.empty() || closed_) return;
  if (!WriteHostStatus(status_path_, *table)) Log("CZEVMonitor cannot write " + status_path_);
}

std::string CZEVMonitor::NewNodeName(const HostRecord& record) {
  // A restart within the same millisecond (or on a clock that stands still)
  // must still give the new host a name of its own.
  uint32_t tick = clock_->TickCount();
  const std::string base = std::string(kHostNodeNamePrefix) + record.group_name + kNodeIndexMarker;
  std::string name = base + std::to_string(tick);
  while (name == record.node_name) name = base + std::to_string(++tick);
  return name;
}

// ---- Starting hosts ----

bool CZEVMonitor::StartProc(HostRecord* record, std::vector<MonitorEvent>* events) {
  const std::string dir = record->directory.empty() ? host_dir_ : record->directory;
  if (!zev::DirectoryExists(dir)) {
    Log("CZEVMonitor StartProc: no folder " + dir);
    return false;
  }
  const std::string program = dir + record->executable;
  const std::string argument = HostArgumentFor(record->node_name);
  const std::string command_line = program + "  \"" + argument + "\"";
  Log(" ProcOp::StartProc   real new start proc :" + command_line);
  Log(" CZEVMonitor  StartProc 1011  " + command_line);
  zev::StartOptions options;
  options.working_dir = dir;
  std::string why;
  // The host carries this instance's token, by which a later run of the
  // service (or "zevsvc uninstall") knows it for one of ours.
  std::unique_ptr<zev::ProcessHandle> process = zev::StartInstanceProcess({program, argument}, options, &why);
  if (!process) {
    Logf("CreateProcess %s:%s, error %d", program.c_str(), why.c_str(), errno);
    return false;
  }
  auto group = groups_.find(record->group_name);
  if (confine_host_) {
    std::set<std::string> apps;
    if (group != groups_.end()) {
      for (const auto& component : group->second.components) apps.insert(component.second.appcode());
    }
    confine_host_(record->group_name, process->pid(), apps);
  }
  MonitorEvent started;
  started.kind = MonitorEvent::Kind::kHostStarted;
  started.group = record->group_name;
  started.node = record->node_name;
  started.pid = process->pid();
  events->push_back(started);
  record->process = std::move(process);
  record->started_ms = clock_->MonotonicMillis();
  record->restart_due = 0;
  record->ever_ran = true;
  if (group != groups_.end()) group->second.node_name = record->node_name;
  // The hour of the sweep starts anew with each host, as with each end.
  ArmSweep();
  return true;
}

int32_t CZEVMonitor::StartComponent(const char* bytes, uint32_t length) {
  CZEVComponentContext context;
  if (bytes == nullptr || !context.ParseFromArray(bytes, static_cast<int>(length))) {
    Log("CZEVMonitor ParseFromArray Error, msg: " + (bytes ? std::string(bytes, length) : std::string()));
    return kStartBadContext;
  }
  return StartComponent(context);
}

int32_t CZEVMonitor::StartComponent(const CZEVComponentContext& context) {
  return Ask([this, context](const Answer& answer) { DoStartComponent(context, answer); });
}

void CZEVMonitor::DoStartComponent(const CZEVComponentContext& context, const Answer& answer) {
  const std::string group_name = context.manifest().params().pgroup();
  const std::string component = context.componentid();
  Log(" groupname &  componame:    " + group_name + ": " + component);

  bool host_came_up = false;  // a host that was not running before runs now
  std::vector<MonitorEvent> started;
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
  const bool others_waiting = !group->second.components.empty();
  const bool joined = group->second.components.count(component) == 0;  // new to its group
  // The host answers this start anew.
  const bool was_refused = group->second.refused.erase(component) > 0;
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
    record.backoff = RestartBackoff(backoff_first_ms_, backoff_max_ms_, backoff_reset_ms_);
    host = hosts_.emplace(group_name, std::move(record)).first;
    // A failed start keeps the record without a process: the sweep and the
    // group's next StartComponent try again.
    host_came_up = StartProc(&host->second, &started);
  } else if (host != hosts_.end() && !host->second.process && host->second.budget.allows_restart() && !exiting_) {
    // Also a host that waits out its backoff: a new start is not held back,
    // and its host gets a name of its own, as at a restart.
    if (host->second.restart_due != 0) host->second.node_name = NewNodeName(host->second);
    host_came_up = StartProc(&host->second, &started);
  }
  const std::string node = group->second.node_name;
  if (host_came_up || joined || was_refused) WriteStatus();
  Report(started);
  // The components recorded while the group had no host are started too.
  if (host_came_up && others_waiting) StartGroupComponents(group_name, node, component, false, nullptr);

  // Then this start, in its turn.
  Outgoing out;
  out.context = context;
  out.node = node;
  out.then = [this, group_name, context, answer](SendResult result, const std::string& target) {
    if (result == SendResult::kNoGroup) {
      Logf("There is no this group: %s", group_name.c_str());
      answer(kStartNoGroup);
    } else if (result == SendResult::kSent) {
      answer(kStartSent);
    } else {
      Log("Failed to trans ParentMsg: " + target + " :  " + "start");
      ScheduleStartResend(group_name, target, context);
      answer(kStartResendScheduled);
    }
  };
  outgoing_[group_name].push_back(std::move(out));
}

int32_t CZEVMonitor::StopComponant(const char* bytes, uint32_t length) {
  Log("ZEVMonitor StopComponant...");
  CZEVComponentContext context;
  if (bytes == nullptr || !context.ParseFromArray(bytes, static_cast<int>(length))) {
    Log("CZEVMonitor ParseFromArray Error, msg: " + (bytes ? std::string(bytes, length) : std::string()));
    return 0;
  }
  return Ask([this, context](const Answer& answer) { answer(DoStopComponent(context)); });
}

int32_t CZEVMonitor::StopComponent(const CZEVComponentContext& context) {
  Log("ZEVMonitor StopComponant...");
  return Ask([this, context](const Answer& answer) { answer(DoStopComponent(context)); });
}

int32_t CZEVMonitor::DoStopComponent(const CZEVComponentContext& context) {
  const std::string group_name = context.manifest().params().pgroup();
  Log(group_name);
  auto group = groups_.find(group_name);
  if (group == groups_.end()) return 0;
  // The component leaves its group whatever becomes of the message, so a
  // restarted host does not start it again.
  group->second.components.erase(context.componentid());
  group->second.refused.erase(context.componentid());
  const std::string node = group->second.node_name;
  WriteStatus();
  if (node.empty()) {
    Log("nodename is empty.");
    return 1;
  }
  Log(node);
  if (!Send(node, "stop", context.SerializeAsString())) return 0;
  Log("Trans msg to zevhost.");
  return 1;
}

int32_t CZEVMonitor::StopAll() {
  Log("ZEVMonitor StopAll...");
  return Ask([this](const Answer& answer) {
    DoStopAll();
    answer(1);
  });
}

void CZEVMonitor::DoStopAll() {
  stop_all_sent_ = true;
  // From here on no restart happens and no host is reaped by the loop.
  EndMonitoring();
  std::vector<std::string> nodes;
  std::vector<std::shared_ptr<zev::ProcessHandle>> processes;
  for (const auto& group : groups_) nodes.push_back(group.second.node_name);
  for (const auto& host : hosts_) {
    if (host.second.process) processes.push_back(host.second.process);
  }
  Logf("compo count:  %d", static_cast<int>(nodes.size()));
  bool all_sent = true;
  for (const std::string& node : nodes) {
    Log(node);
    if (!Send(node, "stopall", kStopAllPayload)) all_sent = false;
  }
  if (!all_sent) {
    Log("Need to terminate ZEVHost.exe.\n");
    if (!zev::TerminateInstanceProcesses(kHostExecutable)) Logf("TerminateProcess failed, errno = %d.\n", errno);
    // Our own hosts go too, even one still between spawn and exec.
    for (const auto& process : processes) KillThroughPidfd(*process);
  }
}

// ---- Messages ----

bool CZEVMonitor::Send(const std::string& node, const std::string& msgtype, const std::string& payload) {
  return term_.Send(node, msgtype, payload, clock_->TickCount());
}

bool CZEVMonitor::NodeOnBus(const std::string& node) {
  IRpcTermEx* term = term_.term();
  if (term == nullptr || term->RefreshNodes() != kS_OK) return false;
  BusNodeRecord record;
  return term->GetNodeRecord(NameCrc(node), &record) == kS_OK;
}

bool CZEVMonitor::AnySendWaiting() const {
  for (const auto& queue : outgoing_) {
    if (!queue.second.empty() && queue.second.front().send) return true;
  }
  return false;
}

void CZEVMonitor::PumpOutgoing() {
  std::vector<std::string> groups;
  for (const auto& queue : outgoing_) groups.push_back(queue.first);
  for (const std::string& group : groups) {
    for (;;) {
      auto queue = outgoing_.find(group);
      if (queue == outgoing_.end() || queue->second.empty()) break;
      Outgoing& head = queue->second.front();
      SendResult result = SendResult::kSent;
      if (head.send) {
        if (!head.begun) {
          if (head.batch && exiting_) {
            queue->second.pop_front();
            continue;
          }
          head.begun = true;
          head.deadline = clock_->MonotonicMillis() + host_presence_wait_ms_;
        }
        if (!TrySend(group, &head, &result)) break;
      }
      // `then` may queue more: the step leaves its queue first.
      Outgoing done = std::move(head);
      queue->second.pop_front();
      if (done.then) done.then(result, done.node);
    }
  }
  for (auto queue = outgoing_.begin(); queue != outgoing_.end();) {
    queue = queue->second.empty() ? outgoing_.erase(queue) : std::next(queue);
  }
}

bool CZEVMonitor::TrySend(const std::string& group, Outgoing* out, SendResult* result) {
  std::string node;
  std::shared_ptr<zev::ProcessHandle> process;
  auto g = groups_.find(group);
  if (g != groups_.end()) node = g->second.node_name;
  auto h = hosts_.find(group);
  if (h != hosts_.end()) process = h->second.process;
  if (node.empty()) {
    *result = g == groups_.end() && !out->tried ? SendResult::kNoGroup : SendResult::kFailed;
    return true;
  }
  out->tried = true;
  out->node = node;
  // A host that is not running will not appear: no use waiting for it.
  const bool last_try = exiting_ || !process || ProcessEnded(*process) ||
                        clock_->MonotonicMillis() >= out->deadline || out->listed_tries >= kListedSendTries;
  if (last_try || NodeOnBus(node)) {
    if (Send(node, "start", out->context.SerializeAsString())) {
      *result = SendResult::kSent;
      return true;
    }
    if (last_try) {
      *result = SendResult::kFailed;
      return true;
    }
    // The bus lists a node from the moment it holds its lock, a little
    // before its socket listens.
    ++out->listed_tries;
  }
  return false;
}

void CZEVMonitor::ScheduleStartResend(const std::string& group, const std::string& node,
                                      const CZEVComponentContext& context) {
  if (exiting_ || closed_) return;
  Logf("Send the msg again after %llds: target node is %s, message type is: start.",
       static_cast<long long>(start_resend_ms_ / 1000), node.c_str());
  resends_.emplace(clock_->MonotonicMillis() + start_resend_ms_, Resend{group, context});
}

void CZEVMonitor::FireResend(const Resend& resend) {
  if (exiting_) return;
  try {
    // The group's node of the moment: the host may have been restarted
    // under a new name meanwhile. A group that is gone has no host.
    auto g = groups_.find(resend.group);
    if (g == groups_.end()) return;
    // A component stopped or moved to another version meanwhile: this
    // start would bring back what was asked away.
    const std::string& component = resend.context.componentid();
    const std::string& version = resend.context.version();
    auto c = g->second.components.find(component);
    if (c == g->second.components.end() || c->second.version() != version) {
      Logf("The resend of start of %s %s is dropped: the component was stopped or changed.", component.c_str(),
           version.c_str());
      return;
    }
    if (!Send(g->second.node_name, "start", resend.context.SerializeAsString())) {
      zev::LogWrite(zev::kLogError, "%s", "Failed to send msg by timer.");
    }
  } catch (...) {
    zev::LogWrite(zev::kLogError, "%s", "An unknown exception has occurred while send msg by timer.");
  }
}

void CZEVMonitor::StartGroupComponents(const std::string& group, const std::string& node,
                                       const std::string& skip, bool report_events, std::function<void()> done) {
  auto g = groups_.find(group);
  if (g == groups_.end()) {
    if (done) done();
    return;
  }
  // Set before the loop, so that a group without components knows its new
  // host too.
  g->second.node_name = node;
  std::vector<CZEVComponentContext> contexts;
  bool refusals_dropped = false;
  for (const auto& c : g->second.components) {
    if (c.first == skip) continue;
    contexts.push_back(c.second);
    // What the old host refused, the new one answers anew.
    refusals_dropped = g->second.refused.erase(c.first) > 0 || refusals_dropped;
  }
  if (refusals_dropped) WriteStatus();
  Log(node);
  std::deque<Outgoing>& queue = outgoing_[group];
  for (const CZEVComponentContext& context : contexts) {
    Outgoing out;
    out.context = context;
    out.batch = true;
    out.node = node;
    out.then = [this, group, context, report_events](SendResult result, const std::string& target) {
      const bool sent = result == SendResult::kSent;
      Log(sent ? "TransParentMsg OK." : "TransParentMsg FALIED.");
      if (!sent) ScheduleStartResend(group, target, context);
      if (report_events && event_sink_) event_sink_(MakeRestartEvent(context, clock_->WallMillis()));
    };
    queue.push_back(std::move(out));
  }
  if (done) {
    Outgoing step;
    step.send = false;
    step.then = [done](SendResult, const std::string&) { done(); };
    queue.push_back(std::move(step));
  }
}

int32_t CZEVMonitor::NotifyToRestartAGroup(const std::string& group, const std::string& node) {
  Log("NotifyToRestartAGroup");
  return Ask([this, group, node](const Answer& answer) {
    StartGroupComponents(group, node, std::string(), true, [answer] { answer(1); });
  });
}

// ---- Hosts that end ----

void CZEVMonitor::OnHostEnded(const std::string& group, const std::shared_ptr<zev::ProcessHandle>& process) {
  Log("MonitorProc WAIT_OBJECT_0 Any Proc.....");
  // Only the loop reaps the hosts.
  const int code = process->ExitCode();
  Logf("CZEVMonitor host of group %s (pid %d) ended with %d", group.c_str(), static_cast<int>(process->pid()), code);
  MonitorEvent ended = EndedEvent(group, *process);
  auto members = groups_.find(group);
  auto current = hosts_.find(group);
  if (RestartBudget::RestartsAfterExit(code) && members != groups_.end() && current != hosts_.end() &&
      current->second.process == process) {
    for (const auto& c : members->second.components) {
      ended.members.push_back({c.second.appcode(), c.first, c.second.version()});
    }
  }
  Report({ended});
  ArmSweep();
  auto host = hosts_.find(group);
  if (host == hosts_.end() || host->second.process != process) return;  // replaced meanwhile
  if (!RestartBudget::RestartsAfterExit(code)) {
    Log("MonitorProc  do not restart. PROC is exit normaly......");
    // Record and group go together, so that a StartComponent cannot find
    // one without the other.
    hosts_.erase(host);
    groups_.erase(group);
    WriteStatus();
    return;
  }
  if (code == zev::kStillActive) {
    Logf("MonitorProc get return code by handle failed . handle is invalid ......%d", errno);
    // The process may still run; a second host for the group must not.
    process->Terminate();
  }
  // A host that keeps failing soon after its start waits before the next
  // one (a refused restart is told at once).
  const int64_t now = clock_->MonotonicMillis();
  const int64_t delay = host->second.backoff.DelayAfterEnd(now - host->second.started_ms);
  if (delay > 0 && host->second.budget.allows_restart() && !exiting_) {
    zev::LogWrite(zev::kLogInfo, "The host of group %s ended %lld s after its start; it is started again in %lld ms.",
             zev::EscapeControlCharacters(group).c_str(), static_cast<long long>((now - host->second.started_ms) / 1000),
             static_cast<long long>(delay));
    host->second.process.reset();
    host->second.restart_due = now + delay;
    WriteStatus();
    return;
  }
  CallRestartProc(group);
}

void CZEVMonitor::CallRestartProc(const std::string& group) {
  Log("CallRestartProc");
  auto host = hosts_.find(group);
  if (host == hosts_.end()) return;
  HostRecord& record = host->second;
  const bool report = record.ever_ran;
  record.process.reset();
  if (exiting_) return;
  std::vector<MonitorEvent> events;
  MonitorEvent done;  // kHostRestarted or kRestartRefused
  done.group = group;
  const bool refused = !record.budget.allows_restart();
  bool restarted = false;
  if (!refused) {
    record.node_name = NewNodeName(record);
    Log(record.node_name);
    restarted = StartProc(&record, &events);
    if (restarted) {
      record.budget.CountRestart(clock_->TickCount(), clock_->UtcDay());
      auto members = groups_.find(group);
      if (members != groups_.end()) {
        for (const auto& component : members->second.components) zev::Metrics().host_restarts.Add({component.first});
      }
      done.pid = record.process->pid();
    }
  }
  const std::string node = record.node_name;
  done.kind = refused ? MonitorEvent::Kind::kRestartRefused : MonitorEvent::Kind::kHostRestarted;
  done.node = node;
  done.restart_count = record.budget.count();
  if (refused) events.push_back(done);
  WriteStatus();
  Report(events);
  if (!restarted) return;
  if (report) Log("NotifyToRestartAGroup");
  StartGroupComponents(group, node, std::string(), report, [this, done] {
    Log("MonitorProc RestartProc    OK  .....");
    Report({done});
  });
}

void CZEVMonitor::Sweep() {
  std::vector<std::string> down;
  std::vector<MonitorEvent> refused;
  for (auto& host : hosts_) {
    // A host waiting out its backoff is started when that ends.
    if (host.second.process || host.second.restart_due != 0) continue;
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
  WriteStatus();
  Report(refused);
  for (const std::string& group : down) {
    if (exiting_) return;
    CallRestartProc(group);
  }
}

}  // namespace pubsdk
