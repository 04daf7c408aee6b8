// Timings: every fixed delay of the service in one value, in milliseconds of
// the clock the part runs on (base/clock.h). The composition root
// (host/service_context.h) makes one and hands each part its delays; the
// option structs of the parts take their defaults from Timings(), so that a
// part made without the root waits as the service does.
//
// The update settings (First, Interval) and the ranges an operator may set
// them to stay in platform/settings.h; the lowest values the server strategy
// takes of them are delays here, the settings' lower bounds by default.
//
// Short() is for tests of whole processes alone (zevsvc --test-timings):
// the same service with delays of milliseconds instead of seconds and
// minutes.
#ifndef ZEV_BASE_TIMINGS_H_
#define ZEV_BASE_TIMINGS_H_

#include <cstdint>

#include "platform/settings.h"

namespace zev {

struct Timings {
  // zevsvc: the pause every start begins with, before anything else runs.
  int64_t start_pause_ms = 2000;
  // zevsvc under systemd: how often the status text is made again.
  int64_t health_check_ms = 60000;

  // Component manager: the single-instance mutex is tried
  // instance_attempts times, instance_retry_ms apart.
  int instance_attempts = 11;
  int64_t instance_retry_ms = 3000;
  // The wait before the port is written to the registry again after a
  // failed write (a full disk at start-up).
  int64_t port_write_retry_ms = 60000;
  // How long Quit waits for the hosts to leave after "stopall".
  int64_t host_stop_wait_ms = 3000;

  // Host monitor: how long a "start" waits for the group's host to appear
  // on the bus.
  int64_t host_presence_wait_ms = 2000;
  // The wait before a "start" that could not be sent is sent once more.
  int64_t start_resend_ms = 15000;
  // The sweep that looks at every host that is down.
  int64_t sweep_ms = 3600000;
  // A restart within this long of the last one counts against the restart
  // budget; restart_budget counted restarts refuse restarts until the next
  // UTC day.
  int64_t restart_window_ms = 1620000;
  int restart_budget = 10;
  // A host that ends within restart_backoff_reset_ms of its start waits
  // before its next start: nothing the first time, then
  // restart_backoff_first_ms, doubling up to restart_backoff_max_ms.
  // restart_backoff_first_ms 0: no wait.
  int64_t restart_backoff_first_ms = 1000;
  int64_t restart_backoff_max_ms = 60000;
  int64_t restart_backoff_reset_ms = 600000;
  // A version of a component that took the place of another is rolled
  // back when its process fails crash_loop_failures times within
  // crash_loop_window_ms of its start.
  int crash_loop_failures = 3;
  int64_t crash_loop_window_ms = 600000;

  // Port guard: the first probe of the local endpoint and the interval
  // between probes.
  int64_t port_probe_first_ms = 5000;
  int64_t port_probe_interval_ms = 60000;

  // Product watcher: how long after the last report of a package change
  // the changes run.
  int64_t product_update_delay_ms = 5000;

  // Server strategy: the first wait after a pass that could not reach the
  // server (each later retry doubles it, up to Interval).
  int64_t server_first_retry_ms = 120000;
  // Installations are saved at the end of a run, and at the latest with the
  // first one that completes this long after the last save.
  int64_t install_record_save_ms = 60000;
  // Server strategy: the lowest First and Interval it takes from the
  // settings (a lower stored value counts as this).
  int64_t first_pass_floor_ms = kFirstSetting.low * 1000;
  int64_t interval_floor_ms = kIntervalSetting.low * 1000;

  // zevsvc install/uninstall: the pause after a stop and after ending the
  // service's process, the pause between two looks at a stopping service,
  // and how long a stop may take before it counts as timed out.
  int64_t install_settle_ms = 5000;
  int64_t install_poll_ms = 1000;
  int64_t install_stop_timeout_ms = 30000;

  // Whether these are Short(): the service then warns at start.
  bool for_tests = false;

  // For tests of whole processes only: every delay in milliseconds, so that
  // a start, the first strategy pass (with First set to 1), a retry and a
  // restart take well under a second each. A host still gets its real 2 s to
  // join the bus: that waits on a process, not on a timer.
  static constexpr Timings Short() {
    Timings t;
    t.start_pause_ms = 100;
    t.health_check_ms = 3000;
    t.instance_retry_ms = 150;
    t.port_write_retry_ms = 3000;
    t.host_stop_wait_ms = 1000;
    t.start_resend_ms = 1000;
    t.sweep_ms = 60000;
    t.restart_window_ms = 60000;
    t.restart_backoff_first_ms = 100;
    t.restart_backoff_max_ms = 1000;
    t.restart_backoff_reset_ms = 10000;
    t.crash_loop_window_ms = 60000;
    t.port_probe_first_ms = 250;
    t.port_probe_interval_ms = 3000;
    t.product_update_delay_ms = 250;
    t.server_first_retry_ms = 2000;  // whole seconds: the strategy counts in seconds
    t.install_record_save_ms = 3000;
    t.first_pass_floor_ms = 1000;
    t.interval_floor_ms = 1000;
    t.install_settle_ms = 100;
    t.install_poll_ms = 50;
    t.install_stop_timeout_ms = 2000;
    t.for_tests = true;
    return t;
  }
};

}  // namespace zev

#endif  // ZEV_BASE_TIMINGS_H_
