#include "base/metrics.h"

#include <cinttypes>
#include <cstdio>

namespace zev {

namespace {

constexpr char kOtherValue[] = "other";

std::string JoinKey(const std::vector<std::string>& values) {
  std::string key;
  for (const std::string& value : values) key += value + '\0';
  return key;
}

// Appends a label value as the text format quotes it.
void AppendEscaped(std::string* out, const std::string& text) {
  for (char c : text) {
    if (c == '\\') {
      out->append("\\\\");
    } else if (c == '"') {
      out->append("\\\"");
    } else if (c == '\n') {
      out->append("\\n");
    } else {
      out->push_back(c);
    }
  }
}

void Head(std::string* out, const std::string& name, const std::string& help, const char* type) {
  out->append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ");
  out->append(type).append("\n");
}

std::string Number(double value) {
  char text[32];
  snprintf(text, sizeof(text), "%.6g", value);
  return text;
}

}  // namespace

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

CounterFamily::CounterFamily(std::string name, std::string help, std::vector<std::string> labels)
    : name_(std::move(name)), help_(std::move(help)), labels_(std::move(labels)) {}

CounterFamily::Series* CounterFamily::Find(const std::string& key) const {
  const size_t size = size_.load(std::memory_order_acquire);
  for (size_t i = 0; i < size; ++i) {
    if (series_[i].key == key) return const_cast<Series*>(&series_[i]);
  }
  return nullptr;
}

void CounterFamily::Add(std::initializer_list<std::string> values_list, uint64_t n) {
  std::vector<std::string> values(values_list);
  values.resize(labels_.size());
  std::string key = JoinKey(values);
  Series* series = Find(key);
  if (series == nullptr) {
    MutexLock lock(&mu_);
    series = Find(key);
    size_t size = size_.load(std::memory_order_relaxed);
    if (series == nullptr && size + 1 >= kMaxSeries) {
      // The last slot holds every label set that came too late.
      values.assign(labels_.size(), kOtherValue);
      key = JoinKey(values);
      series = Find(key);
    }
    if (series == nullptr && size < kMaxSeries) {
      series = &series_[size];
      series->key = key;
      series->values = values;
      size_.store(size + 1, std::memory_order_release);
    }
  }
  if (series != nullptr) series->count.fetch_add(n, std::memory_order_relaxed);
}

uint64_t CounterFamily::Value(std::initializer_list<std::string> values_list) const {
  std::vector<std::string> values(values_list);
  values.resize(labels_.size());
  const Series* series = Find(JoinKey(values));
  return series != nullptr ? series->count.load(std::memory_order_relaxed) : 0;
}

void CounterFamily::Render(std::string* out) const {
  const std::string name = name_ + "_total";
  Head(out, name, help_, "counter");
  const size_t size = size_.load(std::memory_order_acquire);
  // A family without labels always shows its one series, 0 until used.
  if (labels_.empty() && size == 0) *out += name + " 0\n";
  for (size_t i = 0; i < size; ++i) {
    const Series& series = series_[i];
    out->append(name);
    for (size_t l = 0; l < labels_.size(); ++l) {
      out->append(l == 0 ? "{" : ",").append(labels_[l]).append("=\"");
      AppendEscaped(out, series.values[l]);
      out->append("\"");
    }
    if (!labels_.empty()) out->append("}");
    out->append(" ").append(std::to_string(series.count.load(std::memory_order_relaxed))).append("\n");
  }
}

void Gauge::Render(std::string* out) const {
  Head(out, name_, help_, "gauge");
  *out += name_ + " " + std::to_string(Value()) + "\n";
}

LatencyHistogram::LatencyHistogram(std::string name, std::string help)
    : name_(std::move(name)), help_(std::move(help)) {}

void LatencyHistogram::Observe(int64_t micros) {
  if (micros < 0) micros = 0;
  for (size_t i = 0; i < kBoundsMicros.size(); ++i) {
    if (micros <= kBoundsMicros[i]) {
      buckets_[i].fetch_add(1);
      break;
    }
  }
  sum_micros_.fetch_add(static_cast<uint64_t>(micros), std::memory_order_relaxed);
  count_.fetch_add(1);
}

void LatencyHistogram::Render(std::string* out) const {
  Head(out, name_, help_, "histogram");
  // An observation adds to its bucket before the count, and the count is read
  // first: the buckets may run ahead of it by observations made meanwhile,
  // never behind. Capping keeps the cumulative values at most the count.
  const uint64_t count = count_.load();
  uint64_t cumulative = 0;
  for (size_t i = 0; i < kBoundsMicros.size(); ++i) {
    cumulative += buckets_[i].load(std::memory_order_relaxed);
    if (cumulative > count) cumulative = count;
    out->append(name_).append("_bucket{le=\"").append(Number(kBoundsMicros[i] / 1e6)).append("\"} ");
    out->append(std::to_string(cumulative)).append("\n");
  }
  out->append(name_).append("_bucket{le=\"+Inf\"} ").append(std::to_string(count)).append("\n");
  out->append(name_).append("_sum ").append(Number(sum_micros_.load(std::memory_order_relaxed) / 1e6)).append("\n");
  out->append(name_).append("_count ").append(std::to_string(count)).append("\n");
}

ServiceMetrics& Metrics() {
  static ServiceMetrics* metrics = new ServiceMetrics();  // used by every thread until exit
  return *metrics;
}

std::string RenderMetrics(const ServiceMetrics& m) {
  std::string out;
  out.reserve(8192);
  m.components_loaded.Render(&out);
  m.components_running.Render(&out);
  m.host_restarts.Render(&out);
  m.rollbacks.Render(&out);
  m.passes.Render(&out);
  m.bytes_downloaded.Render(&out);
  m.downloads.Render(&out);
  m.extractions.Render(&out);
  m.rpc_calls.Render(&out);
  m.rpc_latency.Render(&out);
  m.log_dropped.Render(&out);
  return out;
}

}  // namespace zev
