// A component package renamed into place, until the product-inner strategy
// reports the change to its manager, beside `7z x` of the same package, in
// the same run.
//   product_bench [WORK_DIR] [MiB] [RUNS]
// The strategy runs on a FakeClock: the bench moves the clock over each 5 s
// delay (the watcher's update delay, then the strategy's notify delay) the
// moment the delay is armed, so neither counts. What counts is the real work:
// the inotify report (which includes the directory watcher's 100 ms batch
// window), unpacking into the staging folder, moving the files into the
// cache folder, reading every Config.json and the report. Two builds of the
// package with the same files but other contents alternate, so that every
// update replaces every file.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/child_run.h"
#include "download/zip_extractor.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "strategy/product_strategy.h"
#include "testing/fake_clock.h"

namespace zev {

namespace {

// A package of one component: four large files and many small ones below
// app/comp/1.0/x64/, with a Config.json that lists each file with its digest.
bool MakePackage(const std::string& work, const std::string& archive, long mib, uint32_t seed) {
  const std::string src = work + "/src";
  std::error_code ec;
  std::filesystem::remove_all(src, ec);
  const std::string dir = src + "/app/comp/1.0/x64";
  if (!CreateDirectories(dir)) return false;
  std::string resources;
  uint64_t left = static_cast<uint64_t>(mib) << 20;
  for (int i = 0; left > 0; ++i) {
    size_t size = i < 4 ? std::min<uint64_t>(left, 8u << 20) : std::min<uint64_t>(left, 64u << 10);
    std::string name = "f" + std::to_string(i) + ".dat";
    std::string data = MakeText(size, seed * 100003u + static_cast<uint32_t>(i));
    if (!WriteFileAtomically(dir + "/" + name, data)) return false;
    if (!resources.empty()) resources += ",";
    resources += "{\"name\":\"" + name + ".7z\",\"originalHash\":\"" + Sha256Hex(data.data(), data.size()) +
                 "\",\"directory\":\"\"}";
    left -= size;
  }
  std::string config = "{\"code\":\"app\",\"name\":\"n\",\"description\":\"d\",\"components\":[{\"libraryId\":"
                        "\"comp\",\"name\":\"c\",\"description\":\"cd\",\"version\":{\"version\":\"1.0\","
                        "\"manifest\":{\"loadMode\":2,\"resources\":[" + resources + "]}}}]}";
  if (!WriteFileAtomically(src + "/Config.json", config)) return false;
  bool ok = RunQuiet({"/usr/bin/7z", "a", "-ms=on", "-m0=LZMA2", "-mx=3", archive, "Config.json", "app"}, src);
  std::filesystem::remove_all(src, ec);
  return ok;
}

double Median(std::vector<int64_t> samples) { return Quantile(samples, 0.5) / 1e6; }

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  std::string work = argc > 1 ? argv[1] : "";
  long mib = argc > 2 ? atol(argv[2]) : 48;
  int runs = argc > 3 ? atoi(argv[3]) : 7;
  if (work.empty()) {
    std::string pattern = "/tmp/zev_product_bench.XXXXXX";
    if (!mkdtemp(&pattern[0])) return 1;
    work = pattern;
  }
  const std::string common = work + "/common";
  std::error_code ec;
  std::filesystem::remove_all(common, ec);
  setenv("ZEV_COMMON_APPDATA", common.c_str(), 1);
  const std::string packages[2] = {work + "/build_a.7z", work + "/build_b.7z"};
  for (int i = 0; i < 2; ++i) {
    if (FileExists(packages[i])) continue;
    printf("making %s (%ld MiB, 7z a -ms=on -m0=LZMA2 -mx=3)...\n", packages[i].c_str(), mib);
    fflush(stdout);
    if (!MakePackage(work, packages[i], mib, static_cast<uint32_t>(i + 1))) return 1;
  }

