// FileSha256Hex on a large file (page cache warm) beside `openssl dgst
// -sha256` of the same file, best of three runs each.
//   sha_bench [FILE] [MiB]
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "bench/bench_util.h"
#include "platform/digest.h"
#include "platform/paths.h"

namespace zev {

namespace {

double Best(int runs, const std::function<void()>& fn) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    int64_t t0 = NowNanos();
    fn();
    best = std::min(best, (NowNanos() - t0) / 1e9);
  }
  return best;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  std::string path = argc > 1 ? argv[1] : "/tmp/zev_sha_bench.bin";
  long mib = argc > 2 ? atol(argv[2]) : 1024;
  if (!FileExists(path)) {
    std::string cmd = "head -c " + std::to_string(mib) + "M /dev/urandom > '" + path + "'";
    if (system(cmd.c_str()) != 0) return 1;
  }
  std::string ours, theirs;
  Best(1, [&] { ours = FileSha256Hex(path); });  // warm the page cache
  double t_ours = Best(3, [&] { ours = FileSha256Hex(path); });
  double t_openssl = Best(3, [&] {
    std::string cmd = "openssl dgst -sha256 -r '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[256] = {0};
    if (p && fgets(buf, sizeof(buf), p)) theirs.assign(buf, 64);
    if (p) pclose(p);
  });
  printf("sha_bench: %ld MiB, %s\n", mib, ours == theirs ? "digests agree" : "DIGESTS DIFFER");
  printf("FileSha256Hex         %8.1f MB/s\n", mib * 1.048576 / t_ours);
  printf("openssl dgst -sha256  %8.1f MB/s\n", mib * 1.048576 / t_openssl);
  printf("ratio                 %8.2f\n", t_openssl / t_ours);
  return ours == theirs ? 0 : 1;
}
