#include "strategy/strategy_base.h"

#include <gtest/gtest.h>

#include <random>

#include "model/catalogue.h"

namespace zev {

namespace {

CZEVComponentProxy Entry(const std::string& app, const std::string& id, const std::string& version, int arch,
                         int32_t source = cstServerStrategy) {
  CZEVComponentProxy entry(source);
  entry.SetAppCode(app);
  entry.SetComponentID(id);
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version(version);
  v->set_archtype(static_cast<CZEVArchType>(arch));
  return entry;
}

// The rules written the plain way, a scan per entry.
std::vector<CZEVComponentProxy> ReferenceMerge(const std::vector<CZEVComponentProxy>& a,
                                               const std::vector<CZEVComponentProxy>& b) {
  auto same = [](const CZEVComponentProxy& x, const CZEVComponentProxy& y) {
    return x.GetAppCode() == y.GetAppCode() && x.GetArchName() == y.GetArchName() &&
           x.GetComponentID() == y.GetComponentID();
  };
  std::vector<CZEVComponentProxy> out;
  for (const auto& x : a) {
    bool twin = false;
    for (const auto& y : b) twin = twin || same(x, y);
    if (!twin) out.push_back(x);
  }
  for (const auto& y : b) {
    const CZEVComponentProxy* first = nullptr;
    for (const auto& x : a) {
      if (same(x, y)) {
        first = &x;
        break;
      }
    }
    out.push_back(first != nullptr && CompareVersion(y.GetVersion(), first->GetVersion()) < 0 ? *first : y);
  }
  return out;
}

std::string Describe(const std::vector<CZEVComponentProxy>& list) {
  std::string text;
  for (const auto& e : list) {
    text += e.GetAppCode() + "/" + e.GetComponentID() + "/" + e.GetVersion() + "/" + e.GetArchName() + "/" +
            std::to_string(e.GetSourceType()) + " ";
  }
  return text;
}

class CountingStrategy : public CZEVStrategyBase {
 public:
  bool GetComponents(std::vector<CZEVComponentProxy>*) override { return true; }
  bool CheckComponent(const CZEVComponentProxy&) override { return true; }
  bool Report() { return ReportChanged(cstProductBuildIn); }
};

}  // namespace

TEST(MergeEntryLists, FollowsTheRuleForEachKindOfPair) {
  const int A = cstServerStrategy, B = cstProductBuildIn;
  struct Case {
    const char* name;
    std::vector<CZEVComponentProxy> a, b;
    std::vector<std::string> expected;  // "version/source" per merged entry
  };
  const std::vector<Case> cases = {
      {"a product version that is higher in version order wins",
       {Entry("app", "c", "1.2", atx64, A)}, {Entry("app", "c", "1.10", atx64, B)}, {"1.10/2"}},
      {"equal versions go to the second list", {Entry("app", "c", "1.2", atx64, A)},
       {Entry("app", "c", "1.2.0", atx64, B)}, {"1.2.0/2"}},
      {"a higher first-list version wins", {Entry("app", "c", "2.0", atx64, A)},
       {Entry("app", "c", "1.9", atx64, B)}, {"2.0/0"}},
      {"x86 and x64 are no twins", {Entry("app", "c", "2.0", atx86, A)}, {Entry("app", "c", "1.0", atx64, B)},
       {"2.0/0", "1.0/2"}},
      {"other application codes are no twins", {Entry("app1", "c", "2.0", atx64, A)},
       {Entry("app2", "c", "1.0", atx64, B)}, {"2.0/0", "1.0/2"}},
      {"componentIDs compare by case", {Entry("app", "C", "2.0", atx64, A)}, {Entry("app", "c", "1.0", atx64, B)},
       {"2.0/0", "1.0/2"}},
      {"archTypes above 5 share the name atNone", {Entry("app", "c", "2.0", 6, A)},
       {Entry("app", "c", "1.0", 9, B)}, {"2.0/0"}},
      {"only the first of two twins in the first list counts, the second is dropped",
       {Entry("app", "c", "1.0", atx64, A), Entry("app", "c", "9.0", atx64, A)},
       {Entry("app", "c", "2.0", atx64, B)}, {"2.0/2"}},
      {"first-list singles come first, then one entry per second-list entry",
       {Entry("app", "x", "1", atx64, A), Entry("app", "c", "5", atx64, A), Entry("app", "y", "1", atx64, A)},
       {Entry("app", "z", "1", atx64, B), Entry("app", "c", "4", atx64, B)},
       {"1/0", "1/0", "1/2", "5/0"}},
      {"a first-list entry may stand for two second-list twins",
       {Entry("app", "c", "5", atx64, A)}, {Entry("app", "c", "4", atx64, B), Entry("app", "c", "3", atx64, B)},
       {"5/0", "5/0"}},
      {"an empty second list gives the first", {Entry("app", "c", "1", atx64, A)}, {}, {"1/0"}},
  };
  for (const Case& c : cases) {
    std::vector<CZEVComponentProxy> merged;
    std::string error = "untouched";
    ASSERT_TRUE(MergeEntryLists(c.a, c.b, &merged, &error)) << c.name;
    EXPECT_EQ(error, "untouched") << c.name;
    std::vector<std::string> got;
    for (const auto& e : merged) got.push_back(e.GetVersion() + "/" + std::to_string(e.GetSourceType()));
    EXPECT_EQ(got, c.expected) << c.name;
  }

  std::vector<CZEVComponentProxy> merged = {Entry("old", "c", "1", atx64)};
  std::string error;
  EXPECT_FALSE(MergeEntryLists({}, {}, &merged, &error));
  EXPECT_EQ(error, "server and local empty ");
  EXPECT_TRUE(merged.empty());
  EXPECT_FALSE(MergeEntryLists({}, {}, &merged, nullptr));
}

TEST(MergeEntryLists, AgreesWithThePlainRulesOnRandomLists) {
  std::mt19937 rng(20240611);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* versions[] = {"1", "1.0", "1.2", "1.10", "2", "1.02", "0.9.9", ""};
  for (int round = 0; round < 300; ++round) {
    auto make_list = [&](int32_t source) {
      std::vector<CZEVComponentProxy> list;
      int n = pick(40);
      for (int i = 0; i < n; ++i) {
        // Few distinct keys, so that twins, repeated twins and ties are common.
        CZEVComponentProxy e = Entry("app" + std::to_string(pick(3)), "c" + std::to_string(pick(6)),
                                     versions[pick(8)], pick(8), source);
        if (pick(10) == 0) e.mutable_component()->mutable_versions()->clear_version();
        e.SetInstallRoot("/r" + std::to_string(i));  // tells equal-keyed entries apart
        list.push_back(e);
      }
      return list;
    };
    std::vector<CZEVComponentProxy> a = make_list(cstServerStrategy), b = make_list(cstProductBuildIn);
    std::vector<CZEVComponentProxy> merged;
    std::string error;
    bool ok = MergeEntryLists(a, b, &merged, &error);
    std::vector<CZEVComponentProxy> expected = ReferenceMerge(a, b);
    EXPECT_EQ(ok, !expected.empty());
    ASSERT_EQ(merged, expected) << "round " << round << "\nA: " << Describe(a) << "\nB: " << Describe(b)
                                << "\ngot: " << Describe(merged) << "\nwant: " << Describe(expected);
  }
}

TEST(StrategyBase, KeepsTheLastNonNullCallbackAndReportsThroughIt) {
  CountingStrategy strategy;
  EXPECT_FALSE(strategy.Report());  // nothing to report to yet

  std::vector<CZEVComponentSourceType> seen;
  SourceChangedCallback callback = [&](CZEVComponentSourceType source) {
    seen.push_back(source);
    return true;
  };
  EXPECT_TRUE(strategy.SetChangedCallback(&callback));
  EXPECT_TRUE(strategy.SetChangedCallback(nullptr));  // ignored
  EXPECT_TRUE(strategy.Report());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], cstProductBuildIn);
}

}  // namespace zev
