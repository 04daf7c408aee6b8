// "zevsvc install" and "zevsvc uninstall": the service as the systemd unit
// zevsvc.service, written with its wants-link into the unit folder, and its
// removal (stop, kill what is left, delete). Both are meant to be run again
// and again by product installers: installing first removes an earlier
// installation, removing also kills a service that does not stop and every
// host process of this instance.
//
// Every step is reported to standard error (DebugPrint) and to the install
// log "zevsvc" in the data directory, which is opened once per process on
// the first step; without a usable data directory the steps go to standard
// error alone.
#ifndef ZEV_HOST_INSTALL_H_
#define ZEV_HOST_INSTALL_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/timings.h"

namespace zev {

class Clock;

struct InstallOptions {
  // Runs the pauses and the stop time-out. Not owned; must outlive the
  // installer. Null: Clock::Real().
  Clock* clock = nullptr;
  // The program that answers as systemctl (looked up in PATH when it holds
  // no "/").
  std::string systemctl = "systemctl";
  // The folder of unit files; created when missing.
  std::string unit_dir = "/etc/systemd/system";
  // The folder where the Debian package puts its zevsvc.service. While that
  // unit is there, the service belongs to the package: a unit in unit_dir
  // would override it and outlive the package's removal.
  std::string package_unit_dir = "/lib/systemd/system";
  // When this folder exists systemd runs as the service manager and is told
  // to reload its units after each change.
  std::string systemd_marker = "/run/systemd/system";
  // The running program, as ExecStart names it after its links are
  // resolved. Empty: the running executable.
  std::string program;
  // Host processes of this instance ended on removal.
  std::string host_program = "zevhost";
  // The pauses and the stop time-out (Timings names each).
  int64_t settle_ms = Timings().install_settle_ms;
  int64_t poll_ms = Timings().install_poll_ms;
  int64_t stop_timeout_ms = Timings().install_stop_timeout_ms;

  void SetTimings(const Timings& timings) {
    settle_ms = timings.install_settle_ms;
    poll_ms = timings.install_poll_ms;
    stop_timeout_ms = timings.install_stop_timeout_ms;
  }

  // The defaults, with $ZEV_SYSTEMCTL, $ZEV_SYSTEMD_UNIT_DIR and
  // $ZEV_PACKAGE_UNIT_DIR taking the place of the program and the folders
  // when set and not empty.
  static InstallOptions FromEnvironment();
};

// Not thread-safe: one thread runs one operation at a time.
class ServiceInstaller {
 public:
  explicit ServiceInstaller(InstallOptions options);

  // Removes an earlier installation (its result ignored), kills a service
  // process left over, then writes the unit and its wants-link and reloads
  // systemd when it runs. True when the unit and the link are in place (and
  // the reload, if any, succeeded). False, with the reason reported, when the
  // package's unit is installed (nothing is touched then), the program path
  // cannot be put into a unit or the unit folder cannot be written; a unit
  // whose link cannot be made is taken away again.
  bool Install();
  // Stops the service (waiting up to 30 s, then killing it), ends the host
  // processes of this instance, deletes the link and the unit and reloads
  // systemd when it runs. A wants-link that points elsewhere than at this
  // unit (the package's enablement) stays. False when no unit is installed
  // or it cannot be deleted; with only the package's unit installed nothing
  // is stopped or killed.
  bool Remove();
  // Stops the service when it runs and waits for it, up to 30 s from the
  // first query. True whenever the unit is installed: the outcome of the stop
  // is only reported.
  bool StopService();
  // Kills the service's main process, if systemd reports one. It asks
  // systemd even when the unit file is gone: a deleted unit that still runs
  // stays loaded until it stops. Always true.
  bool TerminateServiceProcess();

  // Path of the unit file and of its wants-link.
  std::string UnitPath() const;
  std::string WantsLinkPath() const;
  // Path of the package's unit file.
  std::string PackageUnitPath() const;

 private:
  struct Status {
    std::string active_state;  // systemd's ActiveState
    pid_t main_pid = 0;
  };
  // Whether the unit file is installed (errno tells why not).
  bool OpenService();
  // Whether the package's unit file is installed.
  bool PackageUnitInstalled() const;
  // Whether the wants-link leads to this installation's unit.
  bool WantsLinkIsOurs() const;
  // The unit's state as systemd reports it; false with *code = errno or
  // systemctl's exit code, or EBADMSG for an answer without a state.
  bool QueryStatus(Status* status, int* code);
  static bool IsStopped(const Status& s);
  // Runs systemctl with `args`; its standard output into *out when given.
  // False with *code = errno (cannot run) or its exit code (non-zero).
  bool RunSystemctl(const std::vector<std::string>& args, std::string* out, int* code);
  // Reloads systemd when it runs; false with *code as RunSystemctl.
  bool ReloadIfSystemdRuns(int* code);
  // Writes the unit file and its wants-link; false with the errno in *code
  // and the path that failed in *where, and no unit left behind.
  bool WriteUnitAndLink(const std::string& unit, int* code, std::string* where);
  void WaitForPendingStop(int64_t start_ms);
  void SendStopAndWait(int64_t start_ms);
  // Queries after each pause until the service has stopped, the query fails,
  // or more than options_.stop_timeout_ms have passed since `start_ms` (then
  // `timeout_text`).
  void WaitUntilStopped(int64_t start_ms, bool say_pending, int64_t pause_ms, const char* timeout_text);
  void Sleep(int64_t ms);
  int64_t ElapsedSince(int64_t start_ms);

  const InstallOptions options_;
  Clock* const clock_;
};

}  // namespace zev

#endif  // ZEV_HOST_INSTALL_H_
