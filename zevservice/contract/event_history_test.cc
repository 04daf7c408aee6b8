#include "contract/event_history.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/paths.h"
#include "testing/test_util.h"

namespace zev {
namespace {

HistoryEvent Event(int64_t time_ms, const std::string& component) {
  return {time_ms, 5, "app", component, "1.0." + std::to_string(time_ms), "line\n\"quoted\""};
}

std::vector<int64_t> Times(const std::string& dir, const HistoryFilter& filter, size_t kept) {
  std::vector<HistoryEvent> events;
  std::string error;
  EXPECT_TRUE(ReadEventHistory(dir, filter, &events, &error, kept)) << error;
  std::vector<int64_t> times;
  for (const HistoryEvent& e : events) times.push_back(e.time_ms);
  return times;
}

// The newest `kept` events survive rotation, across writers (a restarted
// service counts the lines already there) and a line cut by a crash.
TEST(EventHistory, KeepsTheNewestEventsAcrossRotationsAndRestarts) {
  ScopedTempDir dir;
  EXPECT_EQ(Times(dir.path(), {}, 4), std::vector<int64_t>{});
  {
    EventHistoryWriter writer(dir.path(), 4);
    ASSERT_TRUE(writer.Append({Event(1, "a"), Event(2, "b"), Event(3, "a")}));
  }
  ASSERT_TRUE(WriteFileAtomically(JoinPath(dir.path(), kEventHistoryFileName),
                                  [&] {
                                    std::string text;
                                    ReadFileToString(JoinPath(dir.path(), kEventHistoryFileName), &text);
                                    return text + "{\"time\":99,\"co";
                                  }()));
  EventHistoryWriter writer(dir.path(), 4);
  for (int64_t t = 4; t <= 10; ++t) ASSERT_TRUE(writer.Append({Event(t, t % 2 ? "a" : "b")}));
  EXPECT_EQ(Times(dir.path(), {}, 4), (std::vector<int64_t>{7, 8, 9, 10}));
  EXPECT_EQ(Times(dir.path(), {}, 100), (std::vector<int64_t>{5, 6, 7, 8, 9, 10}));

  std::vector<HistoryEvent> events;
  std::string error;
  ASSERT_TRUE(ReadEventHistory(dir.path(), {}, &events, &error, 1));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].version, "1.0.10");
  EXPECT_EQ(events[0].message, "line\n\"quoted\"");

  struct Case {
    HistoryFilter filter;
    std::vector<int64_t> times;
  };
  const Case cases[] = {
      {{8, ""}, {8, 9, 10}},
      {{0, "a"}, {7, 9}},
      {{9, "b"}, {10}},
      {{0, "c"}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Times(dir.path(), c.filter, 4), c.times) << c.filter.component;
}

}  // namespace
}  // namespace zev
