// The process log against its limit and its peer:
//  - caller latency of one line (median, 99th percentile), lines paced so that
//    the queue never fills;
//  - sustained lines per second with no drop: producers push as fast as the
//    queue takes them (waiting when it is full) until every line is on disk;
// beside plain write(2) of the same lines (one call per line, no queue) and
// spdlog's asynchronous file logger (blocking overflow policy).
//
//   log_bench [DIR] [LINES]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "base/log.h"
#include "platform/paths.h"

#ifdef ZEV_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace zev {

namespace {

std::string Message(int i) {
  return "component {823DB335-3818-5796-80C4-0A8E90361C5A} registered port " + std::to_string(61024 + i % 100) +
         " for client " + std::to_string(i);
}

struct Figures {
  int64_t median_ns = 0;
  int64_t p99_ns = 0;
  double lines_per_s = 0;
};

void Print(const char* name, const Figures& f) {
  printf("%-28s latency median %6lld ns  p99 %7lld ns   sustained %10.0f lines/s\n", name,
         static_cast<long long>(f.median_ns), static_cast<long long>(f.p99_ns), f.lines_per_s);
}

template <typename Fn>
std::vector<int64_t> PacedLatencies(int lines, Fn fn) {
  std::vector<int64_t> samples;
  samples.reserve(lines);
  for (int i = 0; i < lines; ++i) {
    int64_t t0 = NowNanos();
    fn(i);
    samples.push_back(NowNanos() - t0);
    if (i % 1000 == 999) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return samples;
}

Figures BenchZev(const std::string& dir, int lines) {
  Figures f;
  {
    // Latency through the real entry point and the process-wide log.
    LogInit(dir, "zevlat");
    auto samples = PacedLatencies(lines / 4, [&](int i) {
      LogWrite(kLogInfo, "component {823DB335-3818-5796-80C4-0A8E90361C5A} registered port %d for client %d",
               61024 + i % 100, i);
    });
    f.median_ns = Quantile(samples, 0.5);
    f.p99_ns = Quantile(samples, 0.99);
    LogShutdown();
  }
  CZEVLogQueue log(dir, "zevrate");
  log.Open();
  log.Start();
  int64_t t0 = NowNanos();
  const int threads = 4;
  std::vector<std::thread> producers;
  for (int t = 0; t < threads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = t; i < lines; i += threads) {
        std::string line = FormatLogLine(1, "zevsvc", Message(i));
        while (!log.Push(line)) std::this_thread::yield();  // wait for room: no line dropped
      }
    });
  }
  for (auto& p : producers) p.join();
  log.Stop();
  f.lines_per_s = lines / ((NowNanos() - t0) / 1e9);
  return f;
}

Figures BenchWrite(const std::string& dir, int lines) {
  Figures f;
  int fd = open((dir + "/plain.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
  auto samples = PacedLatencies(lines / 4, [&](int i) {
    std::string line = FormatLogLine(1, "zevsvc", Message(i));
    if (write(fd, line.data(), line.size()) < 0) perror("write");
  });
  f.median_ns = Quantile(samples, 0.5);
  f.p99_ns = Quantile(samples, 0.99);
  int64_t t0 = NowNanos();
  for (int i = 0; i < lines; ++i) {
    std::string line = FormatLogLine(1, "zevsvc", Message(i));
    if (write(fd, line.data(), line.size()) < 0) perror("write");
  }
  fdatasync(fd);
  f.lines_per_s = lines / ((NowNanos() - t0) / 1e9);
  close(fd);
  return f;
}

#ifdef ZEV_HAVE_SPDLOG
// spdlog formats its own line with an equivalent pattern; it flushes with
// fflush only (no fdatasync), which favours it on throughput.
Figures BenchSpdlog(const std::string& dir, int lines) {
  Figures f;
  spdlog::init_thread_pool(10000, 1);
  const char* pattern = "%Y-%m-%d %H:%M:%S.%e %-5P %-5t %-15n [%l] %v";
  {
    auto logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("spdlat", dir + "/spdlat.txt", true);
    logger->set_pattern(pattern);
    auto samples = PacedLatencies(lines / 4, [&](int i) { logger->info(Message(i)); });
    f.median_ns = Quantile(samples, 0.5);
    f.p99_ns = Quantile(samples, 0.99);
    logger->flush();
  }
  auto logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("spdrate", dir + "/spdrate.txt", true);
  logger->set_pattern(pattern);
  int64_t t0 = NowNanos();
  const int threads = 4;
  std::vector<std::thread> producers;
  for (int t = 0; t < threads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = t; i < lines; i += threads) logger->info(Message(i));
    });
  }
  for (auto& p : producers) p.join();
  logger->flush();
  spdlog::shutdown();  // joins the pool after the queue is empty
  f.lines_per_s = lines / ((NowNanos() - t0) / 1e9);
  return f;
}
#endif

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  std::string dir = argc > 1 ? argv[1] : "/tmp/zev_log_bench";
  int lines = argc > 2 ? atoi(argv[2]) : 400000;
  CreateDirectories(dir);
  printf("log_bench: %d lines of ~130 bytes into %s\n", lines, dir.c_str());
  {
    std::vector<int64_t> samples;
    size_t sink = 0;
    for (int i = 0; i < lines / 4; ++i) {
      int64_t t0 = NowNanos();
      sink += FormatLogLine(1, "zevsvc", Message(i)).size();
      samples.push_back(NowNanos() - t0);
    }
    printf("%-28s latency median %6lld ns (formatting share of each caller; %zu bytes)\n",
           "FormatLogLine alone", static_cast<long long>(Quantile(samples, 0.5)), sink);
  }
  Print("plain write(2) (limit)", BenchWrite(dir, lines));
  Print("LogWrite / CZEVLogQueue", BenchZev(dir, lines));
#ifdef ZEV_HAVE_SPDLOG
  Print("spdlog async file logger", BenchSpdlog(dir, lines));
#endif
  return 0;
}