  FakeClock clock;
  CZEVProductInnerStrategy::Options options;
  options.clock = &clock;
  const std::string product = common + "/Varnel/components/p";
  if (!CreateDirectories(product)) return 1;
  CZEVProductInnerStrategy strategy(options);
  std::mutex mu;
  std::condition_variable cv;
  int reports = 0;
  int64_t reported_at = 0;
  SourceChangedCallback manager = [&](CZEVComponentSourceType) {
    std::lock_guard<std::mutex> lock(mu);
    reported_at = NowNanos();
    ++reports;
    cv.notify_all();
    return true;
  };
  strategy.SetChangedCallback(&manager);

  CZEVZipExtractor extractor;
  if (!extractor.init7zLib()) return 1;
  std::vector<int64_t> total, detect, process, offer, baseline, unpack;
  bool intact = true;
  for (int i = 0; i < runs + 1; ++i) {  // the first round warms the page cache
    const std::string part = product + "/components.7z.part";
    if (!CopyFileTo(packages[i % 2], part)) return 1;
    const int64_t t0 = NowNanos();
    if (rename(part.c_str(), (product + "/components.7z").c_str()) != 0) return 1;
    if (!clock.AwaitTimedWaiters(1, 60000)) return 1;  // the watcher's delay is armed
    const int64_t t1 = NowNanos();
    clock.AdvanceSeconds(CZEVProductInnerWatcher::kUpdateDelaySeconds);
    if (!clock.AwaitTimedWaiters(1, 60000)) return 1;  // the strategy's delay is armed
    clock.AdvanceSeconds(CZEVProductInnerStrategy::kNotifyDelaySeconds);
    int64_t t3;
    {
      std::unique_lock<std::mutex> lock(mu);
      if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return reports == i + 1; })) return 1;
      t3 = reported_at;
    }
    const int64_t t4 = NowNanos();
    std::vector<CZEVComponentProxy> entries;
    strategy.GetComponents(&entries);
    intact = intact && entries.size() == 1;
    const int64_t t5 = NowNanos();

    const std::string out = work + "/out_7z";
    std::filesystem::remove_all(out, ec);
    const int64_t b0 = NowNanos();
    if (!RunQuiet({"/usr/bin/7z", "x", "-y", "-o" + out, packages[i % 2]})) return 1;
    const int64_t b1 = NowNanos();
    std::filesystem::remove_all(out, ec);
    const int64_t u0 = NowNanos();
    if (!extractor.extractZip(packages[i % 2], out)) return 1;
    const int64_t u1 = NowNanos();
    std::filesystem::remove_all(out, ec);
    if (i == 0) continue;
    total.push_back(t3 - t0);
    detect.push_back(t1 - t0);
    process.push_back(t3 - t1);
    offer.push_back(t5 - t4);
    baseline.push_back(b1 - b0);
    unpack.push_back(u1 - u0);
  }
  printf("product_bench: %ld MiB package, %d runs, medians; the two 5 s delays bypassed on a FakeClock; %s\n", mib,
         runs, intact ? "entry offered intact every time" : "ENTRY NOT OFFERED");
  printf("rename -> strategy's change report  %8.1f ms\n", Median(total));
  printf("  of which rename -> update armed   %8.1f ms  (inotify and the 100 ms batch window)\n", Median(detect));
  printf("  of which armed -> report          %8.1f ms  (unpack, move into the cache, re-read, arm, report)\n",
         Median(process));
  printf("GetComponents (SHA-256 of every file) %6.1f ms\n", Median(offer));
  printf("7z x of the same package            %8.1f ms\n", Median(baseline));
  printf("CZEVZipExtractor::extractZip alone  %8.1f ms  (the unpack step by itself)\n", Median(unpack));
  printf("ratio (armed -> report) / 7z x      %8.2f\n", Median(process) / Median(baseline));
  std::filesystem::remove_all(common, ec);
  return intact ? 0 : 1;
}
