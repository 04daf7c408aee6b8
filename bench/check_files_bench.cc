// CheckInstalledFiles of a version with 200 resources of 1 MiB each (files
// in the page cache), beside hashing the same files with `openssl dgst -sha256`.
//   check_files_bench [DIR]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench/bench_util.h"
#include "model/component_proxy.h"
#include "platform/digest.h"
#include "platform/paths.h"

int main(int argc, char** argv) {
  using namespace zev;
  std::string root = argc > 1 ? argv[1] : "/tmp/zev_check_bench";
  CZEVComponentProxy entry;
  entry.SetInstallRoot(root);
  entry.SetAppCode("app");
  entry.SetComponentID("comp");
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version("1.0.0");
  v->set_archtype(atx64);
  const std::string dir = entry.GetInstallDir();
  CreateDirectories(dir + "/bin");
  std::mt19937_64 rng(1);
  std::string data(1 << 20, '\0');
  for (int i = 0; i < 200; ++i) {
    std::string name = "lib" + std::to_string(i) + ".so";
    std::string path = dir + "/bin/" + name;
    if (!FileExists(path)) {
      for (size_t j = 0; j < data.size(); j += 8) *reinterpret_cast<uint64_t*>(&data[j]) = rng();
      WriteFileAtomically(path, data);
    }
    CZEVResource* r = v->mutable_manifest()->mutable_resources()->add_resource();
    r->set_name(name + ".7z");
    r->set_directory("bin");
    r->set_hash(FileSha256Hex(path));  // also warms the page cache
  }
  std::string error;
  double best = 1e30;
  for (int i = 0; i < 5; ++i) {
    int64_t t0 = NowNanos();
    int rc = entry.CheckInstalledFiles(&error);
    best = std::min(best, (NowNanos() - t0) / 1e9);
    if (rc != 0) {
      fprintf(stderr, "check failed: %d %s\n", rc, error.c_str());
      return 1;
    }
  }
  std::string cmd = "openssl dgst -sha256 " + dir + "/bin/*.so > /dev/null";
  double best_openssl = 1e30;
  for (int i = 0; i < 5; ++i) {
    int64_t t0 = NowNanos();
    if (system(cmd.c_str()) != 0) return 1;
    best_openssl = std::min(best_openssl, (NowNanos() - t0) / 1e9);
  }
  printf("CheckInstalledFiles, 200 x 1 MiB     %8.1f ms per check\n", best * 1e3);
  printf("openssl dgst -sha256, same files     %8.1f ms\n", best_openssl * 1e3);
  return 0;
}
