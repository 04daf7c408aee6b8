#include "base/metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace zev {
namespace {

// Label sets beyond the family's room share the "other" series, counts
// added from many threads at once are all there, and label values are
// quoted as the text format wants.
TEST(Metrics, CountsEverythingWithinAFixedNumberOfSeries) {
  CounterFamily family("t", "test", {"method", "result"});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&family] {
      for (int i = 0; i < 1000; ++i) family.Add({"m" + std::to_string(i % 200), "ok"});
    });
  }
  for (std::thread& thread : threads) thread.join();
  const size_t named = CounterFamily::kMaxSeries - 1;
  EXPECT_EQ(family.Value({"m0", "ok"}), 20u);
  EXPECT_EQ(family.Value({"m199", "ok"}), 0u);
  uint64_t total = family.Value({"other", "other"});
  for (int i = 0; i < 200; ++i) total += family.Value({"m" + std::to_string(i), "ok"});
  EXPECT_EQ(total, 4000u);
  EXPECT_EQ(family.Value({"other", "other"}), (200 - named) * 20);

  CounterFamily quoted("q", "test", {"component"});
  quoted.Add({"a\"b\\c\nd"}, 3);
  std::string text;
  quoted.Render(&text);
  EXPECT_EQ(text, "# HELP q_total test\n# TYPE q_total counter\nq_total{component=\"a\\\"b\\\\c\\nd\"} 3\n");
}

}  // namespace
}  // namespace zev
