#include "tools/zevhost/supervisor.h"

#include <signal.h>

#include <algorithm>

#include "tools/zevhost/component_launch.h"
#include "tools/zevhost/host_log.h"

namespace {

std::string Describe(const CZEVComponentContext& c) {
  return c.appcode() + "/" + c.componentid() + " " + c.version();
}

bool IsSchedule(const CZEVComponentContext& c) {
  return c.manifest().runmode() == btSchedule && c.manifest().params().interval() > 0;
}

}  // namespace

ComponentSupervisor::ComponentSupervisor(Clock* clock, SupervisorOptions options)
    : clock_(clock), options_(std::move(options)) {
  reaper_ = std::make_unique<ChildReaper>([this](pid_t pid, int code) {
    std::lock_guard<std::mutex> lock(mu_);
    exits_.emplace_back(pid, code);
    wake_.notify_all();
  });
  thread_ = std::thread([this] { Run(); });
}

ComponentSupervisor::~ComponentSupervisor() {
  StopAll(kStopAllGraceMs);
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
    wake_.notify_all();
  }
  thread_.join();
  reaper_.reset();
}

void ComponentSupervisor::Start(const CZEVComponentContext& context) {
  std::lock_guard<std::mutex> lock(mu_);
  commands_.push_back({true, context});
  wake_.notify_all();
}

void ComponentSupervisor::Stop(const CZEVComponentContext& context) {
  std::lock_guard<std::mutex> lock(mu_);
  commands_.push_back({false, context});
  wake_.notify_all();
}

void ComponentSupervisor::StopAll(int64_t grace_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!closed_ && !stop_all_requested_) {
    stop_all_requested_ = true;
    stop_all_grace_ms_ = grace_ms;
    wake_.notify_all();
  }
  // Not a timed wait: the end comes from the children, and from the kill
  // deadline, which the supervisor's thread waits for on the clock.
  idle_.wait(lock, [this] { return stopped_all_; });
}

pid_t ComponentSupervisor::RunningPid(const std::string& app_code, const std::string& component_id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = components_.find(Key(app_code, component_id));
  return it == components_.end() ? 0 : it->second.pid;
}

int ComponentSupervisor::launch_count() {
  std::lock_guard<std::mutex> lock(mu_);
  return launches_;
}

void ComponentSupervisor::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    clock_->WaitUntil(lock, wake_, NextDeadline(), [this] {
      return quit_ || stop_all_requested_ || !commands_.empty() || !exits_.empty();
    });
    while (!exits_.empty()) {
      std::pair<pid_t, int> exit = exits_.front();
      exits_.pop_front();
      HandleExit(exit.first, exit.second);
    }
    while (!commands_.empty()) {
      Command command = std::move(commands_.front());
      commands_.pop_front();
      if (command.start) HandleStart(command.context);
      else HandleStop(command.context);
    }
    if (stop_all_requested_) {
      stop_all_requested_ = false;
      BeginStopAll(stop_all_grace_ms_);
    }
    RunDue();
    if (closed_ && !stopped_all_ && components_.empty() && dying_.empty()) {
      stopped_all_ = true;
      idle_.notify_all();
    }
    if (quit_) return;
  }
}

void ComponentSupervisor::HandleStart(const CZEVComponentContext& context) {
  if (closed_) {
    HostLog("start of " + Describe(context) + " ignored: stopping");
    return;
  }
  const Key key(context.appcode(), context.componentid());
  auto running = components_.find(key);
  if (running != components_.end() && running->second.context.version() == context.version()) {
    HostLog("start of " + Describe(context) + " ignored: already there");
    return;
  }
  Component component;
  std::string why, entry;
  if (!FindInstallDir(context, options_.common_dir, &component.install_dir, &why) ||
      !ResolveEntryPoint(component.install_dir, context.manifest().entrypoint(), &entry, &why) ||
      !BuildComponentArgv(entry, &component.argv, &why)) {
    HostLog("start of " + Describe(context) + " refused: " + why);
    return;
  }
  if (running != components_.end()) {
    HostLog("replacing " + Describe(running->second.context) + " with version " + context.version());
    BeginStop(&running->second, kStopGraceMs);
    components_.erase(running);
  }
  component.context = context;
  component.env = ComponentEnvironment(context, component.install_dir, options_.process_group, options_.common_dir);
  if (IsSchedule(context)) {
    component.next_run_ms = clock_->MonotonicMillis() + int64_t{context.manifest().params().interval()} * 1000;
  }
  Component& placed = components_[key] = std::move(component);
  if (!Launch(&placed)) components_.erase(key);
}

