// zevdownloader: fetches one URL into one file for the service's download
// tasks. See command_line.h for the command line and
// contract/downloader_exit_codes.h for the exit codes. Standard output stays
// silent; a failure writes one line to standard error.
#include <curl/curl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/zevdownloader/command_line.h"
#include "tools/zevdownloader/downloader.h"
#include "contract/downloader_exit_codes.h"

namespace zev {

namespace {

int Report(int code, const std::string& reason) {
  std::fprintf(stderr, "zevdownloader: %s\n", reason.c_str());
  return code;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  using namespace zev::downloader;
  // The stop signals are taken through a signalfd that the transfer loop
  // polls, so that a stop ends the transfer at once and the partial file is
  // left in a known state. They are blocked before PR_SET_PDEATHSIG so that
  // the parent's death reaches the same path.
  pid_t parent = getppid();
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return Report(kExitStopped, "parent process ended");

  std::vector<std::string> args(argv + 1, argv + argc);
  DownloadRequest request;
  std::string error;
  if (!ParseCommandLine(args, &request, &error)) {
    return Report(kExitUsage, error + "; usage: zevdownloader URL -d DIR -o NAME [--file-allocation=X] [--max-size N] "
                                   "[--ca-certificate=FILE]");
  }
  int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (stop_fd < 0) return Report(kExitNetwork, "cannot watch stop signals");
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    close(stop_fd);
    return Report(kExitNetwork, "cannot initialise libcurl");
  }
  int code;
  {
    Downloader downloader(request, stop_fd);
    code = downloader.Run();
    if (code != kExitOk) Report(code, downloader.error());
  }
  curl_global_cleanup();
  close(stop_fd);
  return code;
}
