// zevdownloader against curl -o: one 200 MB file over loopback from the same
// sendfile server, alternating the two programs. Prints the median and best
// wall time and the peak resident size of each, and the ratio of medians.
//   downloader_bench [repetitions=5] [megabytes=200]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/child_run.h"
#include "tools/zevdownloader/loopback_http_server.h"

namespace zev {

namespace {

namespace fs = std::filesystem;
using downloader::HttpConnection;
using downloader::HttpRequest;
using downloader::LoopbackHttpServer;

bool MakeSource(const fs::path& path, size_t bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<unsigned char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 131 + i / 251);
  for (size_t done = 0; done < bytes; done += block.size()) {
    if (std::fwrite(block.data(), 1, std::min(block.size(), bytes - done), f) == 0) {
      std::fclose(f);
      return false;
    }
  }
  return std::fclose(f) == 0;
}

void Report(const char* name, std::vector<Sample>& samples) {
  std::vector<int64_t> nanos;
  long rss = 0;
  for (const Sample& s : samples) {
    nanos.push_back(s.nanos);
    rss = std::max(rss, s.max_rss_kib);
  }
  std::vector<int64_t> copy = nanos;
  std::printf("%-14s median %8.1f ms  best %8.1f ms  peak RSS %6.1f MiB\n", name, Quantile(copy, 0.5) / 1e6,
              Quantile(nanos, 0.0) / 1e6, static_cast<double>(rss) / 1024.0);
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
  size_t megabytes = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 200;
  if (repetitions <= 0 || megabytes == 0) {
    std::fprintf(stderr, "usage: downloader_bench [repetitions] [megabytes]\n");
    return 1;
  }
  char pattern[] = "/tmp/downloader_bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  const fs::path source = root / "source.bin";
  const size_t size = megabytes * 1000 * 1000;
  if (!MakeSource(source, size)) {
    std::fprintf(stderr, "cannot write %s\n", source.c_str());
    return 1;
  }
  int source_fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  LoopbackHttpServer server([&](const HttpRequest&, HttpConnection& c) {
    c.SendHead(200, {"Content-Length: " + std::to_string(size), "Content-Type: application/octet-stream"});
    c.SendFile(source_fd, 0, size);
  });
  if (source_fd < 0 || !server.Start()) return 1;
  const std::string url = server.Url("/source.bin");
  const fs::path out_dir = root / "out";
  fs::create_directories(out_dir);

  std::vector<Sample> ours, theirs;
  bool ok = true;
  for (int i = 0; i < repetitions && ok; ++i) {
    Sample s = RunChild({ZEV_DOWNLOADER_PATH, url, "-d", out_dir.string(), "--file-allocation=none", "-o", "a.bin"});
    ok = s.code == 0 && fs::file_size(out_dir / "a.bin") == size;
    fs::remove(out_dir / "a.bin");
    ours.push_back(s);
    Sample c = RunChild({"curl", "-s", "-S", "-o", (out_dir / "b.bin").string(), url});
    ok = ok && c.code == 0 && fs::file_size(out_dir / "b.bin") == size;
    fs::remove(out_dir / "b.bin");
    theirs.push_back(c);
  }
  server.Stop();
  close(source_fd);
  std::error_code ec;
  fs::remove_all(root, ec);
  if (!ok) {
    std::fprintf(stderr, "a download failed\n");
    return 1;
  }
  std::printf("%zu MB over loopback, %d runs each, alternating\n", megabytes, repetitions);
  Report("zevdownloader", ours);
  Report("curl -o", theirs);
  std::vector<int64_t> a, b;
  for (const Sample& s : ours) a.push_back(s.nanos);
  for (const Sample& s : theirs) b.push_back(s.nanos);
  std::printf("time ratio (median zevdownloader / median curl): %.2f\n",
              static_cast<double>(Quantile(a, 0.5)) / static_cast<double>(Quantile(b, 0.5)));
  return 0;
}
