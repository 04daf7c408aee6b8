// Loading 200 components in 20 process groups through the real monitor,
// zevhost and bus: the time until the manager has sent every "start", and
// until every component process runs; beside 20 bare spawns of /bin/true
// (posix_spawn and wait), measured in the same run.
//   load_bench [COMPONENTS] [GROUPS]
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/log.h"
#include "bench/bench_util.h"
#include "hosting/manager.h"
#include "hosting/monitor.h"
#include "platform/paths.h"

extern char** environ;

namespace zev {

namespace {

double BareSpawnsMillis(int count) {
  int64_t t0 = NowNanos();
  for (int i = 0; i < count; ++i) {
    pid_t pid;
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) std::abort();
    int status;
    waitpid(pid, &status, 0);
  }
  return static_cast<double>(NowNanos() - t0) / 1e6;
}

size_t CountFiles(const std::string& dir) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) n += entry.path().extension() != ".tmp";
  return n;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  const int components = argc > 1 ? std::atoi(argv[1]) : 200;
  const int groups = argc > 2 ? std::atoi(argv[2]) : 20;
  char pattern[] = "/tmp/zev-load-bench.XXXXXX";
  const std::string common = mkdtemp(pattern);
  setenv("ZEV_COMMON_APPDATA", common.c_str(), 1);
  LogInit(common + "/Varnel/ZEV/2.0", "zevservice");
  const std::string marks = common + "/marks";
  CreateDirectories(marks);

  CZEVApplication app;
  app.set_code("bench");
  for (int i = 0; i < components; ++i) {
    const std::string id = "c" + std::to_string(i);
    CZEVComponent* component = app.mutable_components()->add_component();
    component->set_componentid(id);
    CZEVVersion* version = component->mutable_versions()->add_version();
    version->set_version("1.0");
    version->set_archtype(atx64);
    CZEVManifest* manifest = version->mutable_manifest();
    manifest->set_entrypoint("run.sh");
    manifest->set_runmode(btApplicaiton);
    manifest->mutable_params()->set_pgroup("group" + std::to_string(i % groups));
    manifest->mutable_params()->set_expiredtime(4102416000000LL);
    const std::string dir = common + "/Varnel/ZEV/download/bench/" + id + "/1.0/x64";
    CreateDirectories(dir);
    std::ofstream(dir + "/run.sh") << "#!/bin/sh\n: > " << marks << "/" << id << "\nexec sleep 1000\n";
    chmod((dir + "/run.sh").c_str(), 0755);
  }

  const double bare = BareSpawnsMillis(groups);
  double sent, running;
  {
    ManagerDeps deps;
    deps.common_dir = common;
    deps.run_dir = common + "/run";
    deps.monitor_factory = [&]() -> pubsdk::IUnknownBase* {
      pubsdk::MonitorOptions options;
      options.clock = Clock::Real();
      options.host_dir = GetModuleDir();
      options.run_dir = common + "/run";
      options.event_sink = [](const EventElement&) {};
      return static_cast<pubsdk::IZEVMonitor*>(new pubsdk::CZEVMonitor(options));
    };
    CZEVManager manager(deps);
    int64_t t0 = NowNanos();
    manager.LoadApplication(app);
    sent = static_cast<double>(NowNanos() - t0) / 1e6;
    while (CountFiles(marks) < static_cast<size_t>(components)) {
      if (NowNanos() - t0 > 120LL * 1000 * 1000 * 1000) {
        std::fprintf(stderr, "only %zu of %d components ran within 120 s\n", CountFiles(marks), components);
        break;
      }
      usleep(1000);
    }
    running = static_cast<double>(NowNanos() - t0) / 1e6;
    manager.Quit();
  }
  std::printf("%d components in %d groups: every start sent in %.0f ms, every component running after %.0f ms\n",
              components, groups, sent, running);
  std::printf("%d bare spawns of /bin/true: %.1f ms   (running / bare: %.0fx)\n", groups, bare, running / bare);
  std::filesystem::remove_all(common);
  return 0;
}
