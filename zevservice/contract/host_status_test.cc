#include "contract/host_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pubsdk {
namespace {

// The writer keeps to the six columns that every reader knows; a reader
// takes files of later versions, skipping the columns and marks it does not
// know, and refuses what is not a host status file.
TEST(HostStatusFile, WritesTheFirstVersionAndReadsLaterOnes) {
  const std::string today =
      "group\tnode\tpid\trestarts\trefused\tcomponents\n"
      "g\tnode-a\t4242\t3\t0\t{c1},c 2!refused\n"
      "h\tnode-b\t0\t10\t1\t\n";
  EXPECT_EQ(FormatHostStatusText({{"g", "node-a", 4242, 3, false, {"{c1}", "c,2"}, {"c,2"}},
                                  {"h", "node-b", 0, 10, true, {}}}),
            today);

  struct Case {
    std::string text;
    bool readable;
    size_t rows;
  };
  const std::string header(kHostStatusHeader);
  const Case cases[] = {
      {today, true, 2},
      {header + "\tstarted\tmemory\n" + "g\tnode-a\t4242\t3\t0\t{c1},c 2!refused!later\t99\t12 MB\n" +
           "h\tnode-b\t0\t10\t1\t\t\t\n",
       true, 2},
      {header + "\n", true, 0},
      {"", false, 0},
      {"group\tnode\tpid\trestarts\tcomponents\trefused\n", false, 0},  // the six out of order
      {header + "\tstarted\ng\tn\t1\t2\t0\tc\n", false, 0},             // a column without its field
      {header + "\ng\tn\t1\t2\t0\tc\textra\n", false, 0},               // a field without its column
      {header + "\ng\tn\tx\t2\t0\tc\n", false, 0},
      {header + "\ng\tn\t1\t2\t0\tc", false, 0},                        // a cut line
  };
  for (const Case& c : cases) {
    std::vector<HostStatusEntry> rows = {HostStatusEntry()};
    EXPECT_EQ(ParseHostStatusText(c.text, &rows), c.readable) << c.text;
    ASSERT_EQ(rows.size(), c.rows) << c.text;
    if (c.rows == 2) {
      EXPECT_EQ(rows[0].pid, 4242) << c.text;
      EXPECT_EQ(rows[0].components, (std::vector<std::string>{"{c1}", "c 2"})) << c.text;
      EXPECT_EQ(rows[0].refused, std::vector<std::string>{"c 2"}) << c.text;
      EXPECT_EQ(rows[1].node_name, "node-b") << c.text;
      EXPECT_TRUE(rows[1].restart_refused) << c.text;
      EXPECT_TRUE(rows[1].components.empty()) << c.text;
    }
  }
}

}  // namespace
}  // namespace pubsdk