void ComponentSupervisor::HandleStop(const CZEVComponentContext& context) {
  auto it = components_.find(Key(context.appcode(), context.componentid()));
  if (it == components_.end()) {
    HostLog("stop of " + Describe(context) + " ignored: not running");
    return;
  }
  if (it->second.context.version() != context.version()) {
    HostLog("stop of " + Describe(context) + " ignored: version " + it->second.context.version() + " runs");
    return;
  }
  HostLog("stopping " + Describe(context));
  BeginStop(&it->second, kStopGraceMs);
  components_.erase(it);
}

void ComponentSupervisor::HandleExit(pid_t pid, int code) {
  auto dying = std::find_if(dying_.begin(), dying_.end(), [pid](const Dying& d) { return d.pid == pid; });
  if (dying != dying_.end()) {
    // The leader is gone; whatever it left in its group goes with it, so
    // that nothing of a stopped component outlives the stop.
    kill(-pid, SIGKILL);
    dying_.erase(dying);
    return;
  }
  for (auto it = components_.begin(); it != components_.end(); ++it) {
    Component& c = it->second;
    if (c.pid != pid) continue;
    HostLog(Describe(c.context) + " (pid " + std::to_string(pid) + ") ended with " + std::to_string(code));
    c.pid = 0;
    if (!AfterRun(&c)) components_.erase(it);
    return;
  }
}

void ComponentSupervisor::BeginStopAll(int64_t grace_ms) {
  closed_ = true;
  const int64_t kill_at = clock_->MonotonicMillis() + grace_ms;
  for (auto& entry : components_) BeginStop(&entry.second, grace_ms);
  components_.clear();
  for (Dying& d : dying_) d.kill_at_ms = std::min(d.kill_at_ms, kill_at);
}

void ComponentSupervisor::BeginStop(Component* component, int64_t grace_ms) {
  if (component->pid == 0) return;
  kill(-component->pid, SIGTERM);
  dying_.push_back({component->pid, clock_->MonotonicMillis() + grace_ms, false});
  component->pid = 0;
}

bool ComponentSupervisor::Launch(Component* component) {
  LaunchPlan plan{component->argv, component->env, component->install_dir};
  pid_t pid = 0;
  int pidfd = -1;
  std::string why;
  component->started_ms = clock_->MonotonicMillis();
  if (!SpawnComponent(plan, &pid, &pidfd, &why)) {
    HostLog("cannot run " + Describe(component->context) + ": " + why);
    return AfterRun(component);
  }
  ++launches_;
  component->pid = pid;
  reaper_->Watch(pid, pidfd);
  HostLog("started " + Describe(component->context) + " as pid " + std::to_string(pid));
  return true;
}

bool ComponentSupervisor::AfterRun(Component* component) {
  const CZEVComponentContext& c = component->context;
  if (IsSchedule(c)) return true;  // the next tick is already planned
  if (c.manifest().runmode() != btService) return false;
  const int64_t now = clock_->MonotonicMillis();
  if (now - component->started_ms >= kSteadyRunMs) component->restart_delay_ms = kFirstRestartDelayMs;
  component->next_run_ms = now + component->restart_delay_ms;
  HostLog("restarting " + Describe(c) + " in " + std::to_string(component->restart_delay_ms) + " ms");
  component->restart_delay_ms = std::min(component->restart_delay_ms * 2, kMaxRestartDelayMs);
  return true;
}

void ComponentSupervisor::RunDue() {
  const int64_t now = clock_->MonotonicMillis();
  for (Dying& d : dying_) {
    if (!d.killed && d.kill_at_ms <= now) {
      HostLog("pid " + std::to_string(d.pid) + " did not end in time: SIGKILL to its group");
      kill(-d.pid, SIGKILL);
      d.killed = true;
    }
  }
  for (auto it = components_.begin(); it != components_.end();) {
    Component& c = it->second;
    bool keep = true;
    if (c.next_run_ms <= now) {
      if (IsSchedule(c.context)) {
        const int64_t interval = int64_t{c.context.manifest().params().interval()} * 1000;
        while (c.next_run_ms <= now) c.next_run_ms += interval;
        if (c.pid != 0) {
          HostLog(Describe(c.context) + " still runs: this run is skipped");
        } else {
          keep = Launch(&c);
        }
      } else {
        c.next_run_ms = Clock::kNoDeadline;
        keep = Launch(&c);
      }
    }
    it = keep ? std::next(it) : components_.erase(it);
  }
}

int64_t ComponentSupervisor::NextDeadline() const {
  int64_t next = Clock::kNoDeadline;
  for (const Dying& d : dying_) {
    if (!d.killed) next = std::min(next, d.kill_at_ms);
  }
  for (const auto& entry : components_) next = std::min(next, entry.second.next_run_ms);
  return next;
}
