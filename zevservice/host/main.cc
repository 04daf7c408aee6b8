// zevsvc: the ZEV service.
//   zevsvc -application   run in the foreground, driven by numbers on standard input
//   zevsvc [-service]     run under systemd (Type=notify)
//   zevsvc install        install (or reinstall) the systemd unit zevsvc.service
//   zevsvc uninstall      stop the service and remove the unit
// --test-timings, anywhere on the command line, runs any of these with the
// short delays of Timings::Short(); for tests of whole processes only.
// --no-restart-backoff starts a failed host again at once, without the wait
// that grows with its quick ends (the restart budget still counts); for
// benchmarks that set the backoff beside its absence only.
#include <google/protobuf/stubs/logging.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "host/install.h"
#include "host/service.h"
#include "host/service_context.h"
#include "platform/process.h"

namespace zev {

namespace {

// Protobuf reports malformed input (for example invalid UTF-8 in a string
// field of a call) on standard error; it belongs in the process log.
void ProtobufToLog(google::protobuf::LogLevel level, const char* /*file*/, int /*line*/,
                   const std::string& message) {
  LogWrite(level >= google::protobuf::LOGLEVEL_ERROR ? kLogWarning : kLogInfo, "protobuf: %s", message.c_str());
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  TakeNotifySocket();
  BlockControlSignals();
  google::protobuf::SetLogHandler(ProtobufToLog);
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto test_flag = std::remove(args.begin(), args.end(), std::string("--test-timings"));
  const bool test_timings = test_flag != args.end();
  args.erase(test_flag, args.end());
  const auto backoff_flag = std::remove(args.begin(), args.end(), std::string("--no-restart-backoff"));
  const bool no_backoff = backoff_flag != args.end();
  args.erase(backoff_flag, args.end());
  Timings timings = test_timings ? Timings::Short() : CZEVServiceContext::ServiceTimings();
  if (test_timings) {
    DebugPrintAt(kJournalWarning, "zevsvc runs with the short delays of --test-timings; that is for tests only");
  }
  if (no_backoff) {
    timings.restart_backoff_first_ms = 0;
    DebugPrintAt(kJournalWarning, "zevsvc restarts failed hosts without backoff (--no-restart-backoff); that is for "
                                  "benchmarks only");
  }
  // The pause every start begins with. A stop asked meanwhile ends the
  // process at once: nothing runs yet that would need stopping.
  if (PauseBeforeStart(timings.start_pause_ms)) return 0;
  if (!args.empty() && (strcasecmp(args[0].c_str(), "install") == 0 ||
                        strcasecmp(args[0].c_str(), "uninstall") == 0)) {
    const bool install = strcasecmp(args[0].c_str(), "install") == 0;
    const char* verb = install ? "install" : "uninstall";
    InstallOptions options = InstallOptions::FromEnvironment();
    options.clock = Clock::Real();
    options.SetTimings(timings);
    ServiceInstaller installer(options);
    const bool ok = install ? installer.Install() : installer.Remove();
    // Standard error carries every step; the outcome also goes to standard
    // output for the operator.
    if (ok) {
      DebugPrintAt(kJournalInfo, "Success to %s ZEVService", verb);
      printf("Success to %s ZEVService\n", verb);
    } else {
      DebugPrintAt(kJournalError, "Failed to %s ZEVService", verb);
      printf("Failed to %s ZEVService\n", verb);
    }
    fflush(stdout);
    return ok ? 0 : -1;
  }
  // A service manager's default of 1024 descriptors is used up by a few
  // hundred idle clients.
  RaiseDescriptorLimit();
  // The composition root is built here, once, before any thread starts. It
  // and the service live until the process exits: threads of theirs may
  // still run while it does.
  static CZEVServiceContext* const context = new CZEVServiceContext(CZEVServiceContext::ServiceOptions(timings));
  static CZEVService* const service_made = new CZEVService(context);
  CZEVService& service = *service_made;
  if (!service.Run(args)) {
    // Started by hand without -application: say how, and do not report
    // success for a service that never ran.
    fprintf(stderr,
            "%szevsvc: not started by the service manager; use \"zevsvc -application\" to run it in the "
            "foreground\n",
            JournalPrefix(kJournalError));
    return 1;
  }
  // The service has stopped: nothing may send events while the process
  // tears down the log and OpenSSL.
  context->StopEvents();
  return service.exit_code();
}
