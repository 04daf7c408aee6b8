// CZEVZipExtractor::extractZip on a solid LZMA2 package of about 120 MB
// beside `7z x -mmt=1` of the same package, best of three runs each, in the
// same run.
//   extract_bench [WORK_DIR] [MiB]
// The package is made once in WORK_DIR (default a new folder in /tmp) from
// generated text: words, numbers and repeated records, compressible but not
// trivially so.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/child_run.h"
#include "download/zip_extractor.h"
#include "platform/paths.h"

namespace zev {

namespace {

double Best(int runs, const std::function<bool()>& fn, const std::function<void()>& reset) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    reset();
    int64_t t0 = NowNanos();
    if (!fn()) {
      fprintf(stderr, "run failed\n");
      exit(1);
    }
    best = std::min(best, (NowNanos() - t0) / 1e9);
  }
  return best;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  std::string work = argc > 1 ? argv[1] : "";
  long mib = argc > 2 ? atol(argv[2]) : 120;
  if (work.empty()) {
    std::string pattern = "/tmp/zev_extract_bench.XXXXXX";
    if (!mkdtemp(&pattern[0])) return 1;
    work = pattern;
  }
  std::string archive = work + "/package.7z";
  if (!FileExists(archive)) {
    std::string src = work + "/src";
    CreateDirectories(src + "/big");
    CreateDirectories(src + "/small");
    uint64_t left = static_cast<uint64_t>(mib) << 20;
    // A few large files and many small ones, as component packages have.
    for (int i = 0; left > 0; ++i) {
      size_t size = i < 8 ? std::min<uint64_t>(left, 12u << 20) : std::min<uint64_t>(left, 64u << 10);
      std::string name = i < 8 ? src + "/big/part" + std::to_string(i) + ".dat"
                               : src + "/small/f" + std::to_string(i) + ".txt";
      if (!WriteFileAtomically(name, MakeText(size, static_cast<uint32_t>(i)))) return 1;
      left -= size;
    }
    printf("making the package (7z a -ms=on -m0=LZMA2 -mx=3)...\n");
    fflush(stdout);
    if (!RunQuiet({"/usr/bin/7z", "a", "-ms=on", "-m0=LZMA2", "-mx=3", archive, src + "/big", src + "/small"})) return 1;
    std::error_code ec;
    std::filesystem::remove_all(src, ec);
  }
  uint64_t packed = std::filesystem::file_size(archive);

  std::string out_ours = work + "/out_ours";
  std::string out_7z = work + "/out_7z";
  auto reset = [&] {
    std::error_code ec;
    std::filesystem::remove_all(out_ours, ec);
    std::filesystem::remove_all(out_7z, ec);
  };
  CZEVZipExtractor extractor;
  if (!extractor.init7zLib()) return 1;
  auto ours = [&] { return extractor.extractZip(archive, out_ours); };
  auto theirs = [&] { return RunQuiet({"/usr/bin/7z", "x", "-mmt=1", "-y", "-o" + out_7z, archive}); };
  // Warm the page cache with one run of each, then alternate.
  Best(1, ours, reset);
  Best(1, theirs, reset);
  double t_ours = 1e30, t_7z = 1e30;
  for (int i = 0; i < 3; ++i) {
    t_ours = std::min(t_ours, Best(1, ours, reset));
    t_7z = std::min(t_7z, Best(1, theirs, reset));
  }
  // Both outputs side by side once more, to check that they agree.
  reset();
  bool same = ours() && theirs();
  size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out_7z)) {
    if (!same) break;
    if (!entry.is_regular_file()) continue;
    std::string mine, peer;
    std::string rel = entry.path().string().substr(out_7z.size());
    same = ReadFileToString(out_ours + rel, &mine) && ReadFileToString(entry.path().string(), &peer) && mine == peer;
    ++files;
  }
  printf("extract_bench: %ld MiB unpacked, %.1f MiB packed (solid LZMA2), %zu files, %s\n", mib,
         packed / 1048576.0, files, same ? "outputs agree" : "OUTPUTS DIFFER");
  printf("CZEVZipExtractor::extractZip  %7.3f s  %8.1f MB/s\n", t_ours, mib * 1.048576 / t_ours);
  printf("7z x -mmt=1                   %7.3f s  %8.1f MB/s\n", t_7z, mib * 1.048576 / t_7z);
  printf("ratio (ours / 7z)             %7.2f\n", t_ours / t_7z);
  reset();
  return same ? 0 : 1;
}
