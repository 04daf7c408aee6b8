// The service's counters, shown on "GET /metrics" in the Prometheus text
// format (version 0.0.4). The parts of the service add to them as they work;
// nothing reads them but the renderer.
//
// Adding is lock-free: a counter is one atomic, and a labelled family keeps
// its series in a fixed array that only grows, found by a scan without a
// lock. Only the first use of a new label set takes the family's lock. A
// family holds at most kMaxSeries label sets; later ones are counted under
// the label value "other", so that texts from the outside (method names,
// component ids) cannot make it grow without bound.
#ifndef ZEV_BASE_METRICS_H_
#define ZEV_BASE_METRICS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"

namespace zev {

class CounterFamily {
 public:
  static constexpr size_t kMaxSeries = 128;

  // `name` without the "_total" suffix, which the renderer adds.
  CounterFamily(std::string name, std::string help, std::vector<std::string> labels);
  CounterFamily(const CounterFamily&) = delete;
  CounterFamily& operator=(const CounterFamily&) = delete;

  // Adds `n` to the series of `values` (one value per label, in order).
  void Add(std::initializer_list<std::string> values, uint64_t n = 1);
  // The series' count; 0 when it was never added to.
  uint64_t Value(std::initializer_list<std::string> values) const;
  // Appends the family's HELP, TYPE and series lines.
  void Render(std::string* out) const;

 private:
  struct Series {
    std::string key;  // the values joined with '\0'
    std::vector<std::string> values;
    std::atomic<uint64_t> count{0};
  };
  Series* Find(const std::string& key) const;

  const std::string name_;
  const std::string help_;
  const std::vector<std::string> labels_;
  Mutex mu_;  // taken to add a series only
  // Series [0, size_) are complete and never change but for their count.
  std::array<Series, kMaxSeries> series_;
  std::atomic<size_t> size_{0};
};

// A value that goes up and down.
class Gauge {
 public:
  Gauge(std::string name, std::string help) : name_(std::move(name)), help_(std::move(help)) {}
  void Set(int64_t value) { value_.store(value, std::memory_order_relaxed); }
  int64_t Value() const { return value_.load(std::memory_order_relaxed); }
  void Render(std::string* out) const;

 private:
  const std::string name_;
  const std::string help_;
  std::atomic<int64_t> value_{0};
};

// Durations in fixed buckets (seconds), counted in microseconds.
class LatencyHistogram {
 public:
  LatencyHistogram(std::string name, std::string help);
  void Observe(int64_t micros);
  uint64_t Count() const { return count_.load(std::memory_order_relaxed); }
  void Render(std::string* out) const;

 private:
  static constexpr std::array<int64_t, 13> kBoundsMicros = {
      250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 1000000, 5000000, 30000000};
  const std::string name_;
  const std::string help_;
  std::array<std::atomic<uint64_t>, kBoundsMicros.size()> buckets_{};  // not cumulative
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> sum_micros_{0};
};

struct ServiceMetrics {
  Gauge components_loaded{"zev_components_loaded", "Components the hosts were asked to load."};
  Gauge components_running{"zev_components_running", "Loaded components whose host process runs."};
  CounterFamily host_restarts{"zev_host_restarts", "Restarts of a host process, by component it hosts.",
                              {"component"}};
  CounterFamily rollbacks{"zev_rollbacks", "Versions rolled back after a crash loop, by component.", {"component"}};
  CounterFamily passes{"zev_strategy_passes", "Passes of the server strategy, by where the catalogue came from.",
                       {"result"}};
  CounterFamily bytes_downloaded{"zev_downloaded_bytes", "Bytes of packages downloaded and verified.", {}};
  CounterFamily downloads{"zev_downloads", "Package downloads, by result.", {"result"}};
  CounterFamily extractions{"zev_extractions", "Package extractions, by result.", {"result"}};
  CounterFamily rpc_calls{"zev_rpc_calls", "Sealed RPC calls, by method and result.", {"method", "result"}};
  LatencyHistogram rpc_latency{"zev_rpc_call_duration_seconds", "Time a sealed RPC call took in the service."};
  CounterFamily log_dropped{"zev_log_dropped_lines", "Log lines dropped because the writer fell behind.", {}};
};

// The process's metrics; never destroyed.
ServiceMetrics& Metrics();
// Every metric of `metrics` in the text format.
std::string RenderMetrics(const ServiceMetrics& metrics);
// The Content-Type of the text format.
extern const char kMetricsContentType[];

}  // namespace zev

#endif  // ZEV_BASE_METRICS_H_
