// Small helpers for the benchmark programs: timing, percentiles and test
// data.
#ifndef ZEV_BENCH_BENCH_UTIL_H_
#define ZEV_BENCH_BENCH_UTIL_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zev {

inline int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The q-quantile (0..1) of the samples; sorts them.
inline int64_t Quantile(std::vector<int64_t>& samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t at = static_cast<size_t>(q * static_cast<double>(samples.size() - 1));
  return samples[at];
}

// Text from a small vocabulary with random numbers: LZMA2 gets it to about a
// quarter, unlike zeros or random bytes.
inline std::string MakeText(size_t bytes, uint32_t seed) {
  static const char* const kWords[] = {"component", "install", "version", "package", "download", "server",
                                       "catalogue", "strategy", "host", "module", "error", "retry",
                                       "timeout", "checksum", "archive", "folder", "file", "update"};
  std::mt19937 rng(seed);
  std::string text;
  text.reserve(bytes + 64);
  while (text.size() < bytes) {
    text += kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
    text += (rng() % 5 == 0) ? '\n' : ' ';
    if (rng() % 4 == 0) text += std::to_string(rng() % 100000) + ' ';
  }
  text.resize(bytes);
  return text;
}

}  // namespace zev

#endif  // ZEV_BENCH_BENCH_UTIL_H_
