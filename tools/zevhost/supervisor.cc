#include "tools/zevhost/supervisor.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "tools/zevhost/component_launch.h"
#include "tools/zevhost/host_log.h"
#include "tools/zevhost/process_tree.h"

namespace zev {

namespace {

std::string Describe(const CZEVComponentContext& c) {
  return c.appcode() + "/" + c.componentid() + " " + c.version();
}

// Who a left-behind process belongs to: the component's app code, id and
// version (NUL cannot occur in them: the environment drops it).
std::string OwnerOf(const std::string& app, const std::string& id, const std::string& version) {
  return app + '\0' + id + '\0' + version;
}

std::string OwnerOf(const CZEVComponentContext& c) { return OwnerOf(c.appcode(), c.componentid(), c.version()); }

// The owner an orphan's environment names; empty when it names none.
std::string EnvironmentOwner(pid_t pid) {
  const std::string block = StartEnvironment(pid);
  const std::string app = EnvironmentValue(block, "ZEV_APP_CODE");
  const std::string id = EnvironmentValue(block, "ZEV_COMPONENT_ID");
  if (app.empty() || id.empty()) return std::string();
  return OwnerOf(app, id, EnvironmentValue(block, "ZEV_COMPONENT_VERSION"));
}

// How a stop names what it ends, for the log.
std::string Readable(const std::string& owner) {
  std::string text = owner;
  std::replace(text.begin(), text.end(), '\0', ' ');
  return text;
}

bool IsSchedule(const CZEVComponentContext& c) {
  return c.manifest().runmode() == btSchedule && c.manifest().params().interval() > 0;
}

}  // namespace

ComponentSupervisor::ComponentSupervisor(Clock* clock, SupervisorOptions options)
    : clock_(clock), options_(std::move(options)) {
  reaper_ = std::make_unique<ChildReaper>(
      [this](pid_t pid, int code) {
        MutexLock lock(&mu_);
        exits_.emplace_back(pid, code);
        wake_.notify_all();
      },
      [this] {
        MutexLock lock(&mu_);
        refresh_requested_ = true;
        wake_.notify_all();
      });
  thread_ = std::thread([this] { Run(); });
}

ComponentSupervisor::~ComponentSupervisor() {
  StopAll(kStopAllGraceMs);
  {
    MutexLock lock(&mu_);
    quit_ = true;
    wake_.notify_all();
  }
  thread_.join();
  reaper_.reset();
}

void ComponentSupervisor::Start(const CZEVComponentContext& context) {
  MutexLock lock(&mu_);
  commands_.push_back({true, context});
  wake_.notify_all();
}

void ComponentSupervisor::Stop(const CZEVComponentContext& context) {
  MutexLock lock(&mu_);
  commands_.push_back({false, context});
  wake_.notify_all();
}

void ComponentSupervisor::StopAll(int64_t grace_ms) {
  MutexLock lock(&mu_);
  if (!closed_ && !stop_all_requested_) {
    stop_all_requested_ = true;
    stop_all_grace_ms_ = grace_ms;
    wake_.notify_all();
  }
  // Not a timed wait: the end comes from the children, and from the kill
  // deadline, which the supervisor's thread waits for on the clock.
  idle_.wait(lock.native(), [this] {
    mu_.AssertHeld();
    return stopped_all_;
  });
}

pid_t ComponentSupervisor::RunningPid(const std::string& app_code, const std::string& component_id) {
  MutexLock lock(&mu_);
  auto it = components_.find(Key(app_code, component_id));
  return it == components_.end() ? 0 : it->second.pid;
}

int ComponentSupervisor::launch_count() {
  MutexLock lock(&mu_);
  return launches_;
}

void ComponentSupervisor::Run() {
  MutexLock lock(&mu_);
  for (;;) {
    clock_->WaitUntil(lock.native(), wake_, NextDeadline(), [this] {
      mu_.AssertHeld();
      return quit_ || stop_all_requested_ || refresh_requested_ || !commands_.empty() || !exits_.empty();
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
    if (!refusals_.empty() || !ended_.empty()) {
      std::vector<std::pair<CZEVComponentContext, std::string>> refusals;
      refusals.swap(refusals_);
      std::vector<std::pair<CZEVComponentContext, int>> ended;
      ended.swap(ended_);
      // The receiver may send over the bus: Start and Stop need not wait.
      // The analysis does not see this release.
      lock.native().unlock();
      if (options_.on_refused) {
        for (const auto& refusal : refusals) options_.on_refused(refusal.first, refusal.second);
      }
      if (options_.on_ended) {
        for (const auto& end : ended) options_.on_ended(end.first, end.second);
      }
      lock.native().lock();
    }
    if (stop_all_requested_) {
      stop_all_requested_ = false;
      BeginStopAll(stop_all_grace_ms_);
    }
    if (refresh_requested_) {
      refresh_requested_ = false;
      Refresh();
    }
    RunDue();
    SettleDying();
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
      !BuildComponentArgv(entry, &component.argv, &why) || !PlanUser(context, entry, &component, &why)) {
    HostLog("start of " + Describe(context) + " refused: " + why);
    refusals_.emplace_back(context, why);
    return;
  }
  if (running != components_.end()) {
    HostLog("replacing " + Describe(running->second.context) + " with version " + context.version());
    BeginStop(&running->second, kStopGraceMs);
    components_.erase(running);
  }
  component.context = context;
  component.env = ComponentEnvironment(context, component.install_dir, options_.process_group, options_.common_dir,
                                       component.user ? &*component.user : nullptr, component.working_dir);
  if (IsSchedule(context)) {
    component.next_run_ms = clock_->MonotonicMillis() + int64_t{context.manifest().params().interval()} * 1000;
  }
  Component& placed = components_[key] = std::move(component);
  if (!Launch(&placed)) components_.erase(key);
}

void ComponentSupervisor::HandleStop(const CZEVComponentContext& context) {
  auto it = components_.find(Key(context.appcode(), context.componentid()));
  if (it == components_.end()) {
    // A run that has ended may have left processes behind; they go now.
    Component gone;
    gone.context = context;
    const size_t stops = dying_.size();
    BeginStop(&gone, kStopGraceMs);
    HostLog("stop of " + Describe(context) +
            (dying_.size() > stops ? ": ending what it left behind" : " ignored: not running"));
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
    // that nothing of a stopped component outlives the stop. What it left
    // outside the group has had its SIGTERM; its children, orphaned now,
    // are claimed and get theirs.
    kill(-pid, SIGKILL);
    dying->pid = 0;
    const std::string owner = dying->owner;
    Refresh(&owner);
    for (const Dying& d : dying_) SignalLeftBehind(d, d.killed ? SIGKILL : SIGTERM);
    return;
  }
  for (auto it = components_.begin(); it != components_.end(); ++it) {
    Component& c = it->second;
    if (c.pid != pid) continue;
    HostLog(Describe(c.context) + " (pid " + std::to_string(pid) + ") ended with " + std::to_string(code));
    c.pid = 0;
    if (!closed_) ended_.emplace_back(c.context, code);
    const std::string owner = OwnerOf(c.context);
    Refresh(&owner);
    if (!AfterRun(&c)) components_.erase(it);
    return;
  }
}

void ComponentSupervisor::BeginStopAll(int64_t grace_ms) {
  closed_ = true;
  const int64_t kill_at = clock_->MonotonicMillis() + grace_ms;
  Refresh();
  for (auto& entry : components_) BeginStop(&entry.second, grace_ms, false);
  components_.clear();
  for (Dying& d : dying_) d.kill_at_ms = std::min(d.kill_at_ms, kill_at);
  // Whatever else runs below the host: what ended runs left, and what
  // belongs to nobody.
  dying_.push_back({0, std::string(), true, kill_at, false});
  SignalLeftBehind(dying_.back(), SIGTERM);
}

void ComponentSupervisor::BeginStop(Component* component, int64_t grace_ms, bool refresh) {
  // Read while the component's process still counts as its own, so that
  // everything below it is found.
  if (refresh) Refresh();
  Dying d{component->pid, OwnerOf(component->context), false, clock_->MonotonicMillis() + grace_ms, false};
  component->pid = 0;
  if (d.pid != 0) kill(-d.pid, SIGTERM);
  SignalLeftBehind(d, SIGTERM);
  if (d.pid != 0 || LeftBehind(d)) dying_.push_back(std::move(d));
}

void ComponentSupervisor::Refresh(const std::string* ended_owner) {
  const pid_t self = getpid();
  std::map<pid_t, ProcessFacts> table;
  for (const ProcessFacts& f : ReadProcessTable()) table[f.pid] = f;
  std::map<pid_t, std::string> leaders;  // a running component's process -> its owner
  for (const auto& entry : components_) {
    if (entry.second.pid != 0) leaders[entry.second.pid] = OwnerOf(entry.second.context);
  }
  for (const Dying& d : dying_) {
    if (d.pid != 0) leaders[d.pid] = d.owner;
  }
  if (options_.adopt_orphans) {
    // Orphans that have ended. The components' own processes are reaped
    // through their pidfds and never here.
    for (const auto& entry : table) {
      const ProcessFacts& f = entry.second;
      if (f.ppid == self && f.state == 'Z' && leaders.count(f.pid) == 0) waitpid(f.pid, nullptr, WNOHANG);
    }
  }
  std::map<pid_t, Tracked> seen;
  std::map<pid_t, bool> placed;  // pid -> below the host and tracked
  // Follows the parent links up to the host: false for a process that is
  // not below it, is a component's own, or has ended.
  std::function<bool(pid_t, int)> place = [&](pid_t pid, int depth) -> bool {
    mu_.AssertHeld();  // called only below, under the lock
    auto done = placed.find(pid);
    if (done != placed.end()) return done->second;
    auto it = table.find(pid);
    bool below = false;
    std::string owner;
    if (it != table.end() && it->second.state != 'Z' && leaders.count(pid) == 0 && depth < 1024) {
      const pid_t parent = it->second.ppid;
      if (leaders.count(parent) != 0) {
        below = true;
        owner = leaders[parent];
      } else if (parent == self) {
        below = options_.adopt_orphans;
      } else if (parent > 1 && place(parent, depth + 1)) {
        below = true;
        owner = seen[parent].owner;
      }
    }
    placed[pid] = below;
    if (!below) return false;
    const ProcessFacts& f = it->second;
    auto old = tracked_.find(pid);
    const bool known = old != tracked_.end() && old->second.start == f.start;
    if (known) {
      owner = old->second.owner;
    } else if (f.ppid == self) {
      owner = EnvironmentOwner(pid);
      if (owner.empty() && ended_owner != nullptr) owner = *ended_owner;
    }
    seen[pid] = Tracked{f.start, f.pgid, owner, known && old->second.terminated};
    return true;
  };
  for (const auto& entry : table) {
    if (entry.first != self) place(entry.first, 0);
  }
  tracked_ = std::move(seen);
}

void ComponentSupervisor::SignalLeftBehind(const Dying& d, int sig) {
  for (auto& entry : tracked_) {
    Tracked& t = entry.second;
    if (!d.all && t.owner != d.owner) continue;
    if (sig == SIGTERM && t.terminated) continue;
    // While the component's process lives, its group has the signal.
    if (d.pid == 0 || t.pgid != d.pid) SignalSameProcess(entry.first, t.start, sig);
    t.terminated = true;
  }
}

bool ComponentSupervisor::LeftBehind(const Dying& d) const {
  for (const auto& entry : tracked_) {
    if (d.all || entry.second.owner == d.owner) return true;
  }
  return false;
}

void ComponentSupervisor::SettleDying() {
  dying_.erase(std::remove_if(dying_.begin(), dying_.end(),
                              [this](const Dying& d) {
                                mu_.AssertHeld();
                                return d.pid == 0 && (d.killed || !LeftBehind(d));
                              }),
               dying_.end());
}

bool ComponentSupervisor::PlanUser(const CZEVComponentContext& context, const std::string& entry, Component* component,
                                   std::string* why) {
  component->working_dir = component->install_dir;
  if (context.runas().empty()) return true;
  RunAsUser user;
  if (!LookUpRunAsUser(context.runas(), &user, why) ||
      !IsRootOnlyUpTo(entry, InstallRootFor(context, options_.common_dir), why) ||
      !PrepareDataFolder(options_.common_dir, context, user, &component->working_dir, why)) {
    return false;
  }
  component->user = std::move(user);
  return true;
}

bool ComponentSupervisor::Launch(Component* component) {
  LaunchPlan plan{component->argv, component->env, component->working_dir, component->user};
  pid_t pid = 0;
  int pidfd = -1;
  std::string why;
  component->started_ms = clock_->MonotonicMillis();
  // Made again for each run: a folder removed since the last one comes back.
  if (component->user && !PrepareDataFolder(options_.common_dir, component->context, *component->user,
                                            &plan.working_dir, &why)) {
    HostLog("cannot run " + Describe(component->context) + ": " + why);
    return AfterRun(component);
  }
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
  if (std::any_of(dying_.begin(), dying_.end(), [now](const Dying& d) { return !d.killed && d.kill_at_ms <= now; })) {
    Refresh();
    for (Dying& d : dying_) {
      if (d.killed || d.kill_at_ms > now) continue;
      if (d.pid != 0) {
        HostLog("pid " + std::to_string(d.pid) + " did not end in time: SIGKILL to its group");
        kill(-d.pid, SIGKILL);
      } else {
        HostLog("what " + (d.all ? std::string("ran") : Readable(d.owner)) + " left did not end in time: SIGKILL");
      }
      SignalLeftBehind(d, SIGKILL);
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

}  // namespace zev
