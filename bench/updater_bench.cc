// One download task for a 200 MB package (a 7z made by the 7z tool, stored
// without compression so that the figure is about moving and checking bytes)
// against the same steps done by hand: curl -o, openssl dgst -sha256 of the
// package, 7z x, openssl dgst -sha256 of the unpacked file. Both fetch from
// the same loopback server; runs alternate. Prints medians and the ratio.
//   updater_bench [repetitions=3] [megabytes=200]
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/child_run.h"
#include "download/updater.h"
#include "platform/digest.h"
#include "tools/zevdownloader/loopback_http_server.h"

namespace zev {

namespace {

namespace fs = std::filesystem;
using downloader::HttpConnection;
using downloader::HttpRequest;
using downloader::LoopbackHttpServer;

// Pseudo-random bytes: 7z cannot shrink them, so the package is as large as
// the file.
bool MakeRandomFile(const fs::path& path, size_t bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (size_t done = 0; done < bytes; done += block.size() * sizeof(uint64_t)) {
    for (uint64_t& word : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    size_t n = std::min(block.size() * sizeof(uint64_t), bytes - done);
    if (std::fwrite(block.data(), 1, n, f) != n) {
      std::fclose(f);
      return false;
    }
  }
  return std::fclose(f) == 0;
}

double Millis(int64_t nanos) { return static_cast<double>(nanos) / 1e6; }

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  int repetitions = argc > 1 ? std::atoi(argv[1]) : 3;
  size_t megabytes = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 200;
  if (repetitions <= 0 || megabytes == 0) {
    std::fprintf(stderr, "usage: updater_bench [repetitions] [megabytes]\n");
    return 1;
  }
  char pattern[] = "/tmp/updater_bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  const fs::path stage = root / "stage";
  fs::create_directories(stage);
  if (!MakeRandomFile(stage / "payload.bin", megabytes * 1000 * 1000)) return 1;
  Sample pack = RunChild({"sh", "-c", "cd '" + stage.string() + "' && 7z a -t7z -mx=0 ../payload.bin.7z payload.bin"});
  if (pack.code != 0) {
    std::fprintf(stderr, "7z a failed\n");
    return 1;
  }
  const fs::path package = root / "payload.bin.7z";
  const std::string zup_hash = FileSha256Hex(package.string());
  const std::string hash = FileSha256Hex((stage / "payload.bin").string());
  fs::remove(stage / "payload.bin");
  const size_t package_size = fs::file_size(package);

  int package_fd = open(package.c_str(), O_RDONLY | O_CLOEXEC);
  LoopbackHttpServer server([&](const HttpRequest&, HttpConnection& c) {
    c.SendHead(200, {"Content-Length: " + std::to_string(package_size)});
    c.SendFile(package_fd, 0, package_size);
  });
  if (package_fd < 0 || !server.Start()) return 1;
  const std::string url = server.Url("/payload.bin.7z");

  std::mutex mu;
  std::condition_variable cv;
  int finished = 0;
  bool installed = false;
  CZEVUpdater::UpdateCallback on_update = [&](const std::string& key, bool success, bool done) {
    std::lock_guard<std::mutex> lock(mu);
    if (!key.empty()) installed = success;
    if (key.empty() && done) ++finished;
    cv.notify_all();
    return true;
  };
  CZEVUpdater::LogEventCallback on_event = [](const std::string& text, uint16_t code) {
    if (code == kUpdaterError) std::fprintf(stderr, "%s\n", text.c_str());
    return true;
  };
  CZEVUpdater::Options options;
  options.downloader_dir = fs::path(ZEV_DOWNLOADER_PATH).parent_path().string() + "/";
  CZEVUpdater updater(options);
  updater.setLogEventCallback(&on_event);
  updater.setUpdateCallback(&on_update);

  std::vector<int64_t> ours, theirs;
  const fs::path install_root = root / "install";
  const fs::path by_hand = root / "by-hand";
  bool ok = true;
  for (int i = 0; i < repetitions && ok; ++i) {
    CZEVComponentProxy entry;
    entry.SetAppCode("app");
    entry.SetComponentID("comp");
    entry.SetInstallRoot(install_root.string());
    CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
    v->set_version("1.0");
    v->set_archtype(atx64);
    CZEVResource* r = v->mutable_manifest()->mutable_resources()->add_resource();
    r->set_path(url);
    r->set_name("payload.bin.7z");
    r->set_zuphash(zup_hash);
    r->set_hash(hash);
    int64_t start = NowNanos();
    ok = updater.addTask(entry) && updater.start();
    {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return finished == i + 1; });
      ok = ok && installed;
    }
    ours.push_back(NowNanos() - start);
    fs::remove_all(install_root);

    fs::create_directories(by_hand);
    const std::string pkg = (by_hand / "payload.bin.7z").string();
    int64_t sum = 0;
    for (const std::vector<std::string>& step :
         std::vector<std::vector<std::string>>{{"curl", "-s", "-S", "-o", pkg, url},
                                               {"openssl", "dgst", "-sha256", pkg},
                                               {"7z", "x", "-y", "-o" + by_hand.string(), pkg},
                                               {"openssl", "dgst", "-sha256", (by_hand / "payload.bin").string()}}) {
      Sample s = RunChild(step);
      ok = ok && s.code == 0;
      sum += s.nanos;
    }
    theirs.push_back(sum);
    fs::remove_all(by_hand);
  }
  updater.stop();
  server.Stop();
  close(package_fd);
  std::error_code ec;
  fs::remove_all(root, ec);
  if (!ok) {
    std::fprintf(stderr, "a run failed\n");
    return 1;
  }
  std::vector<int64_t> a = ours, b = theirs;
  std::printf("%zu MB package over loopback, %d runs each, alternating\n", megabytes, repetitions);
  std::printf("one task (download, 2 hash checks, 7z unpack)  median %8.1f ms  best %8.1f ms\n",
              Millis(Quantile(a, 0.5)), Millis(Quantile(ours, 0.0)));
  std::printf("curl + openssl dgst x2 + 7z x                  median %8.1f ms  best %8.1f ms\n",
              Millis(Quantile(b, 0.5)), Millis(Quantile(theirs, 0.0)));
  std::printf("time ratio (median task / median by hand): %.2f\n",
              static_cast<double>(Quantile(a, 0.5)) / static_cast<double>(Quantile(b, 0.5)));
  return 0;
}
