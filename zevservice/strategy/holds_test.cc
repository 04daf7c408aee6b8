#include "strategy/holds.h"

#include <gtest/gtest.h>

namespace zev {
namespace {

// An entry written "app/comp/version/arch[/s]": arch 2 or 3, "s" for the
// server source (the product's otherwise).
CZEVComponentProxy Entry(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t slash; (slash = text.find('/', start)) != std::string::npos; start = slash + 1)
    parts.push_back(text.substr(start, slash - start));
  parts.push_back(text.substr(start));
  CZEVComponentProxy entry(parts.size() > 4 ? cstServerStrategy : cstProductBuildIn);
  entry.SetAppCode(parts[0]);
  entry.SetComponentID(parts[1]);
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version(parts[2]);
  v->set_archtype(static_cast<CZEVArchType>(std::stoi(parts[3])));
  return entry;
}

std::vector<CZEVComponentProxy> Entries(const std::vector<std::string>& texts) {
  std::vector<CZEVComponentProxy> out;
  for (const std::string& text : texts) out.push_back(Entry(text));
  return out;
}

std::string Describe(const std::vector<CZEVComponentProxy>& list) {
  std::string text;
  for (const auto& e : list) {
    text += e.GetAppCode() + "/" + e.GetComponentID() + "/" + e.GetVersion() + "/" +
            std::to_string(e.component().versions().version(0).archtype()) +
            (e.GetSourceType() == cstServerStrategy ? "/s" : "") + " ";
  }
  return text;
}

TEST(ApplyHolds, HeldComponentsTakeTheHeldVersionWhereASourceOffersIt) {
  struct Case {
    const char* name;
    std::vector<std::string> merged, offered;
    std::vector<Hold> holds;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"no holds", {"a/c/2.0/3/s"}, {"a/c/1.0/3/s", "a/c/2.0/3/s"}, {}, {"a/c/2.0/3/s"}},
      {"held version already merged", {"a/c/1.0/3/s"}, {"a/c/1.0/3/s"}, {{"a", "c", "1.0"}}, {"a/c/1.0/3/s"}},
      {"older offered version replaces the newer, in place",
       {"a/x/5/3", "a/c/2.0/3", "a/y/1/3"},
       {"a/c/1.0/3/s", "a/c/2.0/3"},
       {{"a", "c", "1.0"}},
       {"a/x/5/3", "a/c/1.0/3/s", "a/y/1/3"}},
      {"newer held version offered by the other source", {"a/c/1.0/3/s"}, {"a/c/1.0/3/s", "a/c/3.0/3"},
       {{"a", "c", "3.0"}}, {"a/c/3.0/3"}},
      {"per architecture", {"a/c/2.0/2", "a/c/2.0/3"}, {"a/c/1.0/3/s", "a/c/2.0/2", "a/c/2.0/3"},
       {{"a", "c", "1.0"}}, {"a/c/1.0/3/s"}},
      {"held version nowhere: older stays", {"a/c/0.9/3"}, {"a/c/0.9/3"}, {{"a", "c", "1.0"}}, {"a/c/0.9/3"}},
      {"held version nowhere: newer goes", {"a/c/2.0/3"}, {"a/c/2.0/3"}, {{"a", "c", "1.0"}}, {}},
      {"the hold names app and component exactly", {"a/c/2.0/3", "b/c/2.0/3", "a/C/2.0/3"},
       {"a/c/1.0/3", "b/c/1.0/3", "a/C/1.0/3"}, {{"b", "c", "1.0"}}, {"a/c/2.0/3", "b/c/1.0/3", "a/C/2.0/3"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Describe(ApplyHolds(Entries(c.merged), Entries(c.offered), c.holds)), Describe(Entries(c.want)))
        << c.name;
  }
}

TEST(Holds, StoredTextRoundTripsAndBadTextIsRefused) {
  std::vector<Hold> holds;
  EXPECT_TRUE(SetHold(&holds, {"a", "c", "1.0"}));
  EXPECT_TRUE(SetHold(&holds, {"a", "d", "2.0"}));
  EXPECT_TRUE(SetHold(&holds, {"a", "c", "1.1"}));
  EXPECT_FALSE(SetHold(&holds, {"a", "c", "1.1"}));
  EXPECT_TRUE(SetHold(&holds, {"a", "d", ""}));
  EXPECT_FALSE(SetHold(&holds, {"a", "d", ""}));
  std::vector<Hold> read;
  ASSERT_TRUE(ParseHolds(FormatHolds(holds), &read));
  EXPECT_EQ(read, (std::vector<Hold>{{"a", "c", "1.1"}}));
  for (const char* bad : {"", "{}", "[1]", "[{\"app\":\"a\",\"component\":\"c\"}]",
                          "[{\"app\":\"a\",\"component\":\"c\",\"version\":\"\"}]"})
    EXPECT_FALSE(ParseHolds(bad, &read)) << bad;
  EXPECT_EQ(read.size(), 1u);
}

}  // namespace
}  // namespace zev
