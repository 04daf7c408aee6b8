// Small helpers for the benchmark programs: timing and percentiles.
#ifndef ZEV_BENCH_BENCH_UTIL_H_
#define ZEV_BENCH_BENCH_UTIL_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

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

#endif  // ZEV_BENCH_BENCH_UTIL_H_
