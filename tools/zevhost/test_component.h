// Test helpers: components installed as small shell scripts in the folder
// the host looks in, the contexts that name them, and bounded polling.
#ifndef ZEV_TOOLS_ZEVHOST_TEST_COMPONENT_H_
#define ZEV_TOOLS_ZEVHOST_TEST_COMPONENT_H_

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "platform/paths.h"
#include "testing/sync.h"
#include "tools/zevhost/component_launch.h"

namespace zev {

inline CZEVComponentContext MakeContext(const std::string& app, const std::string& component,
                                        const std::string& version, const std::string& entry = "run.sh",
                                        CZEVRunMode mode = btApplicaiton, int interval = 0) {
  CZEVComponentContext c;
  c.set_appcode(app);
  c.set_componentid(component);
  c.set_version(version);
  c.mutable_manifest()->set_entrypoint(entry);
  c.mutable_manifest()->set_runmode(mode);
  c.mutable_manifest()->mutable_params()->set_interval(interval);
  c.mutable_manifest()->mutable_params()->set_extendparams("--verbose x");
  c.mutable_manifest()->mutable_params()->set_portrange("7000-7010");
  return c;
}

// Writes `body` as "#!/bin/sh" script `entry` into the context's install
// folder for this machine's architecture (made as needed) and answers the
// folder.
inline std::string InstallScript(const std::string& common_dir, const CZEVComponentContext& context,
                                 const std::string& body, bool executable = true) {
  const std::string dir = InstallDirFor(context, ArchitectureOrder().front(), common_dir);
  CreateDirectories(dir);
  const std::string path = dir + "/" + context.manifest().entrypoint();
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), executable ? 0755 : 0644);
  return dir;
}

// A script body that records its pid, working folder and ZEV_ variables in
// `record_dir`/run.<pid> (written whole, then renamed into place) and then
// runs `tail` (for example "exec sleep 1000").
inline std::string RecordingBody(const std::string& record_dir, const std::string& tail) {
  return "f=" + record_dir + "/run.$$\n"
         "{ echo \"pid=$$\"; echo \"cwd=$(pwd)\"; env | grep '^ZEV_'; } > \"$f.tmp\" && mv \"$f.tmp\" \"$f\"\n" +
         tail;
}

// The file names in `dir` that start with `prefix`, without the files being
// written (".tmp").
inline std::vector<std::string> ListFiles(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) continue;
    names.push_back(name);
  }
  closedir(d);
  return names;
}

// The lines "key=value" a recorded run (RecordingBody) wrote.
inline std::map<std::string, std::string> ReadRun(const std::string& path) {
  std::map<std::string, std::string> values;
  std::string text;
  ReadFileToString(path, &text);
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string line = text.substr(start, nl - start);
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// True when `pid` no longer runs (gone, or a zombie nobody reaped yet).
inline bool ProcessGone(pid_t pid) {
  std::string stat;
  if (!ReadFileToString("/proc/" + std::to_string(pid) + "/stat", &stat)) return true;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_TEST_COMPONENT_H_
