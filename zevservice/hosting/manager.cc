#include "hosting/manager.h"

#include "base/log.h"
#include "platform/instance_processes.h"

namespace zev {

CZEVManager::CZEVManager(ManagerDeps deps, ManagerOptions options)
    : deps_(std::move(deps)),
      options_(options),
      stop_(deps_.clock),
      loader_(deps_, options_, &stop_, &hooks_),
      front_ends_(deps_, options_, &stop_, &hooks_) {}

CZEVManager::~CZEVManager() {
  bool started;
  {
    MutexLock lock(&mu_);
    started = started_;
  }
  if (started) Quit();
}

int CZEVManager::port() const { return front_ends_.port(); }

std::vector<std::string> CZEVManager::failed_front_ends() const { return front_ends_.failed(); }

bool CZEVManager::instance_held_elsewhere() const { return front_ends_.instance_held_elsewhere(); }

int CZEVManager::RunningHosts() const { return loader_.RunningHosts(); }

int CZEVManager::RefusedComponents() const { return loader_.RefusedComponents(); }

void CZEVManager::LoadApplication(const CZEVApplication& application) { loader_.LoadApplication(application); }

bool CZEVManager::OnCatalogueChanged(const std::vector<CZEVComponentProxy>& entries) {
  return loader_.OnCatalogueChanged(entries);
}

std::function<bool(const std::vector<CZEVComponentProxy>&)> CZEVManager::change_handler() {
  return [this](const std::vector<CZEVComponentProxy>& entries) { return OnCatalogueChanged(entries); };
}

LoadedComponentsSnapshot CZEVManager::loaded() const { return loader_.loaded(); }

LoadedComponentsSource CZEVManager::loaded_source() {
  return [this] { return loaded(); };
}

std::vector<CZEVComponentProxy> CZEVManager::loaded_list() const { return loader_.loaded_list(); }

bool CZEVManager::Start() {
  stop_.BeginStart();
  front_ends_.Reset();
  // The instance mutex is taken without holding mu_: the waits between
  // attempts must not keep a Quit() waiting for all of them.
  std::unique_ptr<NamedMutex> instance_mutex = front_ends_.TakeInstanceLock();
  if (!instance_mutex) return false;
  if (!StartFrontEnds(std::move(instance_mutex))) return false;
  // Loading waits on hosts, so it runs without mu_: a Quit meanwhile stops
  // it between applications.
  return !loader_.runs_components() || loader_.StartComponents();
}

bool CZEVManager::StartFrontEnds(std::unique_ptr<NamedMutex> instance_mutex) {
  MutexLock lock(&mu_);
  if (stop_.quitting()) return false;  // Quit() ran while the mutex was being taken
  started_ = true;
  front_ends_.HoldInstanceLock(std::move(instance_mutex));
  // Hosts left from an earlier run of this instance; other instances on the
  // machine keep theirs.
  TerminateInstanceProcesses(kHostProgramName);
  // The monitor joins the bus and takes over the host status file in run/
  // only now: an instance that waits for the lock, or stays idle without
  // it, leaves the running instance's hosts and file alone.
  loader_.StartMonitor();
  // A component may change its own registrations: a caller counts as one
  // when its process group was started by one of our hosts for it. What a
  // process of such a group registers goes when the group's leader ends.
  front_ends_.Start([this](pid_t pid, const std::string& id) { return loader_.IsComponentProcess(pid, id); },
                    [this] { return loader_.HostPids(); });
  return true;
}

void CZEVManager::Quit() {
  stop_.BeginQuit();
  MutexLock lock(&mu_);
  front_ends_.StopEndpoints();
  // The catalogue's sources: a change report under way is waited for (its
  // handler takes the loader's lock, never mu_); none follows.
  loader_.StopStrategies();
  front_ends_.StopPortGuard();
  loader_.StopComponents();
  front_ends_.ReleaseInstanceLock();
  started_ = false;
  stop_.EndQuit();
  LogWrite(kLogError, "ZEVService quit");
}

void CZEVManager::RequestStop() { stop_.RequestStop(); }

}  // namespace zev
